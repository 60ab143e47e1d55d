// Quote requests as the host makes them, against the local service double.
#include "net/double_fixture.h"
#include <cstring>

#include "plugin/quote_delivery.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;
class Quotes : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.databaseFolder = database.Path();
        s.iniPath.clear();
        s.settings = PluginSettings{};
        s.settings.TimeoutMs = kTimeoutMs;
        s.symbolCache.clear();
    }
    void TearDown() override {
        PluginState& s = State();
        {
            std::lock_guard<std::mutex> lock(s.stateLock);
            s.databaseFolder.clear();
        }
        DoubleTest::TearDown();
    }
    static std::wstring Status() { return WithState([&](PluginState& s) { return s.statusText; }); }
    testing_support::TempFolder database;
};
}  // namespace

TEST_F(Quotes, NewestBarsInTheHostLayoutAndTheStatus) {
    Scenario(R"({"ws":{"seed":2,"now":1710547200,"history":10}})");
    Quotation quotes[501];
    std::memset(quotes, 0xAB, sizeof(quotes));
    ASSERT_EQ(DeliverQuotesEx("NASDAQ:AAPL", 86400, 500, quotes), 10);
    EXPECT_EQ(Status(), L"TradingView OK: NASDAQ:AAPL");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(quotes[i].aux1, 0.0f);
        EXPECT_EQ(quotes[i].aux2, 0.0f);
        EXPECT_EQ(quotes[i].openInterest, 0.0f);
        if (i > 0) {
            EXPECT_LT(quotes[i - 1].dateTime, quotes[i].dateTime);
        }
        EXPECT_EQ(quotes[i].dateTime & 0x3FFFC000000ull, 0x3FFFC000000ull);
    }
    std::uint8_t untouched;
    std::memcpy(&untouched, &quotes[10], 1);
    EXPECT_EQ(untouched, 0xAB) << "records beyond the count are not touched";

    // Size 3 gives the three newest, from the cache now.
    Quotation three[3];
    ASSERT_EQ(DeliverQuotesEx("NASDAQ:AAPL", 86400, 3, three), 3);
    EXPECT_EQ(three[2].dateTime, quotes[9].dateTime);
    EXPECT_EQ(three[0].dateTime, quotes[7].dateTime);

    LegacyQuotation legacy[3];
    ASSERT_EQ(DeliverQuotes("NASDAQ:AAPL", 86400, 3, legacy), 3);
    EXPECT_EQ(legacy[2].date, LegacyDate(quotes[9].dateTime));
    EXPECT_EQ(legacy[2].volume, static_cast<std::int32_t>(quotes[9].volume));

    // The request was remembered in the "State" section.
    const std::string ini = testing_support::ReadFileBytes(database.Join(L"Velmarquin.ini"));
    EXPECT_NE(ini.find("LastTicker=NASDAQ:AAPL"), std::string::npos) << ini;
    EXPECT_NE(ini.find("LastBars=3"), std::string::npos) << ini;
}

TEST_F(Quotes, FailuresDeliverNothing) {
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    Quotation quotes[4];
    EXPECT_EQ(DeliverQuotesEx("NASDAQ:NOPE", 86400, 4, quotes), 0);
    EXPECT_EQ(Status(), L"TradingView fetch failed: TradingView symbol error: invalid symbol");
    LegacyQuotation legacy[4];
    SetStatusText(L"kept");
    EXPECT_EQ(DeliverQuotes("NASDAQ:NOPE", 86400, 4, legacy), 0);
    EXPECT_EQ(Status(), L"kept") << "GetQuotes logs a failure but leaves the status";
}
