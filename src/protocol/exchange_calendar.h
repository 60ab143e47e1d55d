// Dates daily bars and quotes by the exchange's trading day, in the
// exchange's own time zone, whatever the trader's. Built per conversation or
// poll from what the service said of the symbol; where the service named no
// time zone, or one the platform does not know, it is not usable and the
// local-time rule of ToHostDateTime stands. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/exchange_session.h"
#include "foundation/settings_record.h"
#include "protocol/series_reader.h"
#include "protocol/trading_day.h"

class ExchangeCalendar final : public DailyDater {
public:
    ExchangeCalendar(ExchangeSession session, const PluginSettings& settings);
    bool Usable() const { return usable_; }
    // The packed end-of-day date-time of the trading date of a daily bar
    // stamped at its session's start, EodTimeShiftDays added.
    std::uint64_t DailyDateTime(std::int64_t unixSeconds) const override;
    // The trading date (YYYYMMDD) of a quote's time, EodTimeShiftDays
    // added; 0 when it cannot be converted.
    int QuoteTradingYmd(std::int64_t unixSeconds) const;

private:
    ExchangeSession session_;
    SessionDays days_;
    PluginSettings settings_;
    bool usable_ = false;
};

// Keeps what the service said of a symbol's sessions (per identifier, for its
// live quotes later) and gives the calendar that dates its daily bars; null
// when the session cannot be used. Logs what it found when debugging.
std::unique_ptr<ExchangeCalendar> UseExchangeSession(const std::wstring& ticker, const std::string& symbolId,
                                                     const ExchangeSession& session, const PluginSettings& settings);
