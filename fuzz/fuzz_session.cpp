// What symbol_resolved says of a symbol's sessions, read from arbitrary text,
// and the trading date of daily bars and quotes under whatever session and
// holidays it gives: never crashes, and a trading date is never before the
// local date nor more than two weeks after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/trading_day.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ExchangeSession session;
    if (!ReadExchangeSession(text, session)) {
        // Take the text itself as the session and the holidays.
        session = ExchangeSession{"Etc/UTC", text.substr(0, size / 2), text.substr(size / 2)};
    }
    const SessionDays days = ReadSessionDays(session);
    const int hours[] = {0, 11, 12, 17, 23};
    for (int i = 0; i < 5; ++i) {
        CivilTime local;
        local.year = 2021;
        local.month = 1 + (size + static_cast<std::size_t>(i)) % 12;
        local.day = 1 + (size * 7 + static_cast<std::size_t>(i)) % 28;
        local.hour = hours[i];
        const std::int64_t day = DaysFromCivil(local.year, local.month, local.day);
        const std::int64_t bar = SessionStartTradingDay(local, days);
        const std::int64_t quote = QuoteTradingDay(local, days);
        if (bar < day || bar > day + 14 || quote < day || quote > day + 14) std::abort();
    }
    return 0;
}
