// The host's side end to end: a private copy of the DLL, driven only through
// its exports the way the host drives it, against the local service double.
#include <cstring>
#include <string>
#include <vector>

#include "faults/dll_fixture.h"

namespace {

// The host's 192-byte quote record, read at its offsets.
float FloatAt(const void* record, size_t offset) {
    float value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
    return value;
}
std::int32_t IntAt(const void* record, size_t offset) {
    std::int32_t value;
    std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
    return value;
}

class HostSide : public DllTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        WriteFileBytes(IniPath(),
                       SettingsText("TimeoutMs=1500\r\nDebugLogging=1\r\nPollSeconds=" + pollSeconds + "\r\n"));
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
    }
    void TearDown() override {
        dll.Release();
        DoubleTest::TearDown();
    }
    std::string Ini() const { return ReadFileBytes(IniPath()); }

    std::string pollSeconds = "5";
};

}  // namespace

TEST_F(HostSide, ChartsAStockAndFeedsTheStatusAndTheQuoteWindow) {
    EXPECT_EQ(window.TakeStreaming(), 1) << "the database load tells the host to redraw";
    Scenario(R"({"ws":{"seed":3,"now":1710547200,"history":10}})");

    // Requests the host can make by mistake deliver nothing and say so.
    std::vector<HostQuotation> bars(500);
    EXPECT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 0, bars.data(), nullptr), 0);
    EXPECT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 10, nullptr, nullptr), 0);
    EXPECT_EQ(Status().Text(), "Invalid GetQuotesEx call");
    EXPECT_EQ(Ini().find("[State]"), std::string::npos) << "an invalid request is not remembered";

    ASSERT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 500, bars.data(), nullptr), 10);
    StatusBytes status = Status();
    EXPECT_EQ(status.Text(), "TradingView OK: AAPL");
    EXPECT_EQ(status.Color(), 0x00008000u);
    EXPECT_STREQ(status.ShortMessage(), "Velmarquin ready");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(bars[i].dateTime & 0x3FFFFFFull, 0u) << "low 26 bits of a packed time are zero";
        EXPECT_EQ((bars[i].dateTime >> 26) & 0x3F, 63u) << "daily bars carry second 63";
        EXPECT_EQ(bars[i].aux1, 0.0f);
        EXPECT_EQ(bars[i].aux2, 0.0f);
        EXPECT_GE(bars[i].high, bars[i].low);
        if (i > 0) {
            EXPECT_LT(bars[i - 1].dateTime, bars[i].dateTime);
        }
    }

    // Size 3: the three newest, now from the disk cache.
    HostQuotation three[3];
    ASSERT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 3, three, nullptr), 3);
    EXPECT_EQ(std::memcmp(three, &bars[7], sizeof(three)), 0);
    const std::string ini = Ini();
    EXPECT_NE(ini.find("[State]\r\nLastTicker=AAPL\r\nLastPeriodicity=86400\r\nLastBars=3\r\n"), std::string::npos)
        << ini;

    // The quote window's record: the newest bar, a whole 192-byte record.
    const void* recent = dll.GetRecentInfo("AAPL");
    ASSERT_NE(recent, nullptr);
    EXPECT_EQ(IntAt(recent, 0), 192);
    EXPECT_STREQ(static_cast<const char*>(recent) + 4, "AAPL");
    EXPECT_EQ(IntAt(recent, 76), 9);
    EXPECT_EQ(IntAt(recent, 80), 0x607F);
    EXPECT_EQ(FloatAt(recent, 96), bars[9].close);
    EXPECT_EQ(FloatAt(recent, 116), bars[8].close);
    EXPECT_EQ(dll.GetRecentInfo("MSFT"), nullptr) << "nothing is known of MSFT yet";
    EXPECT_EQ(Ini().find("LastTicker=MSFT"), std::string::npos) << "GetRecentInfo does not write the State section";
    // The quote window's request made MSFT active and the worker polls it at
    // once; its status line must be in before the next request sets its own.
    Stopwatch firstPoll;
    while (!HasStatusLine("Live OHLC OK: MSFT") && firstPoll.Ms() < 10000) Sleep(50);

    // An unknown symbol fails at once with the service's reason, in red.
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    Stopwatch watch;
    EXPECT_EQ(dll.GetQuotesEx("NASDAQ:NOPE", 86400, 0, 10, bars.data(), nullptr), 0);
    EXPECT_LT(watch.Ms(), kGiveUpBoundMs);
    status = Status();
    EXPECT_EQ(status.Text(), "TradingView fetch failed: TradingView symbol error: invalid symbol");
    EXPECT_EQ(status.Color(), 0x000000C0u);
    EXPECT_STREQ(status.ShortMessage(), "Velmarquin error");

    // The database unload empties the caches; the record the host still
    // holds stays readable and whole, and a new question answers null.
    ASSERT_EQ(Notify(2, nullptr), 1);
    EXPECT_EQ(dll.GetRecentInfo("AAPL"), nullptr);
    EXPECT_EQ(IntAt(recent, 0), 192);
    EXPECT_EQ(FloatAt(recent, 96), bars[9].close);

    // Reason 4 reloads the settings and posts to the window kept from the
    // first notification (the unload carried none).
    window.TakeStreaming();
    ASSERT_EQ(Notify(4, nullptr), 1);
    EXPECT_EQ(window.TakeStreaming(), 1);
    const std::string log = plugin.Log();
    EXPECT_NE(log.find("API Notify reason=2 hMainWnd=0 databasePath=" + database + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("API Notify database unloaded: clearing caches\r\n"), std::string::npos);
    EXPECT_NE(log.find("API GetRecentInfo returning symbol cache ticker=AAPL last="), std::string::npos);
    EXPECT_NE(log.find("API GetRecentInfo returning null ticker=MSFT\r\n"), std::string::npos);
}

TEST_F(HostSide, VolumesReachTheHostAsFloatAndAsWholeNumber) {
    Scenario(R"({"ws":{"seed":4,"now":1710547200,"history":5}})");
    HostQuotation bars[5];
    ASSERT_EQ(dll.GetQuotesEx("NASDAQ:MSFT", 86400, 0, 5, bars, nullptr), 5);

    // Give the cached bar before the newest a volume with a fraction (the
    // newest may carry the worker's live bar); the next request is served
    // from the (fresh) cache file.
    const std::wstring file = CacheFile();
    ASSERT_FALSE(file.empty());
    std::string content = ReadFileBytes(file);
    const size_t lastRow = content.rfind("\r\n", content.size() - 3);
    const size_t rowStart = content.rfind("\r\n", lastRow - 1) + 2;
    size_t field = rowStart;
    for (int i = 0; i < 5; ++i) field = content.find(',', field) + 1;
    const size_t fieldEnd = content.find(',', field);
    content.replace(field, fieldEnd - field, "1234.9000000000");
    WriteFileBytes(file, content);

    HostQuotation again[5];
    ASSERT_EQ(dll.GetQuotesEx("NASDAQ:MSFT", 86400, 0, 5, again, nullptr), 5);
    EXPECT_EQ(again[3].volume, 1234.9f);
    EXPECT_EQ(again[3].openInterest, 0.0f);
    EXPECT_EQ(again[3].close, bars[3].close);
    HostLegacyQuotation legacy[5];
    std::memset(legacy, 0xAB, sizeof(legacy));
    ASSERT_EQ(dll.GetQuotes("NASDAQ:MSFT", 86400, 0, 5, legacy), 5);
    EXPECT_EQ(legacy[3].volume, 1234);
    EXPECT_EQ(legacy[3].openInterest, 0);
    EXPECT_EQ(legacy[3].close, bars[3].close);
    EXPECT_EQ(legacy[3].unused[0], 0xAB) << "the record's last four bytes are not the plug-in's";
}

namespace {
// The worker polls every second here.
class LiveHost : public HostSide {
protected:
    void SetUp() override {
        pollSeconds = "1";
        HostSide::SetUp();
        window.TakeStreaming();
    }
};
}  // namespace

TEST_F(LiveHost, TheWorkerKeepsChartAndQuoteWindowCurrent) {
    Scenario(R"({"ws":{"seed":10,"now":1710547200,"history":10}})");
    HostQuotation bars[10];
    ASSERT_EQ(dll.GetQuotesEx("NASDAQ:AAPL", 300, 0, 10, bars, nullptr), 10);
    // The history update makes the ticker due at once; the unforced
    // streaming post comes once 3000 ms have passed since the last one.
    int streaming = 0;
    EXPECT_TRUE(WaitUntil([&] { return (streaming += window.TakeStreaming()) > 0; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return Status().Text() == "Live OHLC OK: NASDAQ:AAPL"; }, 5000));
    const void* recent = dll.GetRecentInfo("NASDAQ:AAPL");
    ASSERT_NE(recent, nullptr);
    EXPECT_GT(FloatAt(recent, 96), 0.0f);
    EXPECT_NE(plugin.Log().find("POLL worker tick done ticker=NASDAQ:AAPL periodicity=300 polled=1 error=(none)\r\n"),
              std::string::npos);

    Stopwatch watch;
    EXPECT_EQ(dll.Release(), 1);
    EXPECT_LT(watch.Ms(), kGiveUpBoundMs);
    EXPECT_NE(plugin.Log().find("POLL worker stopped\r\n"), std::string::npos);
}

TEST_F(LiveHost, ReleaseWaitsOnlyForThePollInProgress) {
    Scenario(R"({"ws":{"seed":11,"now":1710547200,"history":5}})");
    HostQuotation bars[5];
    const char* tickers[] = {"NASDAQ:AAPL", "NASDAQ:MSFT", "NASDAQ:TSLA", "NYSE:IBM", "XETR:SAP"};
    for (const char* ticker : tickers) ASSERT_EQ(dll.GetQuotesEx(ticker, 300, 0, 5, bars, nullptr), 5) << ticker;
    // Now every connection stalls: each poll takes two full time-outs, and
    // all five tickers are due.
    Scenario(R"({"ws":{"stall_upgrade":true}})");
    Sleep(1000);
    Stopwatch watch;
    EXPECT_EQ(dll.Release(), 1);
    // The poll in progress (latest bar, then quote) plus one wait; five
    // polls one after another would take five times as long.
    EXPECT_LT(watch.Ms(), 2ull * kTimeoutMs + 1000 + 2500) << plugin.Log().substr(plugin.Log().size() > 6000 ? plugin.Log().size() - 6000 : 0);
    StatusBytes status = Status();
    EXPECT_EQ(status.Text(), "Released");
}
