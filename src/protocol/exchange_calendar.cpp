#include "protocol/exchange_calendar.h"

#include <algorithm>
#include <utility>

#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/time_zone.h"
#include "protocol/host_time.h"
#include "protocol/trading_day.h"
#include "storage/memory_cache.h"

ExchangeCalendar::ExchangeCalendar(ExchangeSession session, const PluginSettings& settings)
    : session_(std::move(session)), days_(ReadSessionDays(session_)), settings_(settings) {
    usable_ = session_.Known() && IsKnownTimeZone(session_.timezone);
}

std::uint64_t ExchangeCalendar::DailyDateTime(std::int64_t unixSeconds) const {
    CivilTime local;
    if (!usable_ || !ZoneLocalTime(session_.timezone, unixSeconds, local)) {
        return ToHostDateTime(unixSeconds, true, settings_);
    }
    const CivilTime date =
        CivilFromDays(SessionStartTradingDay(local, days_) + static_cast<std::int64_t>(settings_.EodTimeShiftDays));
    if (date.year < 1 || date.year > 4095) return 0;
    return PackDateTime(date.year, date.month, date.day, 31, 63, 63);
}

int ExchangeCalendar::QuoteTradingYmd(std::int64_t unixSeconds) const {
    CivilTime local;
    if (!usable_ || !ZoneLocalTime(session_.timezone, unixSeconds, local)) return 0;
    return Ymd(CivilFromDays(QuoteTradingDay(local, days_) + static_cast<std::int64_t>(settings_.EodTimeShiftDays)));
}

std::unique_ptr<ExchangeCalendar> UseExchangeSession(const std::wstring& ticker, const std::string& symbolId,
                                                     const ExchangeSession& session, const PluginSettings& settings) {
    RememberExchangeSession(symbolId, session);
    auto calendar = std::make_unique<ExchangeCalendar>(session, settings);
    LogDebug(L"SESSION ticker=" + ticker + L" timezone=" + Utf8ToWide(session.timezone) + L" session=" +
             Utf8ToWide(session.session) + L" holidays=" + std::to_wstring(std::count(session.holidays.begin(),
             session.holidays.end(), ',') + (session.holidays.empty() ? 0 : 1)) + L" tradingDates=" +
             (calendar->Usable() ? L"exchange" : L"local"));
    if (!calendar->Usable()) calendar.reset();
    return calendar;
}
