// Notifications, the session's remembered ticker, the streaming message and
// the records the quote window reads, in-process on the plug-in's own state.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "foundation/path.h"
#include "foundation/state.h"
#include "plugin/host_records.h"
#include "plugin/notify.h"
#include "plugin/recent_info.h"
#include "plugin/session_state.h"
#include "storage/memory_cache.h"
#include "support/test_support.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using testing_support::HostWindow;
using testing_support::LogTail;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(window.Get(), nullptr);
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = PluginSettings{};
        s.settings.DebugLogging = true;
        s.databaseFolder = database.Path();
        s.iniPath = Ini();
        s.lastTicker.clear();
        s.lastPeriodicity = 86400;
        s.lastBars = 30000;
        s.symbolCache.clear();
        s.activeTickers.clear();
        s.recentValid = false;
        s.mainWindow = window.Get();
        s.lastStreamingNotifyTick = 0;
    }
    void TearDown() override {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.databaseFolder.clear();
        s.iniPath.clear();
        s.mainWindow = nullptr;
        s.settings = PluginSettings{};
    }
    std::wstring Ini() const { return database.Join(L"Velmarquin.ini"); }
    static std::wstring LogPath() { return JoinPath(ModuleFolder(), L"Velmarquin.log"); }

    template <typename Read>
    static auto Locked(Read read) { return WithState([&](PluginState& s) { return read(s); }); }

    TempFolder database;
    HostWindow window;
};

// Host symbol records with the ticker at the offset each layout keeps it.
struct SymbolRecords {
    char older[64] = {};
    char newer[512] = {};
};

}  // namespace

TEST_F(Session, StreamingPostsAreThrottledUnlessForced) {
    LogTail log(LogPath());
    NotifyHostStreaming(true);
    Sleep(100);
    NotifyHostStreaming(true);
    EXPECT_EQ(window.TakeStreaming(), 2) << "forced posts are never throttled";

    NotifyHostStreaming(false);
    EXPECT_EQ(window.TakeStreaming(), 0);
    EXPECT_NE(log.Text().find("STREAMING notify skipped: throttled\r\n"), std::string::npos) << log.Text();

    Sleep(3050);
    NotifyHostStreaming(false);
    EXPECT_EQ(window.TakeStreaming(), 1) << "3000 ms after the last post an unforced one posts again";
    NotifyHostStreaming(false);
    EXPECT_EQ(window.TakeStreaming(), 0);

    // A window that has gone away is not posted to, and nothing breaks.
    HWND gone = CreateWindowExW(0, L"VelmarquinTestHostWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    DestroyWindow(gone);
    Locked([&](PluginState& s) { return s.mainWindow = gone; });
    NotifyHostStreaming(true);
}

TEST_F(Session, RestoreTakesTheSavedTickerOnlyWhenNoneIsKnown) {
    EXPECT_FALSE(RestoreSessionState(L""));
    EXPECT_FALSE(RestoreSessionState(Ini())) << "no file, no saved ticker";

    WriteFileBytes(Ini(), "[State]\r\nLastTicker= NYSE:IBM \r\nLastPeriodicity=300\r\n");
    ASSERT_TRUE(RestoreSessionState(Ini()));
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"NYSE:IBM");
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastPeriodicity; }), 300);
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastBars; }), 30000);
    const ActiveTicker active = Locked([](PluginState& s) { return s.activeTickers.at("NYSE:IBM"); });
    EXPECT_EQ(active.ticker, L"NYSE:IBM");
    EXPECT_EQ(active.periodicity, 300);
    EXPECT_EQ(active.requestedBars, 30000);
    EXPECT_EQ(window.TakeStreaming(), 1) << "a restore tells the host at once";

    WriteFileBytes(Ini(), "[State]\r\nLastTicker=AAPL\r\n");
    LogTail log(LogPath());
    EXPECT_FALSE(RestoreSessionState(Ini()));
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"NYSE:IBM");
    EXPECT_NE(log.Text().find("STATE restore skipped: current ticker already set to NYSE:IBM\r\n"), std::string::npos);
}

TEST_F(Session, SettingsChangeWithCurrentTickerReloadsWithoutRestore) {
    WriteFileBytes(Ini(), "[State]\r\nLastTicker=SAVED\r\n[TradingView]\r\nDebugLogging=1\r\nTimeoutMs=4321\r\n");
    SymbolRecords records;
    std::strcpy(records.older, "NASDAQ:MSFT");
    std::strcpy(records.newer + 270, "IGNORED");
    PluginNotification n = {};
    n.reason = 5;
    n.currentSymbol = records.older;
    n.currentSymbolFormat4 = records.newer;
    ASSERT_EQ(HandleNotify(&n), 1);
    EXPECT_EQ(Locked([](PluginState& s) { return s.settings.TimeoutMs; }), 4321) << "settings reloaded";
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"NASDAQ:MSFT") << "no restore over it";
    EXPECT_EQ(window.TakeStreaming(), 1) << "one forced post";
    // Notifications never write the "State" section.
    EXPECT_NE(ReadFileBytes(Ini()).find("LastTicker=SAVED"), std::string::npos);

    // The newer layout is read when the older record is absent; UTF-8 ticker.
    n.reason = 0;
    n.currentSymbol = nullptr;
    std::strcpy(records.newer + 270, "XETR:S\xC3\x84P");
    ASSERT_EQ(HandleNotify(&n), 1);
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"XETR:S\u00C4P");
    EXPECT_EQ(window.TakeStreaming(), 0) << "no post without bit 1 or 4";
}

TEST_F(Session, DatabaseLoadTakesFolderWindowAndRestores) {
    TempFolder other;
    WriteFileBytes(other.Join(L"Velmarquin.ini"), "[State]\r\nLastTicker=BINANCE:BTCUSDT\r\nLastBars=500\r\n");
    HostWindow second;
    const std::string folder = testing_support::Narrow(other.Path());
    PluginNotification n = {};
    n.reason = 1;
    n.databasePath = folder.c_str();
    n.mainWindow = second.Get();
    ASSERT_EQ(HandleNotify(&n), 1);
    EXPECT_EQ(Locked([](PluginState& s) { return s.databaseFolder; }), other.Path());
    EXPECT_EQ(Locked([](PluginState& s) { return s.iniPath; }), other.Join(L"Velmarquin.ini"));
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"BINANCE:BTCUSDT");
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastBars; }), 500);
    EXPECT_NE(ReadFileBytes(other.Join(L"Velmarquin.ini")).find("[TradingView]"), std::string::npos)
        << "the database's settings file was loaded and completed";
    // The restore and the load each post once, forced, to the new window.
    EXPECT_EQ(second.TakeStreaming(), 2);

    // A null window and a null or empty path keep what is known.
    n.mainWindow = nullptr;
    n.databasePath = "";
    n.reason = 0;
    ASSERT_EQ(HandleNotify(&n), 1);
    n.databasePath = nullptr;
    ASSERT_EQ(HandleNotify(&n), 1);
    EXPECT_EQ(Locked([](PluginState& s) { return s.mainWindow; }), second.Get());
    EXPECT_EQ(Locked([](PluginState& s) { return s.databaseFolder; }), other.Path());
    EXPECT_EQ(HandleNotify(nullptr), 1);
}

TEST_F(Session, DatabaseUnloadEmptiesCachesAndKeepsTheTicker) {
    UpdateRecentCache(L"AAPL", "NASDAQ:AAPL", 86400, {Bar{0x7E837FFFFC000000ull, 1, 2, 0.5f, 1.5f, 10, 0}});
    RememberTicker(L"AAPL", 86400, 100);
    Locked([](PluginState& s) {
        s.activeTickers["AAPL"].ticker = L"AAPL";
        s.pollCursor = 7;
        return 0;
    });
    PluginNotification n = {};
    n.reason = 2;
    ASSERT_EQ(HandleNotify(&n), 1);
    EXPECT_TRUE(Locked([](PluginState& s) { return s.symbolCache.empty() && s.activeTickers.empty(); }));
    EXPECT_FALSE(Locked([](PluginState& s) { return s.recentValid; }));
    EXPECT_EQ(Locked([](PluginState& s) { return s.pollCursor; }), 0u);
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"AAPL");
}

TEST_F(Session, RecentInfoRecordsStayValidWhileCachesChange) {
    EXPECT_EQ(ServeRecentInfo(nullptr), nullptr);
    EXPECT_EQ(ServeRecentInfo("NEWONE"), nullptr);
    EXPECT_EQ(Locked([](PluginState& s) { return s.lastTicker; }), L"NEWONE");
    EXPECT_FALSE(testing_support::PathExists(Ini())) << "GetRecentInfo never writes the State section";

    const Bar older{0x7E837FFFFC000000ull, 1, 2, 0.5f, 1.5f, 10, 0};
    const Bar newer{0x7E83FFFFFC000000ull, 1.5f, 3, 1, 2.5f, 20, 0};
    UpdateRecentCache(L"AAPL", "", 86400, {older, newer});
    const RecentInfo* first = ServeRecentInfo("AAPL");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->name, "AAPL");
    EXPECT_EQ(first->last, 2.5f);
    EXPECT_EQ(ServeRecentInfo("AAPL"), first) << "an unchanged record is the same slot";

    // Another ticker's quote replaces the most recent record; AAPL's answer
    // is untouched.
    UpdateRecentCache(L"MSFT", "", 86400, {older});
    EXPECT_EQ(first->last, 2.5f);
    EXPECT_STREQ(first->name, "AAPL");

    // A changed record goes into another slot: the host's earlier pointer
    // still shows the whole earlier record.
    Locked([](PluginState& s) { return s.symbolCache["AAPL"].served.last = 2.75f; });
    const RecentInfo* second = ServeRecentInfo("AAPL");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->last, 2.75f);
    EXPECT_EQ(first->last, 2.5f);

    // A cleared cache answers null, and what the host still holds is intact.
    PluginNotification unload = {};
    unload.reason = 2;
    HandleNotify(&unload);
    EXPECT_EQ(ServeRecentInfo("AAPL"), nullptr);
    EXPECT_EQ(second->structSize, 192);
    EXPECT_EQ(second->last, 2.75f);
}

TEST_F(Session, RecentInfoFallsBackToTheRecentRecordOfTheSameTicker) {
    UpdateRecentCache(L"AAPL", "", 86400, {Bar{0x7E837FFFFC000000ull, 1, 2, 0.5f, 1.5f, 10, 0}});
    Locked([](PluginState& s) { return s.symbolCache["AAPL"].served.last = 0; });
    const RecentInfo* fallback = ServeRecentInfo("AAPL");
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->last, 1.5f);

    UpdateRecentCache(L"MSFT", "", 86400, {Bar{0x7E837FFFFC000000ull, 1, 2, 0.5f, 9.5f, 10, 0}});
    Locked([](PluginState& s) { return s.symbolCache["AAPL"].served.last = 0; });
    EXPECT_EQ(ServeRecentInfo("AAPL"), nullptr) << "the recent record is another ticker's";
}
