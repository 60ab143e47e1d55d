// A whole database through the DLL against a double that keeps the real
// service's limits (six connections per address, spacing, sessions per
// connection): many host threads on a few shared connections, one sign-in, a
// refused upgrade waited out, a connection lost under several conversations,
// a connection retired in time, the symbol map across a restart, the host's
// "wait for backfill", and a Release in the middle of it all.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "faults/dll_fixture.h"

namespace {

class Scale : public DllTest {
protected:
    void Start(const std::string& tradingView, const std::string& own = "BackgroundDownloads=0\r\n") {
        ownSection = own;
        WriteFileBytes(IniPath(), SettingsText("PollSeconds=3600\r\n" + tradingView));
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
        started = true;
    }
    void TearDown() override {
        if (started) dll.Release();
        DoubleTest::TearDown();
    }
    int Get(const std::string& ticker, int periodicity, int bars) {
        std::vector<HostQuotation> out(static_cast<size_t>(bars));
        return dll.GetQuotesEx(ticker.c_str(), periodicity, 0, bars, out.data(), nullptr);
    }
    // Runs `threads` host threads, each asking for its own `perThread`
    // tickers; the number of deliveries with all `bars` bars.
    int RunHostThreads(int threads, int perThread, const std::string& prefix, int bars) {
        std::atomic<int> delivered{0};
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t) {
            running.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const std::string ticker = prefix + std::to_string(t) + "X" + std::to_string(i);
                    if (Get(ticker, 86400, bars) == bars) ++delivered;
                }
            });
        }
        for (std::thread& thread : running) thread.join();
        return delivered;
    }
    size_t Count(const std::string& kind) const { return service.Events(kind, "seq").size(); }
    size_t Searches() const {
        size_t n = 0;
        for (const std::string& path : service.Events("http", "path")) n += path == "/symbol_search";
        return n;
    }

    bool started = false;
};

}  // namespace

TEST_F(Scale, EightHostThreadsShareTheConnectionsTheSettingAllowsAndSignInOnce) {
    // The double refuses a seventh open connection and connections closer
    // than 100 ms apart, as the service does.
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-1"},"search_any":true,
                 "ws":{"seed":5,"now":1710547200,"history":400,"any_symbol":true}})");
    // The default: two connections.
    Start("TimeoutMs=8000\r\nUsername=trader\r\nPassword=pw\r\n");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(RunHostThreads(8, 40, "SC", 300), 8 * 40) << Status().LongMessage();
    std::printf("320 tickers from 8 host threads in %llu ms over %lld connections\n",
                static_cast<unsigned long long>(GetTickCount64() - start), service.Stat("ws_opened"));
    EXPECT_LE(service.Stat("max_open_at_once"), 2);
    EXPECT_EQ(service.Stat("ws_refused_429"), 0);
    EXPECT_EQ(service.Stat("signins"), 1) << "signed in once for every conversation";
    // Every conversation went under the account: its token, never the anonymous one.
    for (const std::string& m : Messages()) {
        if (m.find("set_auth_token") != std::string::npos) {
            EXPECT_EQ(m, R"({"m":"set_auth_token","p":["tok-1"]})");
        }
    }
    // Nothing of the token reached the log.
    EXPECT_EQ(plugin.Log().find("tok-1"), std::string::npos);
}

TEST_F(Scale, OneConnectionCarriesEverything) {
    Scenario(R"({"ws":{"seed":6,"now":1710547200,"history":100,"any_symbol":true}})");
    Start("TimeoutMs=8000\r\n", "BackgroundDownloads=0\r\nConnections=1\r\n");
    // More host threads than one connection carries conversations at once:
    // they wait their turn rather than open a second.
    EXPECT_EQ(RunHostThreads(8, 5, "ONE:T", 50), 40) << Status().LongMessage();
    EXPECT_EQ(service.Stat("max_open_at_once"), 1);
}

TEST_F(Scale, AnUpgradeRefusedWith429IsWaitedOutNotFailed) {
    Scenario(R"({"ws":{"seed":7,"now":1710547200,"history":100,"retry_after_s":1,
                 "faults":[{"kind":"refuse","status":429,"connection":1}]}})");
    Start("TimeoutMs=3000\r\n");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Get("NASDAQ:AAPL", 86400, 50), 50) << Status().LongMessage();
    EXPECT_GE(GetTickCount64() - start, 900u) << "the Retry-After second was waited";
    EXPECT_EQ(service.Stat("ws_refused_429"), 1);
    EXPECT_EQ(service.Stat("ws_opened"), 1);
}

TEST_F(Scale, AConnectionLostUnderThreeConversationsEndsEachAndTheNextOpensAFreshOne) {
    // Each conversation asks for more than one answer brings; the second
    // request of any of them drops the shared connection.
    Scenario(R"({"ws":{"seed":8,"now":1796000000,"history":30000,"reply_delay_ms":200,
                 "faults":[{"kind":"drop","on":"request_more_data","connection":1}]}})");
    Start("TimeoutMs=4000\r\n", "BackgroundDownloads=0\r\nConnections=1\r\n");
    std::atomic<int> failedAsReceive{0};
    std::atomic<int> delivered{0};
    std::vector<std::thread> threads;
    const ULONGLONG start = GetTickCount64();
    for (const char* ticker : {"NASDAQ:AAPL", "NASDAQ:MSFT", "NYSE:IBM"}) {
        threads.emplace_back([&, ticker] {
            if (Get(ticker, 86400, 15000) == 15000) {
                ++delivered;
            } else {
                ++failedAsReceive;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LT(GetTickCount64() - start, 15000u) << "nothing hangs";
    EXPECT_GE(failedAsReceive.load(), 1);
    EXPECT_TRUE(HasStatusLine("TradingView fetch failed: TradingView websocket receive failed"));
    // The next request opens a fresh connection and gets its bars.
    EXPECT_EQ(Get("NASDAQ:TSLA", 86400, 100), 100) << Status().LongMessage();
    EXPECT_GE(service.Stat("ws_opened"), 2);
}

TEST_F(Scale, AConnectionIsRetiredBeforeTheServicesSessionLimit) {
    Scenario(R"({"ws":{"seed":9,"now":1710547200,"history":20,"any_symbol":true}})");
    Start("TimeoutMs=4000\r\n", "BackgroundDownloads=0\r\nConnections=1\r\n");
    int delivered = 0;
    // Two sessions a history: 220 sessions in all, past the service's 200.
    for (int i = 0; i < 110; ++i) delivered += Get("RET:T" + std::to_string(i), 86400, 10) == 10;
    EXPECT_EQ(delivered, 110) << Status().LongMessage();
    EXPECT_EQ(Count("session_refused"), 0u);
    EXPECT_GE(service.Stat("ws_opened"), 2);
    EXPECT_EQ(service.Stat("max_open_at_once"), 1);
}

TEST_F(Scale, TheSymbolMapOutlivesARestartAndLosesWhatTheServiceRefuses) {
    Scenario(R"({"ws":{"seed":10,"now":1710547200,"history":100}})");
    Start("TimeoutMs=4000\r\n");
    ASSERT_EQ(Get("AAPL", 86400, 50), 50) << Status().LongMessage();
    ASSERT_EQ(Get("MSFT", 86400, 50), 50) << Status().LongMessage();
    const std::string map = ReadFileBytes(CacheFolder() + L"\\symbols.map");
    EXPECT_NE(map.find("auto\tAAPL\tNASDAQ:AAPL\r\n"), std::string::npos) << map;
    EXPECT_NE(map.find("auto\tMSFT\tNASDAQ:MSFT\r\n"), std::string::npos) << map;

    // A restart, a cold cache: the map answers, no search is made.
    dll.Release();
    for (std::wstring file = CacheFile(); !file.empty(); file = CacheFile()) ASSERT_TRUE(DeleteFileW(file.c_str()));
    Scenario(R"({"ws":{"seed":10,"now":1710547200,"history":100,"unknown_symbols":["NASDAQ:MSFT"]}})");
    ASSERT_EQ(dll.Init(), 1);
    ASSERT_EQ(Notify(1), 1);
    EXPECT_EQ(Get("AAPL", 86400, 50), 50) << Status().LongMessage();
    EXPECT_EQ(Searches(), 0u);
    // The service refuses a mapped identifier: it leaves the map, and the
    // ticker is searched again at once.
    EXPECT_NE(Get("MSFT", 86400, 50), 50);
    EXPECT_EQ(Searches(), 1u);
    EXPECT_EQ(ReadFileBytes(CacheFolder() + L"\\symbols.map").find("MSFT"), std::string::npos);
}

TEST_F(Scale, IsBackfillCompleteWaitsForTheTickersBackgroundDownload) {
    Scenario(R"({"ws":{"seed":11,"now":1710547200,"history":500,"reply_delay_ms":600}})");
    Start("TimeoutMs=5000\r\n", "BackgroundDownloads=1\r\n");
    EXPECT_EQ(dll.IsBackfillComplete("NASDAQ:AAPL"), 1) << "nothing asked for yet";
    // The test's thread owns the host window: its request only queues.
    EXPECT_EQ(Get("NASDAQ:AAPL", 86400, 300), 0);
    EXPECT_EQ(dll.IsBackfillComplete("NASDAQ:AAPL"), 0);
    EXPECT_EQ(dll.IsBackfillComplete("NASDAQ:MSFT"), 1);
    EXPECT_TRUE(WaitUntil([&] { return dll.IsBackfillComplete("NASDAQ:AAPL") == 1; }, 15000));
    EXPECT_EQ(Get("NASDAQ:AAPL", 86400, 300), 300);
}

TEST_F(Scale, ReleaseWithConversationsInFlightReturnsWithinItsBound) {
    Scenario(R"({"ws":{"seed":12,"now":1710547200,"history":100,"fault":{"kind":"stall","on":"create_series"}}})");
    Start("TimeoutMs=8000\r\n", "BackgroundDownloads=0\r\nConnections=2\r\n");
    std::vector<std::thread> threads;
    std::atomic<int> returned{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            Get("NASDAQ:R" + std::to_string(i), 86400, 50);
            ++returned;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return service.Events("ws_open", "connection").size() >= 1; }, 5000));
    Sleep(500);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(dll.Release(), 1);
    started = false;
    EXPECT_LT(GetTickCount64() - start, 4000u);
    for (std::thread& thread : threads) thread.join();
    EXPECT_LT(GetTickCount64() - start, 5000u) << "the host's threads came back with the Release";
    EXPECT_EQ(returned.load(), 4);
}

TEST_F(Scale, AfterReleaseNothingOfTheStreamIsLeft) {
    Scenario(R"({"ws":{"seed":13,"now":1710547200,"history":50,"stream":{"quote_ms":100,"bar_ms":100},)"
             R"("heartbeat":{"interval_ms":300}}})");
    Start("TimeoutMs=3000\r\n", "BackgroundDownloads=0\r\nStreaming=1\r\n");
    ASSERT_EQ(Get("NASDAQ:AAPL", 60, 20), 20) << Status().LongMessage();
    ASSERT_TRUE(WaitUntil([&] { return plugin.Log().find("STREAM connected") != std::string::npos; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return dll.GetRecentInfo("NASDAQ:AAPL") != nullptr; }, 5000));
    EXPECT_EQ(dll.Release(), 1);
    started = false;
    const size_t opened = service.Events("ws_open", "connection").size();
    const std::string log = plugin.Log();
    Sleep(2000);
    EXPECT_EQ(service.Events("ws_open", "connection").size(), opened) << "nothing connects after the Release";
    EXPECT_EQ(plugin.Log(), log) << "nothing is stored or said after the Release";
    EXPECT_TRUE(plugin.Unload()) << "no thread of the plug-in is left holding it";
}

TEST_F(Scale, ReleaseStopsEveryThreadAtOnceEvenInASymbolSearch) {
    // A search endpoint that never answers: the worker's poll of a ticker
    // without its exchange would try market after market, each for the whole
    // time-out.
    Scenario(R"({"http":[{"path":"/symbol_search","stall":true}],"ws":{"seed":14,"history":50}})");
    Start("TimeoutMs=3000\r\nPollSeconds=1\r\nDebugLogging=1\r\n", "BackgroundDownloads=1\r\nStreaming=1\r\n");
    dll.GetRecentInfo("AAPL");
    EXPECT_EQ(Get("MSFT", 86400, 50), 0) << "the window thread's request only queues";
    ASSERT_TRUE(WaitUntil([&] { return service.Events("http", "path").size() >= 2; }, 5000));
    Stopwatch watch;
    EXPECT_EQ(dll.Release(), 1);
    started = false;
    // One search time-out at most (every thread is asked at once, and none
    // begins its next market), not the sum of the threads' bounds.
    EXPECT_LT(watch.Ms(), 3000u + 1500u);
}

TEST_F(Scale, UnloadingADatabaseDropsItsDownloadsAndWritesNothingAnywhere) {
    Scenario(R"({"ws":{"seed":15,"now":1710547200,"history":300,"reply_delay_ms":700}})");
    Start("TimeoutMs=5000\r\n", "BackgroundDownloads=1\r\n");
    // The test's thread is the window thread: each request only queues.
    for (const char* ticker : {"NASDAQ:AAPL", "NASDAQ:MSFT", "NYSE:IBM"}) EXPECT_EQ(Get(ticker, 86400, 100), 0);
    EXPECT_EQ(dll.IsBackfillComplete("NASDAQ:MSFT"), 0);
    ASSERT_EQ(Notify(2), 1);
    // The host opens another database at once.
    testing_support::TempFolder next;
    WriteFileBytes(next.Join(L"Velmarquin.ini"), SettingsText("TimeoutMs=5000\r\n"));
    const std::string nextPath = Narrow(next.Path());
    HostNotification n = {};
    n.size = sizeof(n);
    n.reason = 1;
    n.databasePath = nextPath.c_str();
    n.mainWindow = window.Get();
    ASSERT_EQ(dll.Notify(&n), 1);
    EXPECT_EQ(dll.IsBackfillComplete("NASDAQ:MSFT"), 1) << "nothing of the old database waits";
    Sleep(3000);
    EXPECT_EQ(CacheListing(), "") << "nothing written into the old database's cache";
    EXPECT_FALSE(testing_support::PathExists(next.Join(L"VelmarquinCache")))
        << "nothing of the old database written into the new one's";
    // The downloads of the new database go on as before.
    EXPECT_EQ(Get("NASDAQ:TSLA", 86400, 100), 0);
    EXPECT_TRUE(WaitUntil([&] { return Get("NASDAQ:TSLA", 86400, 100) == 100; }, 10000));
}
