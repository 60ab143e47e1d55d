// The full history of one ticker at one chart interval: disk cache first,
// else symbol search, optional sign-in and a chart-session conversation with
// rounds of older data. Runs entirely on the calling (host) thread.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "net/websocket_client.h"
#include "protocol/series_reader.h"

bool FetchBars(const std::wstring& ticker, int periodicity, int requestedBars, std::vector<Bar>& bars,
               std::wstring& errorText);

std::string ResolutionFor(int periodicity, const PluginSettings& settings);
// Merges the bars of one series payload into `bars` (later values win for
// equal times), sorted and unique; true when `bars` is not empty.
// Daily bars are dated by `dater` when one is given (the exchange's calendar).
bool ParseSeriesPayload(const std::string& payload, int periodicity, const PluginSettings& settings,
                        std::vector<Bar>& bars, const DailyDater* dater = nullptr);
bool RequestMoreData(WebSocketClient& connection, const std::string& chartSession, const std::string& seriesId,
                     int count);
