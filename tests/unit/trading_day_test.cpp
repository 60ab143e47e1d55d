// The exchange's trading date of daily bars and quotes: the real stamps the
// service sends, through the platform's time zones.
#include <gtest/gtest.h>

#include "foundation/civil_time.h"
#include "foundation/time_zone.h"
#include "foundation/time_zone_rules.h"
#include "protocol/exchange_calendar.h"
#include "protocol/host_time.h"
#include "protocol/trading_day.h"
#include "support/test_support.h"

namespace {
int Ymd(std::uint64_t packed) { return PackedYmd(packed); }
}  // namespace

TEST(TradingDay, RealDailyStampsGiveTheServicesOwnDates) {
    struct Case {
        const char* what;
        std::int64_t stamp;
        ExchangeSession session;
        int ymd;
    };
    const Case cases[] = {
        {"S&P 500, 09:30 New York (EDT)", 1635773400, {"America/New_York", "0930-1600", ""}, 20211101},
        {"S&P 500, 09:30 New York (EST)", 1636381800, {"America/New_York", "0930-1600", ""}, 20211108},
        {"crypto at 00:00 UTC", 1790726400, {"Etc/UTC", "24x7", ""}, 20260930},
        {"forex, Sunday 17:00 New York (summer)", 1586120400, {"America/New_York", "1700-1700", ""}, 20200406},
        {"forex, Sunday 17:00 New York (winter)", 1604268000, {"America/New_York", "1700-1700", ""}, 20201102},
        {"FX_IDC, Sunday 22:00 UTC", 1710108000, {"Etc/UTC", "2200-2200", ""}, 20240311},
        {"CME, Sunday 17:00 Chicago in 1997", 877906800, {"America/Chicago", "1700-1600", ""}, 19971027},
        {"CME, Wednesday before Thanksgiving", 1637794800, {"America/Chicago", "1700-1600", "20211125"}, 20211126},
        {"gold, Sunday 18:00 New York", 1789336800, {"America/New_York", "1800-1700", ""}, 20260914},
        {"Osaka night session, Friday 16:30", 1607671800, {"Asia/Tokyo", "1630-0600", ""}, 20201214},
        {"Osaka, before Golden Week", 1619767800,
         {"Asia/Tokyo", "1630-0600:23456", "20210503,20210504,20210505"}, 20210506},
        {"Tokyo index, 09:00 JST", 1607644800, {"Asia/Tokyo", "0900-1500", ""}, 20201211},
        {"Mumbai index, 09:15 IST", 1607658300, {"Asia/Kolkata", "0915-1530", ""}, 20201211},
        {"a Saturday session in the day mask", 1586037600, {"America/New_York", "1700-1700:1234567", ""}, 20200405},
    };
    PluginSettings settings;
    for (const Case& c : cases) {
        const ExchangeCalendar calendar(c.session, settings);
        ASSERT_TRUE(calendar.Usable()) << c.what;
        EXPECT_EQ(Ymd(calendar.DailyDateTime(c.stamp)), c.ymd) << c.what;
        EXPECT_EQ(calendar.DailyDateTime(c.stamp) & 0x3FFFFFFFFFull, 0x3FFFFFFFFFull & PackDateTime(0, 0, 0, 31, 63, 63))
            << "end-of-day marks";
    }
    // EodTimeShiftDays still moves every date.
    settings.EodTimeShiftDays = -1;
    EXPECT_EQ(Ymd(ExchangeCalendar(cases[3].session, settings).DailyDateTime(cases[3].stamp)), 20200405);

    // A zone the table or the platform does not know: the local-time rule stands.
    EXPECT_FALSE(ExchangeCalendar({"Mars/Olympus_Mons", "0930-1600", ""}, PluginSettings{}).Usable());
    EXPECT_FALSE(ExchangeCalendar({}, PluginSettings{}).Usable());
    EXPECT_FALSE(IsKnownTimeZone(""));
}

TEST(TradingDay, QuotesCountToTheSessionTheyFallIn) {
    struct Case {
        const char* what;
        CivilTime local;
        const char* session;
        int ymd;
    };
    const Case cases[] = {
        {"forex, Sunday 18:00: Monday's session", {2020, 4, 5, 18, 0, 0}, "1700-1700", 20200406},
        {"forex, Monday 10:00: still Monday's", {2020, 4, 6, 10, 0, 0}, "1700-1700", 20200406},
        {"forex, Friday 17:30: Monday's, after the weekend", {2020, 4, 10, 17, 30, 0}, "1700-1700", 20200413},
        {"stock, 15:59: that day", {2020, 4, 6, 15, 59, 0}, "0930-1600", 20200406},
        {"stock, after hours: that day", {2020, 4, 6, 19, 0, 0}, "0930-1600", 20200406},
        {"crypto, late evening: that day", {2020, 4, 5, 23, 59, 0}, "24x7", 20200405},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ymd(CivilFromDays(QuoteTradingDay(c.local, ReadSessionDays({"America/New_York", c.session, ""})))), c.ymd) << c.what;
    }
    // Through the zone: a forex quote at Sunday 22:30 UTC (18:30 New York) is Monday's.
    const ExchangeCalendar forex({"America/New_York", "1700-1700", ""}, PluginSettings{});
    EXPECT_EQ(forex.QuoteTradingYmd(1586125800), 20200406);
}

TEST(TradingDay, WhatSymbolResolvedSays) {
    ExchangeSession session;
    ASSERT_TRUE(ReadExchangeSession(testing_support::RealFrames()[20], session));
    EXPECT_EQ(session.timezone, "America/New_York");
    EXPECT_EQ(session.session, "0930-1610");
    EXPECT_EQ(session.holidays.substr(0, 18), "20000117,20000221,");

    // The session of the subsession asked for wins over the symbol's own.
    ASSERT_TRUE(ReadExchangeSession(
        "{\"m\":\"symbol_resolved\",\"p\":[\"cs\",\"sds_sym_1\",{\"session\":\"0930-1600\",\"timezone\":\"America/New_York\","
        "\"subsession_id\":\"extended\",\"subsessions\":[{\"id\":\"regular\",\"session\":\"0930-1600\"},"
        "{\"id\":\"extended\",\"session\":\"0400-2000\",\"session-display\":\"0400-2000\"}],\"session_holidays\":\"\"}]}",
        session));
    EXPECT_EQ(session.session, "0400-2000");
    EXPECT_FALSE(ReadExchangeSession("{\"m\":\"symbol_resolved\",\"p\":[\"cs\",\"s\",{\"session\":\"24x7\"}]}", session))
        << "no time zone, nothing to go on";
    EXPECT_FALSE(ReadExchangeSession(testing_support::RealFrames()[22], session)) << "a quote is no symbol_resolved";

    // Calendar arithmetic across centuries and leap days.
    for (std::int64_t day : {-719468LL, -1LL, 0LL, 11016LL, 19782LL, 2932896LL}) {
        const CivilTime date = CivilFromDays(day);
        EXPECT_EQ(DaysFromCivil(date.year, date.month, date.day), day);
    }
    EXPECT_EQ(Ymd(CivilFromDays(DaysFromCivil(2024, 2, 29) + 1)), 20240301);
    EXPECT_EQ(WeekdayOfDays(DaysFromCivil(2020, 4, 5)), 0) << "a Sunday";
}

namespace {

// A zone without daylight saving whose offset from UTC is `hours` ahead.
TIME_ZONE_INFORMATION FixedZone(int hours) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = -hours * 60;
    return zone;
}

}  // namespace

TEST(ZoneRules, AYearsRulesAreThoseOfTheLocalYear) {
    // A zone that moves from UTC+3 to UTC+4 at its New Year 2021, and one
    // that moves from UTC-4 to UTC-5 at its New Year 2021.
    const YearRules east = [](int year, TIME_ZONE_INFORMATION& rules) {
        rules = FixedZone(year <= 2020 ? 3 : 4);
        return true;
    };
    const YearRules west = [](int year, TIME_ZONE_INFORMATION& rules) {
        rules = FixedZone(year <= 2020 ? -4 : -5);
        return true;
    };
    struct Case {
        const char* what;
        const YearRules* rules;
        std::int64_t unix;
        CivilTime expected;
    };
    const std::int64_t newYear2021 = 1609459200;  // 2021-01-01 00:00 UTC
    const Case cases[] = {
        {"east, before its midnight", &east, newYear2021 - 3 * 3600 - 1800, {2020, 12, 31, 23, 30, 0}},
        {"east, after its midnight: the new year's rules", &east, newYear2021 - 2 * 3600 - 1800, {2021, 1, 1, 1, 30, 0}},
        {"east, after UTC's midnight", &east, newYear2021 + 3600, {2021, 1, 1, 5, 0, 0}},
        {"west, before UTC's midnight", &west, newYear2021 - 3600, {2020, 12, 31, 19, 0, 0}},
        {"west, after UTC's midnight: the old year's rules still", &west, newYear2021 + 3 * 3600, {2020, 12, 31, 23, 0, 0}},
        {"west, after its midnight", &west, newYear2021 + 5 * 3600 + 1800, {2021, 1, 1, 0, 30, 0}},
    };
    for (const Case& c : cases) {
        CivilTime local;
        ASSERT_TRUE(LocalTimeByLocalYear(c.unix, *c.rules, local)) << c.what;
        EXPECT_EQ(local.year, c.expected.year) << c.what;
        EXPECT_EQ(local.month, c.expected.month) << c.what;
        EXPECT_EQ(local.day, c.expected.day) << c.what;
        EXPECT_EQ(local.hour, c.expected.hour) << c.what;
        EXPECT_EQ(local.minute, c.expected.minute) << c.what;
    }
}
