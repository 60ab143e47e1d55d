// What the stream reads from the service's payloads (the real captured
// frames and the error shapes), and how streamed quotes merge into a
// ticker's record.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/state.h"
#include "polling/stream_store.h"
#include "protocol/stream_payload.h"
#include "support/test_support.h"
#include "support/state_access.h"

using testing_support::RealFrames;

TEST(StreamPayload, TheCapturedFramesReadAsTheirKinds) {
    const std::vector<std::string>& frames = RealFrames();
    ASSERT_EQ(frames.size(), 42u);
    struct Case {
        size_t frame;
        StreamPayloadKind kind;
        std::string id;      // the series or symbol key, or the first member of a data frame
        std::string quoted;  // a qsd's "n"
    };
    const Case cases[] = {
        {0, StreamPayloadKind::SeriesData, "sds_5", ""},
        {34, StreamPayloadKind::SeriesData, "", ""},
        {10, StreamPayloadKind::SeriesData, "", ""},  // a study's du: no series of ours
        {3, StreamPayloadKind::Other, "", ""},        // series_timeframe
        {4, StreamPayloadKind::SeriesCompleted, "", ""},
        {11, StreamPayloadKind::Other, "", ""},  // study_completed
        {20, StreamPayloadKind::SymbolResolved, "", ""},
        {22, StreamPayloadKind::Quote, "", "NASDAQ:NDX"},
        {28, StreamPayloadKind::Quote, "", "NASDAQ:AAPL"},
        {23, StreamPayloadKind::Other, "", ""},  // quote_completed
    };
    StreamPayload read;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        ReadStreamPayload(frames[c.frame], read);
        EXPECT_EQ(read.kind, c.kind);
        EXPECT_EQ(read.quote.subscribed, c.quoted);
        if (!c.id.empty()) {
            ASSERT_FALSE(read.members.empty());
            EXPECT_EQ(read.members[0].first, c.id);
        }
    }
    // The ids the stream matches its series and symbols by.
    ReadStreamPayload(frames[4], read);
    EXPECT_EQ(read.id.rfind("sds_", 0), 0u) << read.id;
    ReadStreamPayload(frames[20], read);
    EXPECT_EQ(read.id.rfind("sds_sym_", 0), 0u) << read.id;
    ReadStreamPayload(frames[10], read);
    ASSERT_EQ(read.members.size(), 1u);
    EXPECT_EQ(read.members[0].first.rfind("st", 0), 0u) << "a study, never taken for a series";
    ReadStreamPayload(frames[28], read);
    EXPECT_TRUE(read.quote.hasLast && read.quote.hasChange && read.quote.hasVolume);
    EXPECT_EQ(read.quote.last, 180.96);
    EXPECT_EQ(read.quote.epoch, 1686355199);
    EXPECT_EQ(read.quote.session, "out_of_session");
}

TEST(StreamPayload, AnswersAndErrorsAsTheServiceWordsThem) {
    struct Case {
        std::string payload;
        StreamPayloadKind kind;
        std::string id;
        std::string reason;
    };
    const Case cases[] = {
        {R"({"m":"series_loading","p":["cs_1","sds_3","s1"]})", StreamPayloadKind::SeriesLoading, "sds_3", ""},
        {R"({"m":"symbol_error","p":["cs_1","sds_sym_2","invalid symbol"]})", StreamPayloadKind::SymbolError,
         "sds_sym_2", "invalid symbol"},
        {R"({"m":"series_error","p":["cs_1","sds_2","s1","resolve error",7]})", StreamPayloadKind::SeriesError, "sds_2",
         "resolve error"},
        {R"({"m":"critical_error","p":["cs_1","exceed limit of series in the session","create_series"]})",
         StreamPayloadKind::SeriesLimit, "", "exceed limit of series in the session"},
        {R"({"m":"critical_error","p":["cs_1","unknown session","quote_add_symbols"]})",
         StreamPayloadKind::CriticalError, "", "unknown session"},
        {R"({"m":"protocol_error","p":["wrong data"]})", StreamPayloadKind::ProtocolError, "", "wrong data"},
        {R"({"m":"du","p":["cs_1",{"sds_1":{"s":[{"i":9,"v":[1710547200.0,1,2,0.5,1.5,10]}],"ns":{"d":"","indexes":"nochange"},"t":"s1"},"sds_2":{"s":[]}}]})",
         StreamPayloadKind::SeriesData, "sds_1", ""},
        {"~h~12", StreamPayloadKind::Other, "", ""},
        {"{\"m\":\"qsd\"", StreamPayloadKind::Other, "", ""},
        {"{\"m\":\"du\",\"p\":[\"cs_1\",7]}", StreamPayloadKind::SeriesData, "", ""},
    };
    StreamPayload read;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        ReadStreamPayload(c.payload, read);
        EXPECT_EQ(read.kind, c.kind);
        EXPECT_EQ(read.reason, c.reason);
        if (c.kind == StreamPayloadKind::SeriesData) {
            EXPECT_EQ(read.members.empty() ? std::string() : read.members[0].first, c.id);
        } else {
            EXPECT_EQ(read.id, c.id);
        }
    }
    ReadStreamPayload(cases[6].payload, read);
    ASSERT_EQ(read.members.size(), 2u);
    EXPECT_EQ(read.members[1].first, "sds_2");
    EXPECT_EQ(read.members[0].second.front(), '{');

    // The text a symbol is subscribed with is the "n" its qsd frames carry.
    EXPECT_EQ(QuoteSubscription("NASDAQ:AAPL"), R"(={\"symbol\":\"NASDAQ:AAPL\",\"adjustment\":\"splits\"})");
}

namespace {

using testing_support::WithState;

class StreamedQuotes : public ::testing::Test {
protected:
    void SetUp() override {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.symbolCache.clear();
        s.activeTickers.clear();
        s.activeTickers["NASDAQ:AAPL"].ticker = L"NASDAQ:AAPL";
        s.recentValid = false;
    }
    void TearDown() override {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.symbolCache.clear();
        s.activeTickers.clear();
        s.recentValid = false;
    }
    static SymbolCacheEntry Entry() { return WithState([&](PluginState& s) { return s.symbolCache["NASDAQ:AAPL"]; }); }
    bool Store(const std::string& payload, bool barLive = true) {
        StreamPayload read;
        ReadStreamPayload(payload, read);
        EXPECT_EQ(read.kind, StreamPayloadKind::Quote) << payload;
        return StoreStreamedQuote("NASDAQ:AAPL", L"NASDAQ:AAPL", read.quote, settings, 0, barLive);
    }
    PluginSettings settings;
};

}  // namespace

TEST_F(StreamedQuotes, PartialFramesChangeOnlyWhatTheyCarry) {
    const std::string head = R"({"m":"qsd","p":["qs_1",{"n":"NASDAQ:AAPL","s":"ok","v":{)";
    EXPECT_FALSE(Store(head + R"("volume":5}}]})")) << "no price known yet: nothing to show";
    EXPECT_FALSE(Entry().hasQuote);

    // The real first frame, then the two kinds of later frames.
    ASSERT_TRUE(Store(RealFrames()[28]));
    SymbolCacheEntry e = Entry();
    EXPECT_TRUE(e.hasQuote);
    EXPECT_EQ(e.served.last, 180.96f);
    EXPECT_EQ(e.served.change, 0.39f);
    EXPECT_EQ(e.served.totalVolume, 48899973);
    EXPECT_EQ(e.sessionText, "out_of_session");
    const int date = e.served.tradeDate;
    const int time = e.served.tradeTime;
    EXPECT_GT(date, 20230600);

    ASSERT_TRUE(Store(head + R"("volume":48900100}}]})"));
    e = Entry();
    EXPECT_EQ(e.served.last, 180.96f) << "a volume-only frame keeps the price";
    EXPECT_EQ(e.served.change, 0.39f);
    EXPECT_EQ(e.served.totalVolume, 48900100);
    EXPECT_EQ(e.served.tradeDate, date);
    EXPECT_EQ(e.served.tradeTime, time) << "and the time of the last trade";
    EXPECT_EQ(e.sessionText, "out_of_session");

    ASSERT_TRUE(Store(head + R"("lp":181.5,"ch":0.93,"chp":0.51,"lp_time":1686355260,"volume":48900200}}]})"));
    e = Entry();
    EXPECT_EQ(e.served.last, 181.5f);
    EXPECT_EQ(e.served.change, 0.93f);
    EXPECT_EQ(e.served.high, 181.5f);
    EXPECT_FLOAT_EQ(e.served.prevClose, 180.57f);
    EXPECT_NE(e.served.tradeTime, time);
    EXPECT_EQ(std::memcmp(&e.served, &e.live, sizeof(RecentInfo)), 0) << "the overlay sees what the quote window sees";
    WithState([&](PluginState& s) {
        EXPECT_TRUE(s.recentValid);
        EXPECT_EQ(s.recent.last, 181.5f);
        // A bar kept from a poll before the stream took over...
        s.symbolCache["NASDAQ:AAPL"].hasBar = true;
    });
    // ... goes when no series of the stream keeps the bar.
    ASSERT_TRUE(Store(head + R"("lp":181.6}}]})", false));
    EXPECT_FALSE(Entry().hasBar);

    // A ticker no longer active gets no entry back.
    WithState([&](PluginState& s) {
        s.activeTickers.clear();
        s.symbolCache.clear();
    });
    EXPECT_FALSE(Store(RealFrames()[28]));
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_TRUE(s.symbolCache.empty());
}

TEST(QuoteUpdateMode, InTheTradersWords) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"streaming", L"in real time (streaming)"},
        {"delayed_streaming_900", L"delayed by about 15 minutes (delayed_streaming_900)"},
        {"delayed_streaming", L"delayed (delayed_streaming)"},
        {"delayed_streaming_30", L"delayed (delayed_streaming_30)"},
        {"endofday", L"end of day only (endofday)"},
        {"snapshot", L"snapshot"},
        {"caf\xC3\xA9", L"caf??"},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribeUpdateMode(c.first), c.second) << c.first;
}

TEST(StreamPayload, AQuoteNamesItsSymbolHoweverTheServiceWritesTheSubscription) {
    // The service echoes a symbol added in the JSON form re-serialised:
    // other spacing, other key order; escapes as they stand in "n".
    const std::pair<std::string, std::string> cases[] = {
        {"NASDAQ:AAPL", "NASDAQ:AAPL"},
        {R"(={\"symbol\":\"NASDAQ:AAPL\",\"adjustment\":\"splits\"})", "NASDAQ:AAPL"},
        {R"(={\"adjustment\":\"splits\",\"symbol\":\"NASDAQ:AAPL\"})", "NASDAQ:AAPL"},
        {R"(={ \"adjustment\" : \"splits\" , \"session\":\"extended\", \"symbol\" : \"BYBIT:HYPEUSDT.P\" })",
         "BYBIT:HYPEUSDT.P"},
        {R"(={\"inner\":{\"symbol\":\"X:NESTED\"},\"symbol\":\"X:TOP\"})", "X:TOP"},
        {R"(={\"adjustment\":\"splits\"})", ""},
        {"=", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(SubscribedSymbol(c.first), c.second) << c.first;
    // What the stream subscribes with names its own symbol.
    EXPECT_EQ(SubscribedSymbol(QuoteSubscription("TSE:7203")), "TSE:7203");
}
