// The two live polls and the poll cycle against the local service double.
#include <algorithm>
#include <stdexcept>
#include <cstring>
#include <string>
#include <vector>

#include "net/double_fixture.h"
#include "plugin/live_overlay.h"
#include "polling/poll_cycle.h"
#include "protocol/live_quote_poll.h"
#include "protocol/framing.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"
#include "protocol/latest_bar_poll.h"
#include "storage/memory_cache.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using testing_support::Narrow;
using testing_support::Widen;

class LivePoll : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        settings.TimeoutMs = kTimeoutMs;
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = settings;
        s.settings.PollSeconds = 5;
        s.settings.DebugLogging = true;
        s.symbolCache.clear();
        s.recentValid = false;
        s.mainWindow = nullptr;
    }
    void TearDown() override {
        WithState([&](PluginState& s) {
            s.settings = PluginSettings{};
            s.symbolCache.clear();
        });
        DoubleTest::TearDown();
    }
    static SymbolCacheEntry Entry(const std::string& key) {
        return WithState([&](PluginState& s) { return s.symbolCache[key]; });
    }
    // Lets the next cycle of a ticker run at once.
    static void MakeDue(const std::string& key) {
        WithState([&](PluginState& s) { s.symbolCache[key].lastPollTick = 0; });
    }
    static std::wstring Status() { return WithState([&](PluginState& s) { return s.statusText; }); }
    size_t Searches() const {
        const std::vector<std::string> paths = service.Events("http", "path");
        return static_cast<size_t>(std::count(paths.begin(), paths.end(), "/symbol_search"));
    }
    // The quote-session id the client opened, from its second message.
    static std::string SessionOf(const std::string& message) {
        const size_t open = message.find("[\"") + 2;
        return message.substr(open, message.find('"', open) - open);
    }

    PluginSettings settings;
    std::vector<Bar> bars;
    std::wstring error;
};

}  // namespace

TEST_F(LivePoll, LatestBarsConversationAndTheNewestThree) {
    Scenario(R"({"ws":{"seed":6,"now":1710547200,"history":10}})");
    ASSERT_TRUE(PollLatestBars(L"AAPL", "NASDAQ:AAPL", 300, settings, bars, error)) << Narrow(error);
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_LT(bars[0].dateTime, bars[1].dateTime);
    EXPECT_LT(bars[1].dateTime, bars[2].dateTime);

    // The token goes once, as the shared connection opens; the session is
    // deleted when the poll is done.
    const std::vector<std::string> sent = MessagesAtLeast(7);
    ASSERT_EQ(sent.size(), 7u);
    const std::string cs = SessionOf(sent[1]);
    EXPECT_EQ(cs.rfind("cs_live_", 0), 0u);
    EXPECT_EQ(sent[6], "{\"m\":\"chart_delete_session\",\"p\":[\"" + cs + "\"]}");
    EXPECT_EQ(sent[0], "{\"m\":\"set_auth_token\",\"p\":[\"unauthorized_user_token\"]}");
    EXPECT_EQ(sent[1], "{\"m\":\"chart_create_session\",\"p\":[\"" + cs + "\",\"\"]}");
    EXPECT_EQ(sent[2], "{\"m\":\"set_locale\",\"p\":[\"en\",\"US\"]}");
    EXPECT_EQ(sent[3], "{\"m\":\"switch_timezone\",\"p\":[\"" + cs + "\",\"Etc/UTC\"]}");
    EXPECT_EQ(sent[4], "{\"m\":\"resolve_symbol\",\"p\":[\"" + cs +
                           "\",\"sds_live_sym_1\",\"={\\\"symbol\\\":\\\"NASDAQ:AAPL\\\",\\\"adjustment\\\":"
                           "\\\"splits\\\",\\\"session\\\":\\\"extended\\\"}\"]}");
    EXPECT_EQ(sent[5], "{\"m\":\"create_series\",\"p\":[\"" + cs +
                           "\",\"sds_live_1\",\"s1\",\"sds_live_sym_1\",\"5\",3]}");

    // Daily: resolution 1D and end-of-day marks; a "du" reply ends the poll too.
    Scenario(R"({"ws":{"seed":6,"now":1710547200,"history":10,"series_reply":"du"}})");
    ASSERT_TRUE(PollLatestBars(L"NASDAQ:AAPL", "", 86400, settings, bars, error)) << Narrow(error);
    ASSERT_FALSE(bars.empty());
    EXPECT_EQ((bars.back().dateTime >> 26) & 0x1FFFF, 0x1FFFFu) << "hour 31, minute 63, second 63";
    const std::vector<std::string> daily = MessagesAtLeast(7);
    ASSERT_EQ(daily.size(), 7u);
    EXPECT_NE(daily[5].find("\"1D\",3]}"), std::string::npos) << daily[5];
}

TEST_F(LivePoll, LatestBarsFailuresAreQuickAndSaySo) {
    Scenario(R"({"ws":{"seed":6}})");
    EXPECT_FALSE(PollLatestBars(L"AAPL", "NASDAQ:AAPL", 0, settings, bars, error));
    EXPECT_EQ(error, L"Missing chart periodicity");
    EXPECT_TRUE(service.Events("ws_open", "connection").empty()) << "no connection is opened";
    EXPECT_FALSE(PollLatestBars(L"", "", 300, settings, bars, error));
    EXPECT_EQ(error, L"Missing symbol id");

    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    Stopwatch watch;
    EXPECT_FALSE(PollLatestBars(L"NASDAQ:NOPE", "", 300, settings, bars, error));
    EXPECT_EQ(error, L"TradingView symbol error: invalid symbol");
    EXPECT_LT(watch.Ms(), static_cast<ULONGLONG>(kTimeoutMs)) << "ended by the answer, not the deadline";

    Scenario(R"({"ws":{"fault":{"kind":"critical_error","on":"create_series"}}})");
    EXPECT_FALSE(PollLatestBars(L"NASDAQ:AAPL", "", 300, settings, bars, error));
    EXPECT_EQ(error, L"TradingView critical error");

    Scenario(R"({"ws":{"fault":{"kind":"stall","on":"create_series"}}})");
    Stopwatch stalled;
    EXPECT_FALSE(PollLatestBars(L"NASDAQ:AAPL", "", 300, settings, bars, error));
    EXPECT_LT(stalled.Ms(), kGiveUpBoundMs);
    EXPECT_TRUE(bars.empty());
}

TEST_F(LivePoll, QuoteConversationFieldsAndTimes) {
    Scenario(R"({"ws":{"seed":7,"now":1710547200,"quote":{"first_without_lp":true,
                 "fields":{"lp_time":null,"trade_time":1700000000}}}})");
    LogTail log(LogPath());
    RecentInfo quote{};
    ASSERT_TRUE(PollLiveQuote(L"AAPL", "NASDAQ:AAPL", settings, quote, error)) << Narrow(error);
    EXPECT_GT(quote.last, 0.0f);
    EXPECT_EQ(quote.validFields, 9);
    EXPECT_EQ(quote.statusBits, 0x607F);
    const std::uint64_t local = ToHostDateTime(1700000000, false, settings);
    EXPECT_EQ(quote.tradeDate, PackedYmd(local));
    EXPECT_EQ(quote.tradeTime, PackedHms(local));
    EXPECT_FALSE(Entry("AAPL").sessionText.empty()) << "the session text is kept in the entry";

    const std::vector<std::string> sent = MessagesAtLeast(7);
    ASSERT_EQ(sent.size(), 7u);
    const std::string qs = SessionOf(sent[1]);
    EXPECT_EQ(qs.rfind("qs_", 0), 0u);
    EXPECT_EQ(sent[6], "{\"m\":\"quote_delete_session\",\"p\":[\"" + qs + "\"]}");
    EXPECT_EQ(sent[0], "{\"m\":\"set_auth_token\",\"p\":[\"unauthorized_user_token\"]}");
    EXPECT_EQ(sent[1], "{\"m\":\"quote_create_session\",\"p\":[\"" + qs + "\"]}");
    EXPECT_EQ(sent[2], "{\"m\":\"set_locale\",\"p\":[\"en\",\"US\"]}");
    EXPECT_EQ(sent[3].rfind("{\"m\":\"quote_set_fields\",\"p\":[\"" + qs + "\",\"ch\",\"chp\",", 0), 0u);
    EXPECT_NE(sent[3].find(",\"rtc\",\"rtc_time\",\"last_trade_time\",\"trade_time\",\"last_price_time\","
                           "\"regular_close_time\",\"rch_time\"]}"),
              std::string::npos);
    EXPECT_EQ(std::count(sent[3].begin(), sent[3].end(), ','), 30) << "30 parameters";
    EXPECT_EQ(sent[4], "{\"m\":\"quote_add_symbols\",\"p\":[\"" + qs +
                           "\",\"={\\\"symbol\\\":\\\"NASDAQ:AAPL\\\",\\\"adjustment\\\":\\\"splits\\\"}\"]}");
    EXPECT_EQ(sent[5], "{\"m\":\"quote_fast_symbols\",\"p\":[\"" + qs + "\",\"NASDAQ:AAPL\"]}");

    const std::string text = log.Text();
    EXPECT_NE(text.find("POLL live quote qsd without lp ticker=AAPL payload={"), std::string::npos);
    EXPECT_NE(text.find("POLL live quote timestamp fallback ticker=AAPL field=trade_time epoch=1700000000\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("POLL live quote fields ticker=AAPL pro_name=NASDAQ:AAPL type=stock"), std::string::npos);

    // An unknown symbol: the service's error qsd ends the poll at once.
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    RecentInfo untouched{};
    Stopwatch watch;
    EXPECT_FALSE(PollLiveQuote(L"NOPE", "NASDAQ:NOPE", settings, untouched, error));
    EXPECT_EQ(error, L"TradingView quote error: no_such_symbol");
    EXPECT_LT(watch.Ms(), static_cast<ULONGLONG>(kTimeoutMs));
    EXPECT_EQ(untouched.last, 0.0f);

    // A symbol the session may not see: "permission_denied", in the service's words.
    Scenario(R"({"ws":{"denied_symbols":["NASDAQ:TSLA"]}})");
    Stopwatch denied;
    EXPECT_FALSE(PollLiveQuote(L"TSLA", "NASDAQ:TSLA", settings, untouched, error));
    EXPECT_EQ(error, L"TradingView quote error: Permission denied");
    EXPECT_LT(denied.Ms(), static_cast<ULONGLONG>(kTimeoutMs) / 2);
    EXPECT_EQ(untouched.last, 0.0f);
}

TEST_F(LivePoll, NamesInTheExchangesLanguageBeforeThePrice) {
    // The double's Japanese and Korean listings carry their names before
    // "lp" and "lp_time", framed in UTF-16 units, with quote_completed in the
    // same message; the 4-byte character of 𠮷野家 counts two.
    const std::pair<const char*, const char*> cases[] = {
        {"TSE:7203", "\xE3\x83\x88\xE3\x83\xA8\xE3\x82\xBF"}, {"KRX:005930", "\xEC\x82\xBC\xEC\x84\xB1"},
        {"TSE:9861", "\xF0\xA0\xAE\xB7"}, {"EURONEXT:MC", "Mo\xC3\xABt"}};
    for (const auto& c : cases) {
        Scenario(R"({"ws":{"seed":13,"now":1710547200,"pack_frames":true}})");
        RecentInfo quote{};
        ASSERT_TRUE(PollLiveQuote(Widen(c.first), c.first, settings, quote, error)) << c.first << Narrow(error);
        EXPECT_GT(quote.last, 0.0f) << c.first;
        const std::uint64_t local = ToHostDateTime(1710547200, false, settings);
        EXPECT_EQ(quote.tradeDate, PackedYmd(local)) << c.first;
        EXPECT_EQ(quote.tradeTime, PackedHms(local)) << c.first;
        EXPECT_TRUE(service.Events("violation", "what").empty()) << "our frames are counted as the service counts";
    }
    // The same with the service's bytes given by hand: one qsd whose names
    // stand before the price, then a second frame in the same message.
    const std::string qsd = "{\"m\":\"qsd\",\"p\":[\"qs_1\",{\"n\":\"KRX:005930\",\"s\":\"ok\",\"v\":"
                            "{\"local_description\":\"\xEC\x82\xBC\xEC\x84\xB1\xEC\xA0\x84\xEC\x9E\x90\","
                            "\"description\":\"\xE3\x83\x88\xE3\x83\xA8\xE3\x82\xBF\",\"lp\":71500.0,"
                            "\"lp_time\":1700000000,\"volume\":3e9}}]}";
    const std::string completed = "{\"m\":\"quote_completed\",\"p\":[\"qs_1\",\"KRX:005930\"]}";
    // 4 hangul and 3 kana: 7 units for their 21 bytes.
    const std::string text = "~m~" + std::to_string(qsd.size() - 14) + "~m~" + qsd + "~m~" +
                             std::to_string(completed.size()) + "~m~" + completed;
    Scenario("{\"ws\":{\"replay\":[{\"rename\":true,\"on\":\"quote_add_symbols\",\"text\":" + JsonQuote(text) + "}]}}");
    RecentInfo quote{};
    ASSERT_TRUE(PollLiveQuote(L"KRX:005930", "KRX:005930", settings, quote, error)) << Narrow(error);
    EXPECT_EQ(quote.last, 71500.0f);
    EXPECT_EQ(quote.totalVolume, 2147483647) << "3e9 saturates";
    EXPECT_EQ(quote.totalVolumeF, 3e9f);
    EXPECT_EQ(quote.tradeDate, PackedYmd(ToHostDateTime(1700000000, false, settings)));
}

TEST_F(LivePoll, CycleStoresBarsThenFallsBackToTheQuote) {
    Scenario(R"({"ws":{"seed":8,"now":1710547200,"history":10}})");
    ASSERT_TRUE(PollTicker(L"NASDAQ:AAPL", 300, false, error)) << Narrow(error);
    EXPECT_EQ(Searches(), 0u) << "a colon ticker is its own identifier";
    SymbolCacheEntry e = Entry("NASDAQ:AAPL");
    EXPECT_TRUE(e.hasBar && e.hasQuote && !e.running);
    EXPECT_EQ(e.barPeriodicity, 300);
    EXPECT_EQ(e.symbolId, "NASDAQ:AAPL");
    EXPECT_EQ(e.served.last, e.latestBar.close);
    EXPECT_EQ(std::memcmp(&e.served, &e.live, sizeof(RecentInfo)), 0);
    EXPECT_EQ(Status(), L"Live OHLC OK: NASDAQ:AAPL");
    const Bar barBefore = e.latestBar;

    // The latest-bar conversation closes before its bars; the quote answers.
    MakeDue("NASDAQ:AAPL");
    Scenario(R"({"ws":{"seed":8,"now":1710547200,"fault":{"kind":"close","on":"create_series","connection":1}}})");
    LogTail log(LogPath());
    ASSERT_TRUE(PollTicker(L"NASDAQ:AAPL", 300, false, error)) << Narrow(error);
    e = Entry("NASDAQ:AAPL");
    EXPECT_FALSE(e.hasBar);
    EXPECT_TRUE(e.hasQuote);
    EXPECT_EQ(e.barPeriodicity, 0);
    EXPECT_EQ(e.latestBar.dateTime, barBefore.dateTime) << "the last bar is kept";
    EXPECT_EQ(Status(), L"Live quote OK: NASDAQ:AAPL");
    EXPECT_NE(log.Text().find("POLL latest OHLC failed for NASDAQ:AAPL: No latest OHLC bar received; falling back "
                              "to quote\r\n"),
              std::string::npos)
        << log.Text();
    EXPECT_NE(log.Text().find("POLL success ticker=NASDAQ:AAPL last="), std::string::npos);

    // Both fail: the live data stays, the status names the error.
    MakeDue("NASDAQ:AAPL");
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:AAPL"]}})");
    EXPECT_FALSE(PollTicker(L"NASDAQ:AAPL", 300, false, error));
    EXPECT_EQ(error, L"TradingView quote error: no_such_symbol");
    EXPECT_EQ(Status(), L"Live quote error: NASDAQ:AAPL - TradingView quote error: no_such_symbol");
    const SymbolCacheEntry after = Entry("NASDAQ:AAPL");
    EXPECT_EQ(std::memcmp(&after.served, &e.served, sizeof(RecentInfo)), 0);
    EXPECT_TRUE(after.hasQuote);
    EXPECT_FALSE(after.running);
    EXPECT_NE(after.lastPollTick, 0u) << "a failed poll is next tried one interval later";
}

TEST_F(LivePoll, CycleResolvesOnceAndReusesTheIdentifier) {
    Scenario(R"({"ws":{"seed":9,"now":1710547200,"history":10}})");
    ASSERT_TRUE(PollTicker(L"AAPL", 86400, false, error)) << Narrow(error);
    EXPECT_EQ(Searches(), 1u);
    EXPECT_EQ(Entry("AAPL").symbolId, "NASDAQ:AAPL");
    MakeDue("AAPL");
    Scenario(R"({"ws":{"seed":9,"now":1710547200,"history":10}})");
    ASSERT_TRUE(PollTicker(L"AAPL", 86400, false, error)) << Narrow(error);
    EXPECT_EQ(Searches(), 0u) << "the identifier found once is reused";

    // An explicit market makes one search; its failure ends the cycle.
    WithState([&](PluginState& s) { s.settings.Market = L"stock"; });
    Scenario(R"({"search":{"NOSUCH":[]}})");
    LogTail log(LogPath());
    EXPECT_FALSE(PollTicker(L"NOSUCH", 86400, false, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Searches(), 1u);
    EXPECT_NE(log.Text().find("POLL resolve failed ticker=NOSUCH error="), std::string::npos);
    EXPECT_FALSE(Entry("NOSUCH").running);
}

TEST_F(LivePoll, ADailyChartsQuoteCarriesTheExchangesTradingDate) {
    // Sunday 22:30 UTC is 18:30 in New York: forex has opened Monday's
    // session. The latest-bar poll fails (the double does not know FX:EURUSD),
    // so the quote answers, and a daily chart gets Monday's date.
    RememberExchangeSession("FX:EURUSD", ExchangeSession{"America/New_York", "1700-1700", ""});
    const std::string qsd = "{\"m\":\"qsd\",\"p\":[\"qs_1\",{\"n\":\"FX:EURUSD\",\"s\":\"ok\",\"v\":{\"lp\":1.0812,"
                            "\"ch\":0.0011,\"volume\":12,\"lp_time\":1586125800}}]}";
    const std::string scenario = "{\"ws\":{\"replay\":[{\"rename\":true,\"on\":\"quote_add_symbols\",\"text\":" +
                                 JsonQuote(FrameText(qsd) + FrameText("{\"m\":\"quote_completed\",\"p\":[\"qs_1\",\"FX:EURUSD\"]}")) +
                                 "}]}}";
    struct Case {
        int periodicity;
        int ymd;
    };
    const std::uint64_t local = ToHostDateTime(1586125800, false, settings);
    for (const Case c : {Case{86400, 20200406}, Case{300, PackedYmd(local)}}) {
        MakeDue("FX:EURUSD");
        Scenario(scenario);
        ASSERT_TRUE(PollTicker(L"FX:EURUSD", c.periodicity, false, error)) << Narrow(error);
        const SymbolCacheEntry e = Entry("FX:EURUSD");
        EXPECT_EQ(e.served.tradeDate, c.ymd) << c.periodicity;
        EXPECT_EQ(e.served.tradeTime, PackedHms(local)) << "the time of the trade stays the trader's";
    }

    // The daily overlay compares that date with the last bar's: Monday's bar
    // takes the quote (under the local date it would be "older" and skipped).
    MakeDue("FX:EURUSD");
    Scenario(scenario);
    ASSERT_TRUE(PollTicker(L"FX:EURUSD", 86400, false, error));
    std::vector<Bar> daily(2);
    daily[0].dateTime = PackDateTime(2020, 4, 3, 31, 63, 63);
    daily[1].dateTime = PackDateTime(2020, 4, 6, 31, 63, 63);
    for (Bar& bar : daily) bar.open = bar.high = bar.low = bar.close = 1.07f;
    ASSERT_TRUE(ApplyLiveOverlay(L"FX:EURUSD", 86400, daily));
    ASSERT_EQ(daily.size(), 2u);
    EXPECT_EQ(daily[1].close, 1.0812f);
}

TEST_F(LivePoll, AThrowingCycleLeavesTheTickerPollable) {
    Scenario(R"({"ws":{"seed":22,"now":1710547200,"history":10}})");
    SetPollProbe([](const std::wstring&) { throw std::runtime_error("a fault inside the cycle"); });
    EXPECT_THROW(PollTicker(L"NASDAQ:MSFT", 300, false, error), std::runtime_error);
    SetPollProbe(nullptr);
    EXPECT_FALSE(Entry("NASDAQ:MSFT").running) << "the claim was given back";
    MakeDue("NASDAQ:MSFT");
    EXPECT_TRUE(PollTicker(L"NASDAQ:MSFT", 300, false, error)) << Narrow(error);
}

TEST_F(LivePoll, EachConversationEndsAtItsDeadlineAsTheDeadlineEndsIt) {
    // Data, then silence: the deadline, not a failed receive, ends each one.
    const std::string series = FrameText(
        "{\"m\":\"timescale_update\",\"p\":[\"cs\",{\"sds_1\":{\"s\":[{\"i\":0,\"v\":[1710460800.0,1,2,0.5,1.5,10]},"
        "{\"i\":1,\"v\":[1710461100.0,1,2,0.5,1.25,10]}]}}]}");
    const std::string noPrice =
        FrameText("{\"m\":\"qsd\",\"p\":[\"qs\",{\"n\":\"NASDAQ:AAPL\",\"s\":\"ok\",\"v\":{\"volume\":5}}]}");
    Scenario("{\"ws\":{\"replay\":[{\"rename\":true,\"on\":\"create_series\",\"text\":" + JsonQuote(series) +
             ",\"then\":\"stall\"},{\"rename\":true,\"on\":\"quote_add_symbols\",\"text\":" + JsonQuote(noPrice) + ",\"then\":\"stall\"}]}}");
    Stopwatch latest;
    ASSERT_TRUE(PollLatestBars(L"NASDAQ:AAPL", "", 300, settings, bars, error)) << Narrow(error);
    EXPECT_EQ(bars.size(), 2u) << "the bars it has";
    EXPECT_LT(latest.Ms(), kGiveUpBoundMs);
    RecentInfo quote{};
    EXPECT_FALSE(PollLiveQuote(L"NASDAQ:AAPL", "", settings, quote, error));
    EXPECT_EQ(error, L"No live quote received");
}
