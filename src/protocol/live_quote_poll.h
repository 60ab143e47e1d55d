// The current quote of one symbol: a quote-session conversation on a place of
// the shared service session (under the plug-in's account) that waits for
// the first quote with a last price and writes it into the caller's quote
// record. Runs on the poll worker's thread; takes stateLock only to store
// the session text.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "protocol/quote_update.h"
#include "protocol/service_session.h"

class ExchangeCalendar;

// True when a quote was applied to `quote`. `symbolId` empty: the ticker is
// used. With `tradingDays` (a daily chart whose exchange is known) the
// record's trade date is the exchange's trading date of the quote.
bool PollLiveQuote(const std::wstring& ticker, const std::string& symbolId, const PluginSettings& settings,
                   RecentInfo& quote, std::wstring& errorText, const ExchangeCalendar* tradingDays = nullptr,
                   Priority priority = Priority::Background);


void ApplyQuoteToRecentInfo(RecentInfo& record, double last, double change, double volume, std::int64_t epoch,
                            const PluginSettings& settings);

// A quote frame that may carry only some of the values (a later qsd of a
// stream): what it lacks is taken from the record itself, and a frame without
// a usable time keeps the record's date and time of the last trade.
void ApplyQuoteUpdate(RecentInfo& record, const QuoteUpdate& update, const PluginSettings& settings);
