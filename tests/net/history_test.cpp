// The full history download against the local service double.
#include "net/double_fixture.h"
#include "protocol/framing.h"
#include "protocol/history_fetch.h"
#include "protocol/json_text.h"
#include "protocol/session_loop.h"
#include "storage/disk_cache.h"
#include "support/state_access.h"

#include <ctime>

namespace {

using testing_support::WithState;

class History : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        Configure([](PluginSettings&) {});
    }
    void TearDown() override {
        PluginState& s = State();
        {
            std::lock_guard<std::mutex> lock(s.stateLock);
            s.databaseFolder.clear();
            s.settings = PluginSettings{};
        }
        DoubleTest::TearDown();
    }
    template <typename Edit>
    void Configure(Edit edit) {
        WithState([&](PluginState& s) {
            s.databaseFolder = database.Path();
            PluginSettings settings;
            settings.TimeoutMs = kTimeoutMs;
            edit(settings);
            s.settings = settings;
            s.settings.DebugLogging = debug;
        });
    }
    bool Fetch(const std::wstring& ticker, int periodicity, int requested) {
        bars.clear();
        error.clear();
        return FetchBars(ticker, periodicity, requested, bars, error);
    }
    std::string AuthMessage() const {
        for (const std::string& m : Messages()) {
            if (m.find("set_auth_token") != std::string::npos) return m;
        }
        return {};
    }
    bool CacheFileExists(const std::wstring& ticker, int periodicity) const {
        return testing_support::PathExists(CacheFilePath(ticker, periodicity, CopySettings()));
    }

    testing_support::TempFolder database;
    std::vector<Bar> bars;
    std::wstring error;
    bool debug = false;
};

bool Ascending(const std::vector<Bar>& bars) {
    for (size_t i = 1; i < bars.size(); ++i) {
        if (bars[i - 1].dateTime >= bars[i].dateTime) return false;
    }
    return true;
}

}  // namespace

TEST_F(History, ConversationBytesRoundsAndTheCacheHitAfterwards) {
    Scenario(R"({"ws":{"seed":3,"now":1710547200,"history":30000}})");
    ASSERT_TRUE(Fetch(L"AAPL", 300, 300)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 300u);
    EXPECT_TRUE(Ascending(bars));

    const std::vector<std::string> sent = MessagesAtLeast(11);
    ASSERT_GE(sent.size(), 9u);
    EXPECT_EQ(sent[0], "{\"m\":\"set_auth_token\",\"p\":[\"unauthorized_user_token\"]}");
    const std::string prefix = "{\"m\":\"chart_create_session\",\"p\":[\"";
    const std::string cs = sent[1].substr(prefix.size(), sent[1].find('"', prefix.size()) - prefix.size());
    EXPECT_EQ(sent[1], "{\"m\":\"chart_create_session\",\"p\":[\"" + cs + "\",\"\"]}");
    EXPECT_EQ(cs.substr(0, 3), "cs_");
    EXPECT_EQ(sent[2].rfind("{\"m\":\"quote_create_session\",\"p\":[\"qs_", 0), 0u) << sent[2];
    EXPECT_EQ(sent[3], "{\"m\":\"set_locale\",\"p\":[\"en\",\"US\"]}");
    EXPECT_EQ(sent[4], "{\"m\":\"switch_timezone\",\"p\":[\"" + cs + "\",\"Etc/UTC\"]}");
    EXPECT_NE(sent[5].find(",\"={\\\"symbol\\\":\\\"NASDAQ:AAPL\\\",\\\"adjustment\\\":\\\"splits\\\"}\"]}"), std::string::npos) << sent[5];
    EXPECT_NE(sent[6].find("\"ch\",\"chp\",\"current_session\""), std::string::npos);
    EXPECT_NE(sent[6].find("\"rchp\",\"rtc\"]}"), std::string::npos);
    EXPECT_EQ(sent[7], "{\"m\":\"resolve_symbol\",\"p\":[\"" + cs +
                           "\",\"sds_sym_1\",\"={\\\"symbol\\\":\\\"NASDAQ:AAPL\\\",\\\"adjustment\\\":\\\"splits\\\","
                           "\\\"session\\\":\\\"extended\\\"}\"]}");
    EXPECT_EQ(sent[8], "{\"m\":\"create_series\",\"p\":[\"" + cs + "\",\"sds_1\",\"s1\",\"sds_sym_1\",\"5\",300]}");
    // Both sessions are deleted once the bars are in; the connection stays.
    ASSERT_EQ(sent.size(), 11u) << "300 bars came at once: no request for more; last " << sent.back();
    EXPECT_EQ(sent[9].rfind("{\"m\":\"quote_delete_session\",\"p\":[\"qs_", 0), 0u) << sent[9];
    EXPECT_EQ(sent[10], "{\"m\":\"chart_delete_session\",\"p\":[\"" + cs + "\"]}");
    EXPECT_TRUE(CacheFileExists(L"AAPL", 300));

    // Now a request for fewer bars is answered from the cache, without the service.
    Scenario(R"({"ws":{"refuse_upgrade":500}})");
    ASSERT_TRUE(Fetch(L"AAPL", 300, 100));
    EXPECT_EQ(bars.size(), 100u);
    EXPECT_TRUE(service.Events("http", "raw_head").empty());
}

TEST_F(History, RoundsOfOlderDataAndShortHistories) {
    // 20000 days back from late 2026 stays after 1970, where local times convert.
    Scenario(R"({"ws":{"seed":4,"now":1796000000,"history":30000}})");
    ASSERT_TRUE(Fetch(L"NASDAQ:MSFT", 86400, 20000)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 20000u);
    EXPECT_TRUE(Ascending(bars));
    std::vector<std::string> sent = MessagesAtLeast(12);
    EXPECT_NE(sent[8].find("\"1D\",10000]}"), std::string::npos) << sent[8];
    ASSERT_EQ(sent.size(), 12u);
    EXPECT_NE(sent[9].find("{\"m\":\"request_more_data\",\"p\":[\"cs_"), std::string::npos);
    EXPECT_NE(sent[9].find("\",\"sds_1\",10000]}"), std::string::npos) << sent[9];
    EXPECT_TRUE(service.Events("http", "query").size() == 1u) << "a colon ticker needs no search";

    // An older server that never says the data ended: the rounds stop once
    // one brings nothing new, and what came is accepted.
    const std::string older = "{\"m\":\"series_completed\",\"p\":[\"cs\",\"sds_1\",\"streaming\",\"s1\","
                              "{\"rt_update_period\":5}]}";
    const std::string twoBars = "{\"m\":\"timescale_update\",\"p\":[\"cs\",{\"sds_1\":{\"s\":["
                                "{\"i\":0,\"v\":[1700000000.0,1,2,0.5,1.5,10]},{\"i\":1,\"v\":[1700000300.0,1,2,0.5,1.5,10]}]}}]}";
    Scenario("{\"ws\":{\"replay\":[{\"rename\":true,\"on\":\"create_series\",\"text\":" + JsonQuote(FrameText(twoBars) + FrameText(older)) +
             "},{\"rename\":true,\"on\":\"request_more_data\",\"text\":" + JsonQuote(FrameText(older)) + "}]}}");
    ASSERT_TRUE(Fetch(L"NYSE:IBM", 300, 1000)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 2u);
    EXPECT_EQ(MessagesAtLeast(12).size(), 9u + 1u + 2u);
}

TEST_F(History, TheServiceSaysWhenThereIsNoMore) {
    struct Case {
        const char* scenario;
        const wchar_t* ticker;
        int periodicity, requested;
        size_t bars;
    };
    const Case cases[] = {
        // An anonymous one-minute series stops at the account's 5000 bars ("limit").
        {R"({"ws":{"seed":12,"now":1710547200,"history":60000}})", L"NASDAQ:AAPL", 60, 30000, 5000},
        // A young instrument has no older bars ("end").
        {R"({"ws":{"seed":12,"now":1710547200,"history":1200}})", L"NASDAQ:TSLA", 86400, 20000, 1200}};
    for (const Case& c : cases) {
        Scenario(c.scenario);
        const ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(Fetch(c.ticker, c.periodicity, c.requested)) << testing_support::Narrow(error);
        EXPECT_EQ(bars.size(), c.bars);
        EXPECT_TRUE(Ascending(bars));
        for (const std::string& m : Messages()) {
            EXPECT_EQ(m.find("request_more_data"), std::string::npos) << "asked again after the service said no more";
        }
        EXPECT_LT(GetTickCount64() - start, static_cast<ULONGLONG>(kTimeoutMs)) << "not by the deadline";
        EXPECT_TRUE(CacheFileExists(c.ticker, c.periodicity));
    }
}

TEST_F(History, ServiceErrorsEndTheFetchAtOnceAndWriteNoCache) {
    Scenario(R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})");
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Fetch(L"NASDAQ:NOPE", 86400, 100));
    EXPECT_EQ(error, L"TradingView symbol error: invalid symbol");
    EXPECT_LT(GetTickCount64() - start, static_cast<ULONGLONG>(kTimeoutMs)) << "not by the deadline";
    EXPECT_FALSE(CacheFileExists(L"NASDAQ:NOPE", 86400));

    const std::string series =
        "{\"m\":\"timescale_update\",\"p\":[\"cs\",{\"sds_1\":{\"s\":[{\"i\":0,\"v\":[1700000000,1,2,0.5,1.5,10]}]}}]}";
    const std::string critical = "{\"m\":\"critical_error\",\"p\":[\"cs\",\"invalid_parameters\",\"create_series\"]}";
    Scenario("{\"ws\":{\"script\":[{\"rename\":true,\"send\":" + JsonQuote(FrameText("{}")) + "},{\"expect\":9},{\"rename\":true,\"send\":" +
             JsonQuote(FrameText(series)) + "},{\"rename\":true,\"send\":" + JsonQuote(FrameText(critical)) + "},{\"stall\":true}]}}");
    EXPECT_FALSE(Fetch(L"NASDAQ:CRIT", 300, 100));
    EXPECT_EQ(error, L"TradingView critical error");
    EXPECT_FALSE(CacheFileExists(L"NASDAQ:CRIT", 300));

    // The same bar, then the service closes: what arrived is accepted.
    Scenario("{\"ws\":{\"script\":[{\"rename\":true,\"send\":" + JsonQuote(FrameText("{}")) + "},{\"expect\":9},{\"rename\":true,\"send\":" +
             JsonQuote(FrameText(series)) + "},{\"close\":1000}]}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:CLOSE", 300, 100)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 1u);
    EXPECT_TRUE(CacheFileExists(L"NASDAQ:CLOSE", 300));
}

TEST_F(History, ClosedAfterBarsSucceedsAndStallFailsInTime) {
    Scenario(R"({"ws":{"history":40,"close_after_answers":true}})");
    // quote_add_symbols is answered first (quote_completed before any series data is
    // ignored); the connection closes after that answer, with no bars: a failure.
    EXPECT_FALSE(Fetch(L"NASDAQ:AAPL", 86400, 100));
    EXPECT_EQ(error, L"No bars received from TradingView");

    // Closed by the service when create_series arrives, before any bars.
    Scenario(R"({"ws":{"fault":{"kind":"close","after_messages":9}}})");
    EXPECT_FALSE(Fetch(L"NASDAQ:AAPL", 3600, 100));
    EXPECT_EQ(error, L"No bars received from TradingView");

    // A silent service: the conversation ends at its deadline, as a deadline ends it.
    Scenario(R"({"ws":{"fault":{"kind":"stall"}}})");
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Fetch(L"NASDAQ:AAPL", 60, 100));
    EXPECT_EQ(error, L"No bars received from TradingView");
    EXPECT_LT(GetTickCount64() - start, kGiveUpBoundMs);
    EXPECT_FALSE(CacheFileExists(L"NASDAQ:AAPL", 60));
}

TEST_F(History, SignInTokenIsUsedButNeverLogged) {
    debug = true;
    Configure([](PluginSettings& s) {
        s.Username = L"trader";
        s.Password = L"p\u00E4ss word";
    });
    Scenario(R"({"signin":{"username":"trader","password":"p\u00e4ss word","token":"SECRET-TOKEN-42"},
                "ws":{"history":50,"heartbeat_first":true}})");
    LogTail log(LogPath());
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 50)) << testing_support::Narrow(error);
    const std::vector<std::string> bodies = service.Events("http", "body");
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(bodies[0], "username=trader&password=p%C3%A4ss%20word&remember=on");
    EXPECT_EQ(AuthMessage(), "{\"m\":\"set_auth_token\",\"p\":[\"SECRET-TOKEN-42\"]}");
    const std::string text = log.Text();
    EXPECT_EQ(text.find("SECRET-TOKEN-42"), std::string::npos) << "the token must not reach the log";
    EXPECT_NE(text.find("WS send: ~m~"), std::string::npos);
    EXPECT_FALSE(service.Events("heartbeat_echo", "text").empty()) << "the heartbeat was echoed";

    // A refused sign-in goes on anonymously.
    Scenario(R"({"ws":{"history":50}})");
    Configure([](PluginSettings& s) {
        s.Username = L"trader";
        s.Password = L"wrong";
        s.Market = L"weekly";  // a different cache key, so the service is asked again
    });
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 50));
    EXPECT_EQ(AuthMessage(), "{\"m\":\"set_auth_token\",\"p\":[\"unauthorized_user_token\"]}");
}

TEST_F(History, WhatTheServiceSaidBeforeASendFailed) {
    // Under Wine a send to a peer that has just closed still completes, so the
    // read that follows a failed send is driven here directly.
    const std::string said = "{\"m\":\"protocol_error\",\"p\":[\"bad auth token\"]}";
    const std::pair<std::string, std::string> cases[] = {
        {"[{\"hello\":true},{\"heartbeat\":99},{\"send_frames\":[" + JsonQuote(said) + "]},{\"close\":1000}]",
         "TradingView protocol error: bad auth token"},
        {"[{\"hello\":true},{\"close\":1000}]", ""},
        {"[{\"hello\":true},{\"drop\":true}]", ""}};
    for (const auto& c : cases) {
        Scenario("{\"ws\":{\"script\":" + c.first + "}}");
        Channel connection;
        std::wstring connectError;
        PluginSettings settings;
        settings.TimeoutMs = kTimeoutMs;
        ASSERT_TRUE(OpenChannel(ChannelRequestFor(settings, Priority::Host), connection, connectError));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(ServiceErrorBeforeFailure(connection, kTimeoutMs), c.second) << c.first;
        EXPECT_LT(GetTickCount64() - start, static_cast<ULONGLONG>(kTimeoutMs)) << "ended by the close, not the time-out";
    }
}

TEST_F(History, TheDeadlineAcceptsTheBarsThatCame) {
    // Bars, then silence: the fetch keeps what came when its deadline passes.
    const std::string series = FrameText(
        "{\"m\":\"timescale_update\",\"p\":[\"cs\",{\"sds_1\":{\"s\":[{\"i\":0,\"v\":[1710460800.0,1,2,0.5,1.5,10]},"
        "{\"i\":1,\"v\":[1710461100.0,1,2,0.5,1.25,10]}]}}]}");
    Scenario("{\"ws\":{\"replay\":[{\"rename\":true,\"on\":\"create_series\",\"text\":" + JsonQuote(series) + ",\"then\":\"stall\"}]}}");
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 300, 100)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 2u);
    EXPECT_GE(GetTickCount64() - start, static_cast<ULONGLONG>(kTimeoutMs) - 100);
    EXPECT_LT(GetTickCount64() - start, kGiveUpBoundMs);
    EXPECT_TRUE(CacheFileExists(L"NASDAQ:AAPL", 300));
}


TEST_F(History, AStaleFileIsToppedUpToTheBytesOfAWholeDownloadUnlessThePastChanged) {
    // The service's clock near the plug-in's, its history anchored so that
    // a day later every older bar is the same; the file then two days old.
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::string anchor = ",\"history_anchor\":" + std::to_string(now + 10 * 86400);
    const std::string later = "{\"ws\":{\"seed\":31,\"history\":2000,\"now\":" + std::to_string(now + 86400) + anchor;
    Scenario("{\"ws\":{\"seed\":31,\"history\":2000,\"now\":" + std::to_string(now) + anchor + "}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 500)) << testing_support::Narrow(error);
    const std::wstring path = CacheFilePath(L"NASDAQ:AAPL", 86400, CopySettings());
    const long long wholeBytes = service.Stat("bytes_sent");

    ASSERT_TRUE(testing_support::SetFileAge(path, 48));
    debug = true;
    Configure([](PluginSettings&) {});
    LogTail log(LogPath());
    Scenario(later + "}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 500)) << testing_support::Narrow(error);
    EXPECT_EQ(bars.size(), 500u);
    EXPECT_NE(log.Text().find("HISTORY topped up ticker=NASDAQ:AAPL asked="), std::string::npos) << log.Text();
    EXPECT_LT(service.Stat("bytes_sent") * 10, wholeBytes) << "only the newest bars came";
    const std::string toppedUp = testing_support::ReadFileBytes(path);

    // The same request downloaded whole writes the same bytes.
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    Scenario(later + "}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 500)) << testing_support::Narrow(error);
    EXPECT_EQ(testing_support::ReadFileBytes(path), toppedUp);

    // A split since the file was written changed the past: the overlap
    // differs, and the whole history is downloaded again.
    ASSERT_TRUE(testing_support::SetFileAge(path, 48));
    Scenario(later + ",\"splits\":{\"NASDAQ:AAPL\":{\"before\":" + std::to_string(now - 5 * 86400) + ",\"ratio\":2}}}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 500)) << testing_support::Narrow(error);
    EXPECT_NE(log.Text().find("HISTORY top-up of NASDAQ:AAPL not used: the service changed past bars"),
              std::string::npos);
    const std::string afterSplit = testing_support::ReadFileBytes(path);
    EXPECT_NE(afterSplit, toppedUp);
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    Scenario(later + ",\"splits\":{\"NASDAQ:AAPL\":{\"before\":" + std::to_string(now - 5 * 86400) + ",\"ratio\":2}}}}");
    ASSERT_TRUE(Fetch(L"NASDAQ:AAPL", 86400, 500)) << testing_support::Narrow(error);
    EXPECT_EQ(testing_support::ReadFileBytes(path), afterSplit) << "what a whole download writes";
}
