// The bulk update's list and its run against the local service double.
#include <string>
#include <vector>

#include "net/double_fixture.h"
#include "ui/bulk_update.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;
class Bulk : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.databaseFolder = database.Path();
        s.settings = PluginSettings{};
        s.settings.TimeoutMs = 4321;
    }
    void TearDown() override {
        WithState([&](PluginState& s) {
            s.databaseFolder.clear();
            s.settings = PluginSettings{};
        });
        DoubleTest::TearDown();
    }
    testing_support::TempFolder database;
};
}  // namespace

TEST(BulkSymbols, SeparatorsBlanksAndDuplicates) {
    EXPECT_EQ(SplitBulkSymbols(L"AAPL, MSFT;TSLA\r\nIBM"),
              (std::vector<std::wstring>{L"AAPL", L"MSFT", L"TSLA", L"IBM"}));
    EXPECT_EQ(SplitBulkSymbols(L"AAPL,,MSFT,"), (std::vector<std::wstring>{L"AAPL", L"MSFT"}));
    EXPECT_TRUE(SplitBulkSymbols(L"  , ;\t,; ").empty());
    EXPECT_EQ(SplitBulkSymbols(L"BRK B;AAPL;AAPL"), (std::vector<std::wstring>{L"BRK B", L"AAPL", L"AAPL"}));
}

TEST_F(Bulk, SummaryCountsAndTheFirstErrorAndSettingsComeBack) {
    EXPECT_EQ(RunBulkUpdate(PluginSettings{}, L" ,; "), L"No bulk symbols entered.");

    Scenario(R"({"ws":{"seed":12,"now":1710547200,"history":20,"unknown_symbols":["NASDAQ:NOPE","NASDAQ:GONE"]}})");
    PluginSettings run;
    run.TimeoutMs = kTimeoutMs;
    EXPECT_EQ(RunBulkUpdate(run, L"NASDAQ:AAPL;NASDAQ:NOPE;NASDAQ:GONE"),
              L"Bulk update finished: 1 ok, 2 failed.\nFirst error: NASDAQ:NOPE: TradingView symbol error: invalid symbol");
    EXPECT_EQ(CopySettings().TimeoutMs, 4321) << "the plug-in's own settings are back";

    EXPECT_EQ(RunBulkUpdate(run, L"NASDAQ:MSFT,NASDAQ:MSFT"), L"Bulk update finished: 2 ok, 0 failed.");
}
