#include <gtest/gtest.h>

#include <mutex>

#include "foundation/state.h"
#include "protocol/history_fetch.h"
#include "protocol/host_time.h"
#include "storage/memory_cache.h"
#include "support/state_access.h"

TEST(HistoryParse, ResolutionFor) {
    PluginSettings s;
    const std::pair<int, const char*> cases[] = {{90, "2"},      {30, "1"},       {3600, "60"}, {300, "5"},
                                                 {60, "1"},      {86400, "1D"},   {604799, "1D"},
                                                 {604800, "1W"}, {2592000, "1M"}, {0, "1"},    {-5, "1"}};
    for (const auto& c : cases) EXPECT_EQ(ResolutionFor(c.first, s), c.second) << c.first;
    s.ResolutionOverride = L" 240 ";
    EXPECT_EQ(ResolutionFor(86400, s), "240");
    s.ResolutionOverride = L"1d";
    EXPECT_EQ(ResolutionFor(60, s), "1D");
    s.ResolutionOverride = L"";
    EXPECT_EQ(ResolutionFor(60, s), "1");
}

TEST(HistoryParse, SeriesPayloadsMergeSortAndKeepLaterValues) {
    PluginSettings s;
    std::vector<Bar> bars;
    const std::string first =
        "{\"m\":\"timescale_update\",\"p\":[\"cs_1\",{\"sds_1\":{\"s\":[{\"i\":0,\"v\":[1700000600.0,3,4,2,3.5,10]},"
        "{\"i\":1,\"v\":[1700000000000,1,2,0.5,1.5]},{\"i\":2,\"v\":[1700000300.0,2,3,1]}],\"ns\":{}}}]}";
    ASSERT_TRUE(ParseSeriesPayload(first, 300, s, bars));
    ASSERT_EQ(bars.size(), 2u);  // the four-value object is skipped
    EXPECT_EQ(bars[0].dateTime, ToHostDateTime(1700000000, false, s));  // milliseconds, sorted first
    EXPECT_EQ(bars[0].volume, 0.0f);
    EXPECT_EQ(bars[0].openInterest, 0.0f);
    EXPECT_EQ(bars[1].volume, 10.0f);

    const std::string second = "{\"m\":\"du\",\"p\":[\"cs_1\",{\"sds_1\":{\"s\":[{\"i\":0,\"v\":[1700000600,9,9,9,9,99]},"
                               "{\"i\":1,\"v\":[1700000600,8,8,8,8,88]}]}}]}";
    ASSERT_TRUE(ParseSeriesPayload(second, 300, s, bars));
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[1].close, 8.0f);  // the latest value of that time wins
    EXPECT_EQ(bars[1].volume, 88.0f);

    std::vector<Bar> none;
    EXPECT_FALSE(ParseSeriesPayload("{\"m\":\"series_completed\",\"p\":[]}", 300, s, none));
    EXPECT_FALSE(ParseSeriesPayload("{\"s\":[", 300, s, none));
    EXPECT_FALSE(ParseSeriesPayload("{\"s\":[{\"v\":[1e300,1,2,3,4]}]}", 300, s, none));
    EXPECT_FALSE(ParseSeriesPayload("{\"s\":[{\"v\":[-86400,1,2,3,4]}]}", 300, s, none))
        << "a time before 1970 cannot be converted and is no bar";
}

namespace {

using testing_support::WithState;
void ResetCaches() {
    WithState([&](PluginState& s) {
        s.symbolCache.clear();
        s.recentValid = false;
    });
}
Bar MakeBar(int day, float close) {
    Bar bar;
    bar.dateTime = PackDateTime(2024, 3, day, 31, 63, 63);
    bar.open = close - 1;
    bar.high = close + 1;
    bar.low = close - 2;
    bar.close = close;
    bar.volume = 1234.9f;
    return bar;
}
}  // namespace

TEST(MemoryCache, RecordsFromBarsAndWhichRecordIsServed) {
    ResetCaches();
    const RecentInfo single = RecentInfoFromBar(L"AAPL", MakeBar(15, 101.5f), nullptr);
    EXPECT_EQ(single.structSize, 192);
    EXPECT_EQ(single.validFields, 9);
    EXPECT_EQ(single.statusBits, 0x607F);
    EXPECT_EQ(single.change, 0.0f);
    EXPECT_EQ(single.prevClose, 101.5f);
    EXPECT_EQ(single.totalVolume, 1234);
    EXPECT_EQ(single.totalVolumeF, 1234.9f);
    EXPECT_EQ(single.tradeDate, 20240315);
    EXPECT_EQ(single.tradeTime, 316363);

    const std::wstring longTicker(70, L'X');
    const RecentInfo cut = RecentInfoFromBar(longTicker, MakeBar(15, 1), nullptr);
    EXPECT_EQ(std::string(cut.name), std::string(63, 'X'));

    // History for a ticker whose entry holds a live quote and no bar: the live record is served.
    WithState([&](PluginState& s) {
        SymbolCacheEntry& entry = s.symbolCache["AAPL"];
        entry.hasQuote = true;
        entry.live = RecentInfoFromBar(L"AAPL", MakeBar(15, 150), nullptr);
        entry.lastPollTick = 77;
        SymbolCacheEntry& other = s.symbolCache["MSFT"];
        other.hasBar = true;
        other.barPeriodicity = 300;
        other.lastPollTick = 77;
    });
    UpdateRecentCache(L"AAPL", "NASDAQ:AAPL", 86400, {MakeBar(14, 100), MakeBar(15, 101.5f)});
    UpdateRecentCache(L"MSFT", "", 86400, {MakeBar(15, 300)});
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_EQ(s.symbolCache["AAPL"].served.last, 150.0f);
    EXPECT_EQ(s.symbolCache["AAPL"].symbolId, "NASDAQ:AAPL");
    EXPECT_EQ(s.symbolCache["AAPL"].lastPollTick, 77u);
    EXPECT_EQ(s.symbolCache["MSFT"].served.last, 300.0f);  // a live bar of another interval does not fit
    EXPECT_EQ(s.symbolCache["MSFT"].lastPollTick, 0u);
    EXPECT_TRUE(s.recentValid);
    EXPECT_EQ(s.recent.last, 300.0f);
}

TEST(MemoryCache, AcceptHistoryTrims) {
    ResetCaches();
    std::vector<Bar> bars;
    for (int d = 1; d <= 25; ++d) bars.push_back(MakeBar(d, static_cast<float>(d)));
    EXPECT_TRUE(AcceptHistory(bars, 10, L"Z:\\no\\such\\folder\\x.cache", 86400, L"T", "", PluginSettings{}));
    ASSERT_EQ(bars.size(), 10u);
    EXPECT_EQ(bars.front().close, 16.0f);
    EXPECT_TRUE(AcceptHistory(bars, 0, L"Z:\\no\\such\\folder\\x.cache", 86400, L"U", "", PluginSettings{}));
    EXPECT_TRUE(bars.empty());
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_EQ(s.symbolCache.count("U"), 0u) << "an empty history leaves the caches alone";
}
