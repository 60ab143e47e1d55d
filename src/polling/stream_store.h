// What the live stream writes into the plug-in's state: a ticker's quote
// record (for GetRecentInfo and the overlay), its newest bar, and the mark
// that tells the poll worker the stream keeps the ticker live. Each call
// takes stateLock once, for a short copy; none logs.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "protocol/quote_update.h"

// Merges a quote update into the ticker's record, as a poll's quote does:
// the values the update lacks stay as they were. `tradingYmd` (0: none)
// replaces the quote's date for a daily chart. Without `barLive` (no series
// of the stream keeps the ticker's newest bar) a bar kept from earlier is
// dropped, so the overlay follows the quote. False (nothing stored) when the
// ticker is no longer active, or no price is known yet.
bool StoreStreamedQuote(const std::string& key, const std::wstring& ticker, const QuoteUpdate& update,
                        const PluginSettings& settings, int tradingYmd, bool barLive);

// Keeps `bar` as the ticker's newest bar at `periodicity`. False when the
// ticker is no longer active.
bool StoreStreamedBar(const std::string& key, const Bar& bar, int periodicity);

// The stream keeps the active tickers live (its connection is up, or being
// opened for the first time): the poll worker leaves them alone.
void MarkStreamUp();
// Its connection is lost: the poll worker keeps them live meanwhile.
void MarkStreamDown();

// The service identifier known for a ticker (empty when none), and storing one.
std::string KnownSymbolId(const std::string& key);
void StoreSymbolId(const std::string& key, const std::string& symbolId);
