// The full history of one ticker at one chart interval: disk cache first,
// else symbol search, optional sign-in and a chart-session conversation with
// rounds of older data. Runs entirely on the calling (host) thread.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "net/websocket_client.h"

bool FetchBars(const std::wstring& ticker, int periodicity, int requestedBars, std::vector<Bar>& bars,
               std::wstring& errorText);

std::string ResolutionFor(int periodicity, const PluginSettings& settings);
// Merges the bars of one series payload into `bars` (later values win for
// equal times), sorted and unique; true when `bars` is not empty.
bool ParseSeriesPayload(const std::string& payload, int periodicity, const PluginSettings& settings,
                        std::vector<Bar>& bars);
bool RequestMoreData(WebSocketClient& connection, const std::string& chartSession, const std::string& seriesId,
                     int count);

// The last quoted text of a message's "p" array: the reason the service gives
// in symbol_error and series_error.
std::string ServiceErrorReason(const std::string& payload);

// "TradingView symbol error: <reason>" or "TradingView series error:
// <reason>" for the service's answer to an unknown symbol or an unserved
// resolution; empty for any other payload.
std::wstring ServiceErrorText(const std::string& payload);
