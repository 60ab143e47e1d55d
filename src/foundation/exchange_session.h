// What the service says of a symbol's trading sessions (its symbol_resolved
// answer): the exchange's time zone, the session of the subsession asked
// for, and the exchange's holidays. Plain values; copied whole.
#pragma once

#include <string>

struct ExchangeSession {
    std::string timezone;  // an IANA name such as "America/New_York"
    std::string session;   // e.g. "0930-1600", "1700-1600:23456", "24x7"
    std::string holidays;  // comma-separated YYYYMMDD, often empty
    bool Known() const { return !timezone.empty(); }
};
