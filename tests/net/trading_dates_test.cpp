// Daily bars carry the exchange's trading date whatever the trader's time
// zone: make test runs this file under New York, London, Tokyo and Sydney
// (TZ of the Wine prefix) besides the machine's own zone, with the same
// expectations in each. The service's real daily stamps are replayed through
// a private copy of the DLL, driven as the host drives it.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "faults/dll_fixture.h"

namespace {

struct Symbol {
    const char* ticker;
    const char* timezone;  // nullptr: the service sends no symbol_resolved
    const char* session;
    const char* holidays;
    std::vector<long long> stamps;
    std::vector<int> dates;  // the service's chart's dates
};

const Symbol kSymbols[] = {
    {"FX:EURUSD", "America/New_York", "1700-1700", "", {1586120400, 1604268000}, {20200406, 20201102}},
    {"CME_MINI:ES1!", "America/Chicago", "1700-1600", "20211125", {877906800, 1637794800}, {19971027, 20211126}},
    {"SP:SPX", "America/New_York", "0930-1600", "", {1635773400, 1636381800}, {20211101, 20211108}},
    {"BITSTAMP:BTCUSD", "Etc/UTC", "24x7", "", {1790726400}, {20260930}},
    {"OSE:NK2251!", "Asia/Tokyo", "1630-0600:23456", "20210503,20210504,20210505", {1607671800, 1619767800},
     {20201214, 20210506}},
};

std::string ResolvedFrame(const Symbol& s) {
    return AsciiFrame(std::string("{\"m\":\"symbol_resolved\",\"p\":[\"cs_x\",\"sds_sym_1\",{\"name\":\"X\",\"timezone\":\"") +
                      s.timezone + "\",\"session\":\"" + s.session + "\",\"session_holidays\":\"" + s.holidays +
                      "\",\"subsession_id\":\"regular\",\"type\":\"futures\"}]}");
}

std::string SeriesFrames(const std::vector<long long>& stamps) {
    std::string bars;
    for (size_t i = 0; i < stamps.size(); ++i) {
        bars += (i ? "," : "") + std::string("{\"i\":") + std::to_string(i) + ",\"v\":[" + std::to_string(stamps[i]) +
                ".0,10.5,12.25,9.75,11.0,1500.0]}";
    }
    return AsciiFrame("{\"m\":\"timescale_update\",\"p\":[\"cs_x\",{\"sds_1\":{\"s\":[" + bars + "]}}]}") +
           AsciiFrame("{\"m\":\"series_completed\",\"p\":[\"cs_x\",\"sds_1\",\"streaming\",\"s1\",{\"data_completed\":\"end\"}]}");
}

int PackedYmd(std::uint64_t packed) {
    return static_cast<int>((packed >> 52) * 10000 + ((packed >> 48) & 15) * 100 + ((packed >> 43) & 31));
}

// The trader's local calendar date of a Unix time, as the C library sees it.
int LocalYmd(long long stamp) {
    const std::time_t t = static_cast<std::time_t>(stamp);
    const std::tm local = *std::localtime(&t);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

// The cache file's row time of a daily date: the trader's local midnight.
long long LocalMidnight(int ymd) {
    std::tm local{};
    local.tm_year = ymd / 10000 - 1900;
    local.tm_mon = ymd / 100 % 100 - 1;
    local.tm_mday = ymd % 100;
    local.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&local));
}

class TradingDates : public HostDllTest {
protected:
    void SetUp() override {
        // Under Wine a Unix TZ reaches the C library as a Windows TZ string it
        // cannot read; without it, it follows the zone Wine took from TZ.
        _putenv("TZ=");
        _tzset();
        HostDllTest::SetUp();
    }
    // The daily bars of `s` as the host gets them, the double answering
    // with the service's stamps (and its symbol_resolved, when it sends one).
    std::vector<int> Dates(const Symbol& s) {
        const std::string resolved = s.timezone != nullptr ? ResolvedFrame(s) : AsciiFrame("~h~100");
        Scenario("{\"ws\":{\"replay\":[" + Replay("resolve_symbol", resolved) + "," +
                 Replay("create_series", SeriesFrames(s.stamps)) + "]}}");
        std::vector<HostQuotation> got(10);
        const int n = dll.GetQuotesEx(s.ticker, 86400, 0, 10, got.data(), nullptr);
        std::vector<int> dates;
        for (int i = 0; i < n; ++i) dates.push_back(PackedYmd(got[static_cast<size_t>(i)].dateTime));
        return dates;
    }
};

}  // namespace

TEST_F(TradingDates, EveryZoneGivesTheServicesOwnDates) {
    const char* zone = std::getenv("TZ");
    for (const Symbol& s : kSymbols) {
        EXPECT_EQ(Dates(s), s.dates) << s.ticker << " with the trader in " << (zone ? zone : "the machine's zone");
    }
    // Without symbol_resolved the local calendar dates the bars, as always.
    Symbol bare = kSymbols[0];
    bare.ticker = "FX:NORESOLVE";
    bare.timezone = nullptr;
    std::vector<int> local;
    for (long long stamp : bare.stamps) local.push_back(LocalYmd(stamp));
    EXPECT_EQ(Dates(bare), local);
}

TEST_F(TradingDates, TheCacheKeepsItsBytesAndItsDates) {
    const Symbol& forex = kSymbols[0];
    ASSERT_EQ(Dates(forex), forex.dates);

    // The file holds each bar as the trader's local midnight of its date,
    // byte for byte as it always did; the sessions go into the companion.
    const std::wstring file = CacheFile();
    ASSERT_FALSE(file.empty());
    std::string expected = "VelmarquinCache 1\r\nperiodicity=86400\r\n";
    for (int ymd : forex.dates) {
        char row[200];
        std::snprintf(row, sizeof(row), "%lld,%.10f,%.10f,%.10f,%.10f,%.10f,%.10f\r\n", LocalMidnight(ymd), 10.5, 12.25,
                      9.75, 11.0, 1500.0, 0.0);
        expected += row;
    }
    EXPECT_EQ(ReadFileBytes(file), expected);
    const std::wstring companion = file.substr(0, file.size() - 6) + L".session";
    EXPECT_EQ(ReadFileBytes(companion),
              "VelmarquinSession 1\r\nsymbol=FX:EURUSD\r\ntimezone=America/New_York\r\nsession=1700-1700\r\nholidays=\r\n");

    // A cache hit gives the same dates, with its companion or (a file
    // written before companions existed) without.
    Scenario(R"({"ws":{"refuse_upgrade":500}})");
    std::vector<HostQuotation> got(10);
    ASSERT_EQ(dll.GetQuotesEx(forex.ticker, 86400, 0, 10, got.data(), nullptr), 2);
    EXPECT_EQ(PackedYmd(got[0].dateTime), forex.dates[0]);
    EXPECT_EQ(PackedYmd(got[1].dateTime), forex.dates[1]);
    ASSERT_TRUE(DeleteFileW(companion.c_str()));
    ASSERT_EQ(dll.GetQuotesEx(forex.ticker, 86400, 0, 10, got.data(), nullptr), 2);
    EXPECT_EQ(PackedYmd(got[1].dateTime), forex.dates[1]);
    EXPECT_EQ(ReadFileBytes(file), expected) << "reading changes nothing";
    EXPECT_TRUE(service.Events("http", "raw_head").empty()) << "served from the disk";
}
