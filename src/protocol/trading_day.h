// The exchange's trading date of a daily bar or a quote, from the symbol's
// sessions as the service describes them. The service stamps a daily bar at
// the instant its session starts: a day session in the morning (crypto at
// midnight), an overnight session in the afternoon or evening before its
// trading date (forex at 17:00 New York, CME at 17:00 Chicago). Pure
// functions over the exchange's local time; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/civil_time.h"
#include "foundation/exchange_session.h"

// The session of a symbol_resolved payload: its "timezone", the "session" of
// the subsession named by "subsession_id" among "subsessions" (else its own
// "session") and its "session_holidays". False when the payload is no
// symbol_resolved or names no time zone.
bool ReadExchangeSession(const std::string& payload, ExchangeSession& out);

// The trading date (days since 1970-01-01) of a daily bar whose session
// starts at `local`: before noon its own date; at or after noon the next
// session day: for a 24x7 session the next calendar day, otherwise the next
// day of the session's day mask (none: Monday to Friday) that is not one of
// its holidays.
std::int64_t SessionStartTradingDay(const CivilTime& local, const ExchangeSession& session);

// The trading date of a moment within the sessions (a quote): the next
// session day when the session opens at or after noon and the moment is at
// or after that opening time; its own date otherwise.
std::int64_t QuoteTradingDay(const CivilTime& local, const ExchangeSession& session);
