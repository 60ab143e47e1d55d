// The host's window thread never waits on the network: a private copy of the
// DLL driven from the thread that owns the window the host passed through
// Notify, against the local service double.
#include <thread>

#include "faults/dll_fixture.h"

namespace {

class Background : public DllTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        ownSection = own;
        WriteFileBytes(IniPath(), SettingsText("TimeoutMs=" + timeoutMs + "\r\nPollSeconds=3600\r\nDebugLogging=1\r\n"));
        if (unwritableCache) WriteFileBytes(CacheFolder(), "a file where the cache folder should be");
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
        window.TakeStreaming();  // the database load's
    }
    void TearDown() override {
        if (!released) dll.Release();
        DoubleTest::TearDown();
    }
    int Ask(const char* ticker, int bars = 100) { return dll.GetQuotesEx(ticker, 86400, 0, bars, quotes.data(), nullptr); }
    bool Streaming(ULONGLONG limitMs = 10000) {
        int got = 0;
        return WaitUntil([&] { return (got += window.TakeStreaming()) > 0; }, limitMs);
    }
    // The history downloads the double saw (the worker's polls ask for series "sds_live_1").
    size_t Downloads() const {
        size_t n = 0;
        for (const std::string& m : Messages()) n += m.find("{\"m\":\"create_series\",\"p\":[\"cs_") == 0 && m.find("\"sds_1\"") != std::string::npos;
        return n;
    }

    std::string own;  // the plug-in's own section: empty, so downloads run in the background
    std::string timeoutMs = "3000";
    bool unwritableCache = false;
    bool released = false;
};

class BackgroundOff : public Background {
protected:
    void SetUp() override {
        own = "BackgroundDownloads=0\r\n";
        Background::SetUp();
    }
};

class UnwritableCache : public Background {
protected:
    void SetUp() override {
        unwritableCache = true;
        Background::SetUp();
    }
};

}  // namespace

TEST_F(Background, AMissAnswersAtOnceAndTheBarsFollowTheStreamingMessage) {
    Scenario(R"({"ws":{"seed":31,"now":1710547200,"history":300}})");
    Stopwatch watch;
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 0);
    EXPECT_LT(watch.Ms(), 500u) << "the window thread does not wait for the download";
    EXPECT_EQ(Status().Text(), "TradingView loading: NASDAQ:AAPL");
    EXPECT_EQ(Status().Color(), 0x000078B4u);
    ASSERT_TRUE(Streaming()) << "the landed download tells the host to ask again";
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 100);
    EXPECT_EQ(Status().Text(), "TradingView OK: NASDAQ:AAPL");
    EXPECT_EQ(Downloads(), 1u);

    // Any other host thread (an analysis or scan) waits for its bars, as always.
    int fromOtherThread = -1;
    std::thread analysis([&] { fromOtherThread = dll.GetQuotesEx("NASDAQ:MSFT", 86400, 0, 50, quotes.data(), nullptr); });
    analysis.join();
    EXPECT_EQ(fromOtherThread, 50);
}

TEST_F(Background, AStaleFileIsDeliveredAtOnceAndRefreshed) {
    Scenario(R"({"ws":{"seed":32,"now":1710547200,"history":300}})");
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 0);
    ASSERT_TRUE(Streaming());
    ASSERT_EQ(Ask("NASDAQ:AAPL"), 100);
    const std::wstring file = CacheFile();
    ASSERT_FALSE(file.empty());
    // Two days old: stale for a daily chart.
    FILETIME old;
    GetSystemTimeAsFileTime(&old);
    ULARGE_INTEGER t{{old.dwLowDateTime, old.dwHighDateTime}};
    t.QuadPart -= 2ULL * 86400 * 10000000ULL;
    old = {t.LowPart, t.HighPart};
    {
        HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetFileTime(h, nullptr, nullptr, &old);
        CloseHandle(h);
    }
    Scenario(R"({"ws":{"seed":32,"now":1710547200,"history":300}})");
    Stopwatch watch;
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 100) << "the stale bars, at once";
    EXPECT_LT(watch.Ms(), 500u);
    EXPECT_EQ(Status().Text(), "TradingView refreshing: NASDAQ:AAPL");
    EXPECT_EQ(Status().Color(), 0x000078B4u);
    ASSERT_TRUE(Streaming());
    WIN32_FILE_ATTRIBUTE_DATA after;
    ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &after));
    EXPECT_GT(CompareFileTime(&after.ftLastWriteTime, &old), 0) << "the file was refreshed";
    EXPECT_EQ(Downloads(), 1u);
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 100);
    EXPECT_EQ(Status().Text(), "TradingView OK: NASDAQ:AAPL");
}

TEST_F(Background, RequestsMergeAndAFailingSymbolPauses) {
    Scenario(R"({"ws":{"seed":33,"now":1710547200,"history":300}})");
    // The host asks twice before the bars are there: one download.
    EXPECT_EQ(Ask("NASDAQ:AAPL", 100), 0);
    EXPECT_EQ(Ask("NASDAQ:AAPL", 100), 0);
    ASSERT_TRUE(Streaming());
    EXPECT_EQ(Ask("NASDAQ:AAPL", 100), 100);
    EXPECT_EQ(Downloads(), 1u);

    // A symbol the service does not know: the failure shows, and asking
    // again at once does not ask the service again.
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    EXPECT_EQ(Ask("NASDAQ:NOPE"), 0);
    // (The worker's poll of the new ticker may set its own status right
    // after: the download's failure is read from the log.)
    ASSERT_TRUE(WaitUntil([&] { return plugin.Log().find("DOWNLOAD failed ticker=NASDAQ:NOPE") != std::string::npos; },
                          10000));
    const size_t resolves = service.Events("ws_open", "connection").size();
    EXPECT_EQ(Ask("NASDAQ:NOPE"), 0);
    EXPECT_EQ(Status().Text(), "TradingView fetch failed: TradingView symbol error: invalid symbol");
    Sleep(300);
    EXPECT_EQ(service.Events("ws_open", "connection").size(), resolves) << "paused: the service is not asked again";
}

TEST_F(Background, ReleaseAbandonsADownloadAndWritesNothing) {
    timeoutMs = "2500";
    // The download's second round never gets an answer; the worker's short
    // poll of the same ticker needs no second round and is done at once.
    Scenario(R"({"ws":{"history":30000,"fault":{"kind":"stall","on":"request_more_data"}}})");
    std::vector<HostQuotation> many(20000);
    EXPECT_EQ(dll.GetQuotesEx("NASDAQ:AAPL", 86400, 0, 20000, many.data(), nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return !service.Events("fault", "fault").empty(); }, 5000)) << "the download is under way";
    Stopwatch watch;
    EXPECT_EQ(dll.Release(), 1);
    released = true;
    EXPECT_LT(watch.Ms(), 2500u) << "Release does not wait for the download";
    Sleep(3500);  // the abandoned conversation reaches its deadline
    EXPECT_EQ(CacheListing(), "") << "an abandoned download writes nothing";
}

TEST_F(BackgroundOff, TheSettingOffWaitsOnEveryThread) {
    Scenario(R"({"ws":{"seed":34,"now":1710547200,"history":300}})");
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 100);
    EXPECT_EQ(Status().Text(), "TradingView OK: NASDAQ:AAPL");
}

TEST_F(UnwritableCache, TheLandedBarsAreDeliveredWithoutACacheFile) {
    Scenario(R"({"ws":{"seed":35,"now":1710547200,"history":300}})");
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 0);
    ASSERT_TRUE(Streaming());
    EXPECT_EQ(Ask("NASDAQ:AAPL"), 100) << "kept in memory until delivered";
}
