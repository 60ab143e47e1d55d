// The exchange's trading date of a daily bar or a quote, from the symbol's
// sessions as the service describes them. The service stamps a daily bar at
// the instant its session starts: a day session in the morning (crypto at
// midnight), an overnight session in the afternoon or evening before its
// trading date (forex at 17:00 New York, CME at 17:00 Chicago). Pure
// functions over the exchange's local time; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/civil_time.h"
#include "foundation/exchange_session.h"

// The session of a symbol_resolved payload: its "timezone", the "session" of
// the subsession named by "subsession_id" among "subsessions" (else its own
// "session") and its "session_holidays". False when the payload is no
// symbol_resolved or names no time zone.
bool ReadExchangeSession(const std::string& payload, ExchangeSession& out);

// The days a session trades on, read once from its texts: every day for
// "24x7"; otherwise the days of its mask (the digits after ":", 1 = Sunday
// ... 7 = Saturday; none: Monday to Friday) that are not holidays.
struct SessionDays {
    bool allWeek = false;
    bool weekday[7] = {};        // 0 = Sunday
    std::vector<int> holidays;   // YYYYMMDD, sorted
    int opening = -1;            // hour * 100 + minute of the first range; -1 unknown
};
SessionDays ReadSessionDays(const ExchangeSession& session);

// The trading date (days since 1970-01-01) of a daily bar whose session
// starts at `local`: before noon its own date; at or after noon the next
// session day (for a 24x7 session the next calendar day).
std::int64_t SessionStartTradingDay(const CivilTime& local, const SessionDays& days);

// The trading date of a moment within the sessions (a quote): the next
// session day when the session opens at or after noon and the moment is at
// or after that opening time; its own date otherwise.
std::int64_t QuoteTradingDay(const CivilTime& local, const SessionDays& days);
