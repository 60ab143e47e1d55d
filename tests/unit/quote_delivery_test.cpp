#include <gtest/gtest.h>

#include <mutex>

#include "foundation/state.h"
#include "plugin/live_overlay.h"
#include "plugin/quote_delivery.h"
#include "protocol/host_time.h"
#include "storage/memory_cache.h"

TEST(QuoteDelivery, PackedAndLegacyExamples) {
    EXPECT_EQ(PackDateTime(2024, 3, 15, 31, 63, 63), 0x7E837FFFFC000000ull);
    EXPECT_EQ(LegacyDate(0x7E837FFFFC000000ull), 0x7C37FFFFu);
    EXPECT_EQ(PackDateTime(2024, 3, 15, 9, 30, 7), 0x7E837A5E1C000000ull);
    EXPECT_EQ(LegacyDate(0x7E837A5E1C000000ull), 0x7C37A5E1u);
}

namespace {

Bar Daily(int day, float open, float high, float low, float close) {
    Bar b;
    b.dateTime = PackDateTime(2024, 3, day, 31, 63, 63);
    b.open = open;
    b.high = high;
    b.low = low;
    b.close = close;
    b.volume = 1000;
    return b;
}

void SetEntry(const std::string& key, float last, int tradeDate, float previousClose, const Bar* latest,
              int barPeriodicity) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.symbolCache.clear();
    SymbolCacheEntry& e = s.symbolCache[key];
    e.hasQuote = true;
    e.live.last = last;
    e.live.tradeDate = tradeDate;
    e.live.tradeTime = 153000;
    e.live.prevClose = previousClose;
    e.live.totalVolumeF = 5000;
    if (latest != nullptr) {
        e.hasBar = true;
        e.latestBar = *latest;
        e.barPeriodicity = barPeriodicity;
    }
}

}  // namespace

TEST(LiveOverlay, DailyAppendUpdateAndSkips) {
    std::vector<Bar> none;
    EXPECT_FALSE(ApplyLiveOverlay(L"AAPL", 86400, none));

    SetEntry("AAPL", 101.5f, 20240315, 100, nullptr, 0);
    std::vector<Bar> bars = {Daily(13, 98, 99, 97, 99), Daily(14, 99, 100.5f, 98, 100)};
    ASSERT_TRUE(ApplyLiveOverlay(L"AAPL", 86400, bars));
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(PackedYmd(bars[2].dateTime), 20240315);
    EXPECT_EQ(bars[2].dateTime & 0x3FFFC000000ull, 0x3FFFC000000ull) << "end-of-day marks";
    EXPECT_EQ(bars[2].open, 100.0f);
    EXPECT_EQ(bars[2].high, 101.5f);
    EXPECT_EQ(bars[2].low, 100.0f);
    EXPECT_EQ(bars[2].close, 101.5f);

    SetEntry("AAPL", 103, 20240315, 100, nullptr, 0);
    bars = {Daily(15, 100, 102, 99, 101)};
    ASSERT_TRUE(ApplyLiveOverlay(L"AAPL", 86400, bars));
    EXPECT_EQ(bars[0].close, 103.0f);
    EXPECT_EQ(bars[0].high, 103.0f);
    EXPECT_EQ(bars[0].low, 99.0f);
    EXPECT_EQ(bars[0].volume, 5000.0f);

    SetEntry("AAPL", 103, 0, 100, nullptr, 0);  // no trade time known
    EXPECT_FALSE(ApplyLiveOverlay(L"AAPL", 86400, bars));
    SetEntry("AAPL", 103, 20240314, 100, nullptr, 0);  // older than the last bar
    EXPECT_FALSE(ApplyLiveOverlay(L"AAPL", 86400, bars));
}

TEST(LiveOverlay, IntradayAndLatestBars) {
    Bar last;
    last.dateTime = PackDateTime(2024, 3, 14, 15, 55, 0);
    last.open = last.high = last.low = last.close = 50;
    std::vector<Bar> bars = {last};
    SetEntry("X", 51, 20240315, 50, nullptr, 0);  // yesterday's bar, today's quote
    EXPECT_FALSE(ApplyLiveOverlay(L"X", 300, bars));
    EXPECT_EQ(bars[0].close, 50.0f);

    Bar same = last;
    same.close = 52;
    same.volume = 777;
    SetEntry("X", 51, 20240314, 50, &same, 300);  // same time: replaced wholesale
    ASSERT_TRUE(ApplyLiveOverlay(L"X", 300, bars));
    EXPECT_EQ(bars.size(), 1u);
    EXPECT_EQ(bars[0].close, 52.0f);
    EXPECT_EQ(bars[0].volume, 777.0f);

    Bar later = last;
    later.dateTime = PackDateTime(2024, 3, 14, 16, 0, 0);
    later.close = 53;
    SetEntry("X", 51, 20240314, 50, &later, 60);  // another interval: the quote is used instead
    ASSERT_TRUE(ApplyLiveOverlay(L"X", 300, bars));
    EXPECT_EQ(bars.size(), 1u);
    EXPECT_EQ(bars[0].close, 51.0f);
    SetEntry("X", 51, 20240314, 50, &later, 300);
    ASSERT_TRUE(ApplyLiveOverlay(L"X", 300, bars));
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[1].close, 53.0f);
}
