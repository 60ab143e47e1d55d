// Scheduling of live polls: the active-ticker set, the due-ticker pick, the
// claim of one cycle, and the quote arithmetic, on an injected tick counter
// so that minutes and the counter's wrap-around pass without waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "foundation/clock.h"
#include "foundation/path.h"
#include "foundation/state.h"
#include "polling/poll_cycle.h"
#include "polling/poll_worker.h"
#include "polling/stream_store.h"
#include "protocol/host_time.h"
#include "protocol/live_quote_poll.h"
#include "support/test_support.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

std::atomic<std::uint64_t> g_now{0};
std::uint64_t FakeTicks() { return g_now.load(); }

class Schedule : public ::testing::Test {
protected:
    void SetUp() override {
        // Just below the 32-bit wrap, so every test crosses it.
        g_now = 0xFFFFFFFFull - 5000;
        SetTickSource(&FakeTicks);
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = PluginSettings{};
        s.settings.PollSeconds = 5;
        s.activeTickers.clear();
        s.symbolCache.clear();
        s.pollCursor = 0;
        s.lastPeriodicity = 86400;
        s.streamLost = false;
    }
    void TearDown() override {
        SetTickSource(nullptr);
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.activeTickers.clear();
        s.symbolCache.clear();
        s.settings = PluginSettings{};
    }
    static std::uint32_t Now() { return static_cast<std::uint32_t>(g_now.load()); }
    static void Advance(std::uint64_t ms) { g_now += ms; }
    static void Touch(const std::wstring& ticker, int periodicity = 0) {
        WithState([&](PluginState& s) { TouchActiveTicker(s, ticker, Now(), periodicity, 0); });
    }
    // Marks a ticker as polled `agoMs` before now (or running).
    static void Polled(const std::string& key, std::uint32_t agoMs, bool running = false) {
        WithState([&](PluginState& s) {
            SymbolCacheEntry& e = s.symbolCache[key];
            e.lastPollTick = Now() - agoMs;
            e.running = running;
            e.pollStartTick = Now() - agoMs;
        });
    }
    static std::size_t ActiveCount() { return WithState([&](PluginState& s) { return s.activeTickers.size(); }); }
};

}  // namespace

TEST_F(Schedule, NothingToPollWaitsASecond) {
    DueTicker due = PickDueTicker();
    EXPECT_FALSE(due.picked);
    EXPECT_EQ(due.waitMs, 1000u);
    EXPECT_EQ(due.activeCount, 0u);

    Touch(L"AAPL");
    WithState([&](PluginState& s) { s.settings.PollSeconds = 0; });
    due = PickDueTicker();
    EXPECT_FALSE(due.picked) << "PollSeconds 0 polls nothing";
    EXPECT_EQ(due.waitMs, 1000u);
}

TEST_F(Schedule, WaitIsTheSoonestRemainderClampedAndRunningPollsAreLeftAlone) {
    Touch(L"AAPL");
    Touch(L"MSFT");
    Polled("AAPL", 2000);
    Polled("MSFT", 2000);
    DueTicker due = PickDueTicker();
    EXPECT_FALSE(due.picked);
    EXPECT_EQ(due.waitMs, 1000u) << "3000 ms remainder clamped to 1000";
    EXPECT_EQ(due.activeCount, 2u);

    Polled("AAPL", 4960);
    EXPECT_EQ(PickDueTicker().waitMs, 100u) << "due in 40 ms: the wait is 100";

    Polled("AAPL", 60000, true);  // in progress, long overdue
    due = PickDueTicker();
    EXPECT_FALSE(due.picked) << "a running poll is never picked";
    EXPECT_EQ(due.waitMs, 1000u) << "and does not shorten the wait";

    Polled("MSFT", 5000);
    due = PickDueTicker();
    ASSERT_TRUE(due.picked);
    EXPECT_EQ(due.ticker, L"MSFT");
}

TEST_F(Schedule, RoundRobinAcrossDueTickersAndThePeriodicityFallback) {
    Touch(L"X", 300);
    Touch(L"Y");
    Touch(L"Z", 60);
    WithState([&](PluginState& s) { s.lastPeriodicity = 900; });
    // Never polled (no cache entry) means due at once.
    const wchar_t* expected[] = {L"X", L"Y", L"Z", L"X", L"Y"};
    const int periodicities[] = {300, 900, 60, 300, 900};
    for (int i = 0; i < 5; ++i) {
        const DueTicker due = PickDueTicker();
        ASSERT_TRUE(due.picked);
        EXPECT_EQ(due.ticker, expected[i]);
        EXPECT_EQ(due.periodicity, periodicities[i]) << "Y has none of its own";
    }
    // Nothing due: the cursor stays where the search started (at Z).
    Polled("X", 10);
    Polled("Y", 10);
    Polled("Z", 10);
    EXPECT_FALSE(PickDueTicker().picked);
    Polled("X", 6000);
    Polled("Z", 6000);
    EXPECT_EQ(PickDueTicker().ticker, L"Z");
    EXPECT_EQ(PickDueTicker().ticker, L"X");
}

TEST_F(Schedule, TickersExpireAfterThirtyMinutesAndTheSetIsBoundedTo64) {
    Touch(L"OLD");
    Advance(1000);
    Touch(L"KEPT");
    Advance(30 * 60 * 1000 - 1000);  // OLD exactly 30 minutes ago
    EXPECT_EQ(PickDueTicker().activeCount, 2u);
    Advance(1);
    EXPECT_EQ(PickDueTicker().activeCount, 1u) << "30 min and 1 ms is too old";

    for (int i = 0; i < 63; ++i) {
        Advance(1);
        Touch(L"T" + std::to_wstring(100 + i));
    }
    ASSERT_EQ(ActiveCount(), 64u);
    Advance(1);
    Touch(L"NEWEST");
    EXPECT_EQ(ActiveCount(), 64u);
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_EQ(s.activeTickers.count("KEPT"), 0u) << "the least recently requested goes";
    EXPECT_EQ(s.activeTickers.count("NEWEST"), 1u);
    EXPECT_EQ(s.activeTickers.count("T100"), 1u);
}

TEST_F(Schedule, CycleClaimSkipsAndStaleRuns) {
    EXPECT_EQ(StaleRunMs(8000), 30000u);
    EXPECT_EQ(StaleRunMs(15000), 45000u);
    EXPECT_EQ(StaleRunMs(500), 30000u);
    EXPECT_EQ(StaleRunMs(2147483647), 0xFFFFFFFFu) << "three time-outs beyond 32 bits saturate";

    WithState([&](PluginState& s) { s.settings.DebugLogging = true; });
    testing_support::LogTail log(JoinPath(ModuleFolder(), L"Velmarquin.log"));
    std::wstring error;
    Polled("AAPL", 4200);
    EXPECT_FALSE(PollTicker(L"AAPL", 86400, false, error));
    EXPECT_TRUE(error.empty());
    EXPECT_NE(log.Text().find("POLL check ticker=AAPL periodicity=86400 force=0\r\n"), std::string::npos);
    EXPECT_NE(log.Text().find("POLL skip ticker=AAPL not due elapsedMs=4200 intervalMs=5000\r\n"), std::string::npos);

    Polled("AAPL", 29999, true);
    EXPECT_FALSE(PollTicker(L"AAPL", 86400, false, error));
    EXPECT_NE(log.Text().find("POLL skip ticker=AAPL already running runningMs=29999\r\n"), std::string::npos);

    // A huge PollSeconds is a long interval, not a negative one.
    WithState([&](PluginState& s) { s.settings.PollSeconds = 2147483647; });
    Polled("AAPL", 60000);
    EXPECT_FALSE(PollTicker(L"AAPL", 86400, false, error));
    EXPECT_NE(log.Text().find("not due elapsedMs=60000 intervalMs=2147483647000\r\n"), std::string::npos);
    WithState([&](PluginState& s) { s.settings.PollSeconds = 0; });
    EXPECT_FALSE(PollTicker(L"AAPL", 86400, false, error));
    EXPECT_NE(log.Text().find("POLL skip ticker=AAPL pollSeconds=0\r\n"), std::string::npos);
    EXPECT_FALSE(PollTicker(L"  ", 86400, false, error));
    EXPECT_NE(log.Text().find("POLL skip: empty ticker\r\n"), std::string::npos);
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_FALSE(s.symbolCache["AAPL"].running) << "no skip claims the ticker";
}

TEST(QuoteArithmetic, TimestampKeysInOrderAndRange) {
    std::string key;
    EXPECT_EQ(PickQuoteTimestamp(R"({"lp":1,"lp_time":1700000000123,"trade_time":1600000000})", key), 1700000000);
    EXPECT_EQ(key, "lp_time");
    EXPECT_EQ(PickQuoteTimestamp(R"({"lp":1,"trade_time":1700000000})", key), 1700000000);
    EXPECT_EQ(key, "trade_time");
    EXPECT_EQ(PickQuoteTimestamp(R"({"rtc":152.5,"rtc_time":0})", key), 0);
    EXPECT_EQ(key, "");
    EXPECT_EQ(PickQuoteTimestamp(R"({"lp_time":4102444801,"rch_time":946684800})", key), 946684800);
    EXPECT_EQ(key, "rch_time");
}

TEST(QuoteArithmetic, ApplyQuoteFieldByField) {
    PluginSettings settings;
    RecentInfo r{};
    r.tradeDate = 20200101;
    r.tradeTime = 120000;
    ApplyQuoteToRecentInfo(r, 101, 1, 1234.9, 0, settings);
    EXPECT_EQ(r.validFields, 9);
    EXPECT_EQ(r.statusBits, 0x607F);
    EXPECT_EQ(r.last, 101.0f);
    EXPECT_EQ(r.prevClose, 100.0f);
    EXPECT_EQ(r.open, 100.0f);
    EXPECT_EQ(r.high, 101.0f);
    EXPECT_EQ(r.low, 101.0f);
    EXPECT_EQ(r.tradeVolume, 1234);
    EXPECT_EQ(r.totalVolumeF, 1234.9f);
    EXPECT_EQ(r.tradeDate, 20200101) << "no epoch keeps the trade time";

    // High and low only widen; an "lp" of 0 keeps the price and sets the change.
    ApplyQuoteToRecentInfo(r, 99, -2, 10, 0, settings);
    EXPECT_EQ(r.high, 101.0f);
    EXPECT_EQ(r.low, 99.0f);
    ApplyQuoteToRecentInfo(r, 0, 3, 10, 0, settings);
    EXPECT_EQ(r.last, 99.0f);
    EXPECT_EQ(r.prevClose, 101.0f);
    EXPECT_EQ(r.change, 3.0f);

    RecentInfo fresh{};
    ApplyQuoteToRecentInfo(fresh, 101, 0, 0, 0, settings);
    EXPECT_EQ(fresh.open, 101.0f) << "change 0: previous close equals last";

    // The trade time is the local time of the quote, shifted by the intraday shift.
    const std::int64_t epoch = 1700000000;
    RecentInfo plain{};
    ApplyQuoteToRecentInfo(plain, 1, 0, 0, epoch, settings);
    const std::uint64_t local = ToHostDateTime(epoch, false, settings);
    EXPECT_EQ(plain.tradeDate, PackedYmd(local));
    EXPECT_EQ(plain.tradeTime, PackedHms(local));
    settings.IntradayTimeShiftMinutes = 60;
    RecentInfo shifted{};
    ApplyQuoteToRecentInfo(shifted, 1, 0, 0, epoch, settings);
    const std::uint64_t later = ToHostDateTime(epoch + 3600, false, PluginSettings{});
    EXPECT_EQ(shifted.tradeTime, PackedHms(later));
}

TEST_F(Schedule, TickersTheStreamKeepsAreNotPolled) {
    Touch(L"AAPL");
    Polled("AAPL", 60000);
    auto streaming = [](bool on) {
        WithState([&](PluginState& s) { s.settings.Streaming = on; });
    };
    streaming(true);
    MarkStreamUp();
    DueTicker due = PickDueTicker();
    EXPECT_FALSE(due.picked) << "the stream keeps it live";
    EXPECT_EQ(due.activeCount, 1u);

    // The stream's connection is lost: the poll worker takes the ticker at once.
    MarkStreamDown();
    due = PickDueTicker();
    ASSERT_TRUE(due.picked);
    EXPECT_EQ(due.ticker, L"AAPL");
    Polled("AAPL", 60000);
    MarkStreamUp();
    EXPECT_FALSE(PickDueTicker().picked) << "back";
    streaming(false);
    EXPECT_TRUE(PickDueTicker().picked) << "streaming off: polled as ever";

    // What the stream follows: the tickers of the last 30 minutes, each with
    // its chart interval (0: only its quote was asked for).
    Advance(29 * 60 * 1000);
    Touch(L"IBM", 60);
    Touch(L"SPY");
    Advance(2 * 60 * 1000);
    const std::vector<ActiveTicker> active = CopyActiveTickers();
    ASSERT_EQ(active.size(), 2u);
    EXPECT_EQ(active[0].ticker, L"IBM");
    EXPECT_EQ(active[0].periodicity, 60);
    EXPECT_EQ(active[1].periodicity, 0);
}
