// Symbol search and the candidate loop against the local service double.
#include "net/double_fixture.h"
#include "protocol/symbol_routing.h"

namespace {

using Resolve = DoubleTest;
using testing_support::Narrow;

PluginSettings SettingsWithMarket(const std::wstring& market) {
    PluginSettings settings;
    settings.Market = market;
    settings.TimeoutMs = kTimeoutMs;
    return settings;
}

struct Tries {
    std::vector<std::wstring> markets;
    CandidateLoopHooks Hooks() {
        CandidateLoopHooks hooks;
        hooks.beforeTry = [this](const std::wstring& market, const std::wstring&) { markets.push_back(market); };
        hooks.finalError = L"no market had it";
        return hooks;
    }
};

}  // namespace

TEST_F(Resolve, SearchRequestAndIdentifiers) {
    Scenario("{}");
    std::string id;
    std::wstring error;
    ASSERT_TRUE(ResolveSymbolId(L"AAPL", L" Stock ", L"A", kTimeoutMs, id, error)) << error.c_str();
    EXPECT_EQ(id, "NASDAQ:AAPL");
    ASSERT_TRUE(ResolveSymbolId(L"ES1!", L"futures", L"A", kTimeoutMs, id, error));
    EXPECT_EQ(id, "CME_MINI:ES1!");  // the first contract, not the root
    const std::vector<std::string> queries = service.Events("http", "query");
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0], "text=AAPL&type=stock");
    EXPECT_EQ(queries[1], "text=ES1%21&type=futures");
}

TEST_F(Resolve, BothReplyShapesAsTheServiceAnswersToday) {
    // The double answers crypto in the v3 shape with highlighting and a
    // prefix that differs from the result's exchange; stocks as a plain array.
    Scenario("{}");
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"HYPEUSDT.P", "BYBIT:HYPEUSDT.P"}, {L"BTCUSDT", "BINANCE:BTCUSDT"}, {L"AAPL", "NASDAQ:AAPL"}};
    for (const auto& c : cases) {
        std::string id;
        std::wstring error;
        ASSERT_TRUE(ResolveTickerSymbol(c.first, SettingsWithMarket(L"auto"), CandidateLoopHooks{}, id, error))
            << Narrow(error);
        EXPECT_EQ(id, c.second);
    }
    const std::vector<std::string> heads = service.Events("http", "raw_head");
    ASSERT_FALSE(heads.empty());
    EXPECT_NE(heads[0].find("\r\nOrigin: "), std::string::npos) << "the search wants the web site's Origin";
    EXPECT_NE(heads[0].find("\r\nReferer: "), std::string::npos);
}

TEST_F(Resolve, RepliesWithoutAMatch) {
    std::string id;
    std::wstring error;
    Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","status":200,"body":"[]"}]})");
    EXPECT_FALSE(ResolveSymbolId(L"NOPE", L"stock", L"A", kTimeoutMs, id, error));
    EXPECT_EQ(error, L"Empty TradingView symbol search response");

    Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","status":200,"body":"[{\"exchange\":\"NYSE\",\"type\":\"stock\"}]"}]})");
    LogTail log(LogPath());
    EXPECT_FALSE(ResolveSymbolId(L"X", L"stock", L"A", kTimeoutMs, id, error));
    EXPECT_EQ(error, L"TradingView symbol resolution failed");
    EXPECT_NE(log.Text().find("ERROR: TradingView symbol resolution failed\r\n"), std::string::npos);
}

TEST_F(Resolve, CandidateLoopOrderAndStops) {
    std::string id;
    std::wstring error;
    {
        // A colon ticker is its own identifier: no request at all.
        Scenario("{}");
        Tries tries;
        ASSERT_TRUE(ResolveTickerSymbol(L"NASDAQ:MSFT", SettingsWithMarket(L"auto"), tries.Hooks(), id, error));
        EXPECT_EQ(id, "NASDAQ:MSFT");
        EXPECT_TRUE(service.Events("http", "query").empty());
    }
    {
        // Under auto every market is tried, then the caller's own error.
        Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","status":200,"body":"[]"}]})");
        Tries tries;
        EXPECT_FALSE(ResolveTickerSymbol(L"ZZZZ", SettingsWithMarket(L"auto"), tries.Hooks(), id, error));
        EXPECT_EQ(error, L"no market had it");
        EXPECT_EQ(tries.markets.size(), 7u);
        EXPECT_EQ(service.Events("http", "query").size(), 7u);
    }
    {
        // An explicit market stops at its first failure with that failure's text.
        Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","status":404}]})");
        Tries tries;
        EXPECT_FALSE(ResolveTickerSymbol(L"ZZZZ", SettingsWithMarket(L"stock"), tries.Hooks(), id, error));
        EXPECT_EQ(error, L"HTTP status 404");
        EXPECT_EQ(tries.markets, std::vector<std::wstring>{L"stock"});
    }
    {
        // A crypto pair is found on the first, classified, try.
        Scenario("{}");
        Tries tries;
        ASSERT_TRUE(ResolveTickerSymbol(L"btc-usdt", SettingsWithMarket(L"auto"), tries.Hooks(), id, error));
        EXPECT_EQ(id, "BINANCE:BTCUSDT");
        EXPECT_EQ(tries.markets, std::vector<std::wstring>{L"crypto"});
    }
}

TEST_F(Resolve, UnreachableSearchStopsAtTheFirstTry) {
    Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","stall":true}]})");
    Tries tries;
    std::string id;
    std::wstring error;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(ResolveTickerSymbol(L"ZZZZ", SettingsWithMarket(L"auto"), tries.Hooks(), id, error));
    EXPECT_LT(GetTickCount64() - start, kGiveUpBoundMs) << "seven markets must not each wait the time-out";
    EXPECT_EQ(tries.markets.size(), 1u);
    EXPECT_TRUE(IsUnansweredRequestError(error)) << error.c_str();
}
