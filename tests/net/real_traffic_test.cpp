// Real captured traffic replayed through a private copy of the DLL, driven
// as the host drives it: the double answers with the service's own frames,
// byte for byte (tests/data/real).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "faults/dll_fixture.h"
#include "protocol/json_text.h"

namespace {

using testing_support::RealFrame;
using testing_support::RealFrames;

// The host's packed date-time of a Unix time, computed here from the C
// library's local time, not by the plug-in's code.
std::uint64_t Packed(std::int64_t unixSeconds, bool daily) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    const std::tm local = *std::localtime(&t);
    const std::uint64_t hour = daily ? 31 : local.tm_hour, minute = daily ? 63 : local.tm_min,
                        second = daily ? 63 : local.tm_sec;
    return (static_cast<std::uint64_t>(local.tm_year + 1900) << 52) |
           (static_cast<std::uint64_t>(local.tm_mon + 1) << 48) | (static_cast<std::uint64_t>(local.tm_mday) << 43) |
           (hour << 38) | (minute << 32) | (second << 26);
}

// Each bar object's values, read here with strtod from the frame's text.
std::vector<std::vector<double>> BarValues(const std::string& frame) {
    std::vector<std::vector<double>> bars;
    for (size_t at = frame.find("\"v\":["); at != std::string::npos; at = frame.find("\"v\":[", at + 1)) {
        std::vector<double> v;
        const char* p = frame.c_str() + at + 5;
        while (*p != ']') {
            char* end = nullptr;
            v.push_back(std::strtod(p, &end));
            p = *end == ',' ? end + 1 : end;
        }
        bars.push_back(v);
    }
    return bars;
}

std::string Frames(std::initializer_list<size_t> indexes) {
    std::string text;
    for (size_t i : indexes) text += RealFrame(i);
    return text;
}

using RealTraffic = HostDllTest;

}  // namespace

TEST_F(RealTraffic, RealSeriesReachTheHostBarForBar) {
    struct Case {
        const char* ticker;
        int periodicity;
        size_t frame;
        size_t bars;
    };
    // A one-minute series with volume, one of five-value bars, the daily
    // S&P 500 with volumes past 2^31. series_timeframe, a study's du,
    // study_completed and symbol_resolved arrive between the data and change
    // nothing; the old servers' series_completed does not say the data ended,
    // so the plug-in asks once more, gets nothing new, and stops there.
    const Case cases[] = {{"REAL:ONEMIN", 60, 0, 2637}, {"REAL:FIVEVALUES", 60, 1, 2637}, {"SP:SPX", 86400, 34, 368}};
    for (const Case& c : cases) {
        const std::string nothingNew = AsciiFrame(
            "{\"m\":\"series_completed\",\"p\":[\"cs_x\",\"sds_1\",\"streaming\",\"s1\",{\"rt_update_period\":5}],"
            "\"t\":1686475613,\"t_ms\":1686475613179}");
        Scenario("{\"ws\":{\"replay\":[" + Replay("resolve_symbol", Frames({20})) + "," +
                 Replay("quote_add_symbols", Frames({24, 25})) + "," +
                 Replay("create_series", Frames({c.frame, 3, 10, 11, 20}) + Frames({33, 4})) + "," +
                 Replay("request_more_data", Frames({12, 13}) + nothingNew) + "]}}");
        std::vector<HostQuotation> got(3000);
        ASSERT_EQ(dll.GetQuotesEx(c.ticker, c.periodicity, 0, 3000, got.data(), nullptr), static_cast<int>(c.bars))
            << c.ticker << " " << Status().LongMessage();
        EXPECT_EQ(Status().Text(), std::string("TradingView OK: ") + c.ticker);
        const std::vector<std::vector<double>> values = BarValues(RealFrames()[c.frame]);
        ASSERT_EQ(values.size(), c.bars);
        for (size_t i = 0; i < c.bars; ++i) {
            const std::vector<double>& v = values[i];
            const HostQuotation& q = got[i];
            ASSERT_EQ(q.dateTime, Packed(static_cast<std::int64_t>(v[0]), c.periodicity >= 86400)) << i;
            ASSERT_EQ(q.open, static_cast<float>(v[1])) << i;
            ASSERT_EQ(q.high, static_cast<float>(v[2])) << i;
            ASSERT_EQ(q.low, static_cast<float>(v[3])) << i;
            // The worker may have laid a live bar over the newest; every
            // other bar is the service's, exactly.
            if (i + 1 < c.bars) {
                ASSERT_EQ(q.close, static_cast<float>(v[4])) << i;
                ASSERT_EQ(q.volume, v.size() >= 6 ? static_cast<float>(v[5]) : 0.0f) << i;
            }
            ASSERT_TRUE(std::isfinite(q.volume) && q.volume >= 0) << i;
            ASSERT_EQ(q.openInterest, 0.0f);
        }
        size_t asked = 0;
        for (const std::string& m : Messages()) asked += m.find("\"request_more_data\"") != std::string::npos;
        EXPECT_EQ(asked, 1u) << c.ticker;
    }
    // The older record holds volumes as 32-bit integers: the daily volumes of
    // 2.7e9 and more saturate instead of turning negative.
    std::vector<HostLegacyQuotation> legacy(368);
    ASSERT_EQ(dll.GetQuotes("SP:SPX", 86400, 0, 368, legacy.data()), 368);
    const std::vector<std::vector<double>> daily = BarValues(RealFrames()[34]);
    size_t saturated = 0;
    for (size_t i = 0; i + 1 < legacy.size(); ++i) {
        ASSERT_GE(legacy[i].volume, 0) << i;
        if (daily[i][5] >= 2147483647.0) {
            ASSERT_EQ(legacy[i].volume, 2147483647) << i;
            ++saturated;
        } else {
            // The bar holds its volume as a float, as the newer record does.
            ASSERT_EQ(legacy[i].volume, static_cast<std::int32_t>(static_cast<float>(daily[i][5]))) << i;
        }
    }
    EXPECT_GT(saturated, 10u);
}

TEST_F(RealTraffic, TheFiveRealFirstQuotesFillTheQuoteWindow) {
    struct Case {
        const char* ticker;
        size_t frame;
        float last;
        std::int32_t volume;
        float volumeF;
        std::int64_t lpTime;
    };
    const Case cases[] = {{"NASDAQ:NDX", 22, 14528.3605f, 0, 0.0f, 1686427872},  // 1e+100: no volume
                          {"SP:SPX", 24, 4298.87f, 2109000000, 2109000000.0f, 1686341020},
                          {"BITSTAMP:BTCUSD", 26, 25753.0f, 275, 275.62184705f, 1686475585},
                          {"NASDAQ:AAPL", 28, 180.96f, 48899973, 48899973.0f, 1686355199},
                          {"NASDAQ:TSLA", 30, 244.4f, 200242371, 200242371.0f, 1686355199}};
    for (const Case& c : cases) {
        // The quote window asks first (no chart interval yet): the worker
        // polls the quote at once, and this long PollSeconds keeps it from
        // asking again under the next ticker's scenario.
        // The latest-bar poll is refused, so the worker falls back to the quote.
        const std::string refused = AsciiFrame("{\"m\":\"series_error\",\"p\":[\"cs_x\",\"sds_live_1\",\"s1\",\"resolve error\"]}");
        Scenario("{\"ws\":{\"replay\":[" + Replay("create_series", refused) + "," +
                 Replay("quote_add_symbols", Frames({c.frame, c.frame + 1})) + "]}}");
        EXPECT_EQ(dll.GetRecentInfo(c.ticker), nullptr);
        const void* record = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (record = dll.GetRecentInfo(c.ticker)) != nullptr; }, 10000)) << c.ticker;
        RecentInfo info;
        std::memcpy(&info, record, sizeof(info));
        EXPECT_EQ(info.last, c.last) << c.ticker;
        EXPECT_EQ(info.totalVolume, c.volume) << c.ticker;
        EXPECT_EQ(info.tradeVolume, c.volume) << c.ticker;
        EXPECT_EQ(info.totalVolumeF, c.volumeF) << c.ticker;
        const std::uint64_t packed = Packed(c.lpTime, false);
        EXPECT_EQ(info.tradeDate, static_cast<std::int32_t>((packed >> 52) * 10000 + ((packed >> 48) & 15) * 100 +
                                                            ((packed >> 43) & 31)))
            << c.ticker;
        EXPECT_EQ(info.tradeTime, static_cast<std::int32_t>(((packed >> 38) & 31) * 10000 +
                                                            ((packed >> 32) & 63) * 100 + ((packed >> 26) & 63)))
            << c.ticker;
    }

    // NASDAQ 100's quote said "no volume": the chart's newest bar, with that
    // quote laid over it, keeps a volume the host can hold.
    Scenario(R"({"ws":{"seed":7,"now":1686427872,"history":30}})");
    HostQuotation bars[30];
    ASSERT_EQ(dll.GetQuotesEx("NASDAQ:NDX", 86400, 0, 30, bars, nullptr), 30);
    for (const HostQuotation& q : bars) EXPECT_TRUE(std::isfinite(q.volume) && q.volume >= 0);
    HostLegacyQuotation legacy[30];
    ASSERT_EQ(dll.GetQuotes("NASDAQ:NDX", 86400, 0, 30, legacy), 30);
    for (const HostLegacyQuotation& q : legacy) EXPECT_GE(q.volume, 0);
}

namespace {
class RefusedToken : public HostDllTest {
protected:
    void SetUp() override {
        extra = "Username=trader\r\nPassword=secret\r\nDebugLogging=1\r\n";
        HostDllTest::SetUp();
    }
};
}  // namespace

TEST_F(RefusedToken, TheServicesReasonInRedNoCacheNoTokenInTheLog) {
    // The sign-in hands out a token the data host no longer takes: it answers
    // the first message with protocol_error and closes while the rest of the
    // opening is still on its way.
    Scenario(R"({"signin":{"status":200,"reply":"{\"error\":\"\",\"user\":{\"auth_token\":\"STALE-TOKEN-77\"}}"},
                "ws":{"history":50}})");
    Stopwatch watch;
    EXPECT_EQ(dll.GetQuotesEx("NASDAQ:AAPL", 86400, 0, 50, quotes.data(), nullptr), 0);
    EXPECT_LT(watch.Ms(), 3000u) << "not by the time-out";
    // (The worker's poll of the ticker, anonymous, may set its own status since.)
    EXPECT_TRUE(HasStatusLine("TradingView fetch failed: TradingView protocol error: bad auth token"));
    EXPECT_TRUE(CacheListing().empty()) << CacheListing();
    const std::string log = plugin.Log();
    EXPECT_NE(log.find("ERROR: TradingView protocol error: bad auth token\r\n"), std::string::npos);
    EXPECT_EQ(log.find("STALE-TOKEN-77"), std::string::npos) << "the token must not reach the log";
    bool sent = false;
    for (const std::string& m : Messages()) sent = sent || m == "{\"m\":\"set_auth_token\",\"p\":[\"STALE-TOKEN-77\"]}";
    EXPECT_TRUE(sent) << "the token from the sign-in was offered";
}
