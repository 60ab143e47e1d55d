// Faults a review found, driven through a private copy of the DLL as the
// host drives it: a ticker with blanks must not make the worker spin, and
// Release must free what it can of connections that ended untidily.
#include <string>

#include "faults/dll_fixture.h"

namespace {

class BlankTicker : public HostDllTest {
protected:
    void SetUp() override {
        pollSeconds = "1";
        extra = "DebugLogging=1\r\n";
        HostDllTest::SetUp();
    }
    size_t Count(const std::string& text) const {
        const std::string log = plugin.Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
};

}  // namespace

TEST_F(BlankTicker, TheWorkerWaitsBetweenPassesAndTheQuoteWindowFindsIt) {
    Scenario(R"({"ws":{"seed":21,"now":1710547200,"history":10}})");
    // The quote window asks for " AAPL" as the host spells it.
    EXPECT_EQ(dll.GetRecentInfo(" AAPL"), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return dll.GetRecentInfo(" AAPL") != nullptr; }, 10000))
        << "the record polled for \" AAPL\" is the one asked for";
    const size_t before = Count("POLL check ticker= AAPL ");
    Sleep(3000);
    const size_t passes = Count("POLL check ticker= AAPL ") - before;
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, 6u) << "one poll a second, not a spin";
}

namespace {

// Upgrades the double never answers: under Wine the request handle of such a
// handshake reports closing only once the server lets go, so each
// conversation's state is parked (with a reference to the module): the
// download's, and the worker's polls of the new ticker.
class ParkedConnections : public DllTest {
protected:
    void StallEveryUpgrade(const std::string& settings) {
        WriteFileBytes(IniPath(), SettingsText(settings));
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
        Scenario(R"({"ws":{"stall_upgrade":true}})");
        EXPECT_EQ(dll.GetQuotesEx("NASDAQ:AAPL", 86400, 0, 10, quotes.data(), nullptr), 0);
    }
};

}  // namespace

TEST_F(ParkedConnections, ReleaseFreesThemAndGivesTheModuleBack) {
    StallEveryUpgrade("TimeoutMs=800\r\nPollSeconds=3600\r\nDebugLogging=1\r\n");
    ASSERT_TRUE(WaitUntil([&] { return plugin.Log().find("POLL worker tick done") != std::string::npos; }, 10000));
    // The double lets go of every connection; nothing runs until Release.
    Scenario("{}");
    Sleep(300);
    Stopwatch watch;
    EXPECT_EQ(dll.Release(), 1);
    EXPECT_LT(watch.Ms(), 3000u);
    EXPECT_TRUE(plugin.Unload()) << "after Release only the host's reference is left";
}

TEST_F(ParkedConnections, OneStillParkedAfterReleaseGivesTheModuleBackWhenItEnds) {
    StallEveryUpgrade("TimeoutMs=800\r\nPollSeconds=3600\r\n");
    EXPECT_EQ(dll.Release(), 1);
    // Only now does the double let go: what WinHTTP held is freed then, and
    // the host's FreeLibrary unloads the plug-in.
    Scenario("{}");
    Sleep(1500);
    EXPECT_TRUE(plugin.Unload()) << "the parked connections gave their module references back";
}
