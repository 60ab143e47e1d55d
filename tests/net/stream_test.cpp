// The live stream against the local service double, in-process: one
// connection following the active tickers, what its pushes do to the
// records, how it recovers from a broken connection, and how quickly it
// stops.
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/clock.h"
#include "foundation/text.h"
#include "net/double_fixture.h"
#include "faults/dll_fixture.h"
#include "plugin/live_overlay.h"
#include "polling/poll_cycle.h"
#include "polling/stream_store.h"
#include "protocol/account_token.h"
#include "protocol/history_fetch.h"
#include "polling/poll_worker.h"
#include "polling/stream_worker.h"
#include "storage/memory_cache.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using testing_support::HostWindow;
using testing_support::Narrow;
using testing_support::TempFolder;

// A quote every 100 ms and a bar update every 100 ms for every symbol and
// series, heartbeats every 300 ms (a silent connection is then noticed after
// 2 s), and the `extra` keys of "ws".
std::string StreamScenario(const std::string& extra = "", const std::string& symbols = "") {
    return R"({"symbols":{)" + symbols + R"(},"ws":{"seed":20,"now":1710547200,"history":50,)" +
           R"("stream":{"quote_ms":100,"bar_ms":100,"new_bar_every":5},"heartbeat":{"interval_ms":300})" +
           (extra.empty() ? "" : "," + extra) + "}}";
}

class Stream : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = PluginSettings{};
        s.settings.TimeoutMs = kTimeoutMs;
        s.settings.PollSeconds = 3600;
        s.settings.Streaming = true;
        s.settings.DebugLogging = true;
        s.symbolCache.clear();
        s.activeTickers.clear();
        s.recentValid = false;
        s.mainWindow = nullptr;
    }
    void TearDown() override {
        StopStreamWorker();
        StopPollWorker();
        ClearMemoryCaches();
        WithState([&](PluginState& s) { s.settings = PluginSettings{}; });
        DoubleTest::TearDown();
    }
    static void Activate(const std::string& ticker, int periodicity = 86400) {
        WithState([&](PluginState& s) {
            TouchActiveTicker(s, testing_support::Widen(ticker), TickCount32(), periodicity, 100);
        });
    }
    static SymbolCacheEntry Entry(const std::string& key) {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        const auto found = s.symbolCache.find(key);
        return found == s.symbolCache.end() ? SymbolCacheEntry() : found->second;
    }
    // True while the poll worker leaves the tickers to the stream.
    static bool StreamKeepsTickers() {
        return WithState([&](PluginState& s) { return s.settings.Streaming && !s.streamLost; });
    }
    static void Set(const std::function<void(PluginState&)>& change) {
        WithState([&](PluginState& s) { change(s); });
    }
    // True once the ticker's price has changed `times` times from now on.
    static bool PriceMoves(const std::string& key, int times, ULONGLONG limitMs = 8000) {
        float last = Entry(key).served.last;
        int seen = 0;
        return WaitUntil(
            [&] {
                const float now = Entry(key).served.last;
                if (now > 0 && now != last) {
                    ++seen;
                    last = now;
                }
                return seen >= times;
            },
            limitMs);
    }
    // The stream's messages (its quote session is "qs_stream_..."), and on
    // which connections they came.
    std::vector<std::string> StreamMessages(const std::string& name) const {
        std::vector<std::string> found;
        for (const std::string& m : Messages()) {
            if (m.find("{\"m\":\"" + name + "\"") == 0 && m.find("_stream_") != std::string::npos) found.push_back(m);
        }
        return found;
    }
    // The poll worker's conversations so far: each opens a chart session
    // "cs_live_..." or a quote session that is not the stream's.
    size_t PollConversations() const {
        size_t n = 0;
        for (const std::string& m : Messages()) {
            n += m.rfind("{\"m\":\"chart_create_session\",\"p\":[\"cs_live_", 0) == 0 ||
                 (m.rfind("{\"m\":\"quote_create_session\",\"p\":[\"qs_", 0) == 0 && m.find("_stream_") == std::string::npos);
        }
        return n;
    }
    size_t StreamConnections() const {
        std::vector<std::string> connections;
        const std::vector<std::string> texts = service.Events("ws_message", "text");
        const std::vector<std::string> numbers = service.Events("ws_message", "connection");
        for (size_t i = 0; i < texts.size() && i < numbers.size(); ++i) {
            if (texts[i].find("\"quote_create_session\",\"p\":[\"qs_stream_") != std::string::npos &&
                std::find(connections.begin(), connections.end(), numbers[i]) == connections.end()) {
                connections.push_back(numbers[i]);
            }
        }
        return connections.size();
    }
    std::string Log() const { return log.Text(); }
    static void ClearAccount() {
        ForgetAccountToken();
        Set([](PluginState& s) {
            s.settings.Username.clear();
            s.settings.Password.clear();
        });
    }

    LogTail log{LogPath()};
};

}  // namespace

TEST_F(Stream, OneConnectionFollowsTheActiveSet) {
    // 64 symbols of the double's and one it does not know.
    std::string symbols;
    for (int i = 1; i <= 64; ++i) {
        symbols += std::string(i > 1 ? "," : "") + "\"XS:S" + std::to_string(i) + "\":{\"type\":\"stock\",\"price\":" +
                   std::to_string(10 + i) + "}";
    }
    Scenario(StreamScenario("", symbols));
    StartStreamWorker();
    Activate("XS:S1", 60);
    Sleep(20);
    Activate("XS:S2");
    Activate("XS:NOPE");
    ASSERT_TRUE(PriceMoves("XS:S1", 3)) << Log();
    ASSERT_TRUE(PriceMoves("XS:S2", 3));
    ASSERT_TRUE(WaitUntil([] { return Entry("XS:S1").hasBar && Entry("XS:S2").hasBar; }, 5000));
    EXPECT_TRUE(StreamKeepsTickers());
    EXPECT_EQ(Entry("XS:S1").barPeriodicity, 60);
    EXPECT_EQ(Entry("XS:S2").barPeriodicity, 86400);
    // The unknown symbol is reported and disturbs nobody.
    EXPECT_NE(Log().find("STATUS: Live quote error: XS:NOPE - TradingView quote error: no_such_symbol"),
              std::string::npos);
    EXPECT_FALSE(Entry("XS:NOPE").hasQuote);

    // The 65th ticker evicts the oldest: it leaves the quote session and its
    // series goes; the newcomers join.
    for (int i = 3; i <= 64; ++i) Activate("XS:S" + std::to_string(i));
    ASSERT_TRUE(WaitUntil([this] { return service.Events("unsubscribe", "text").size() >= 1; }, 5000));
    EXPECT_EQ(service.Events("unsubscribe", "text")[0], "={\"symbol\":\"XS:S1\",\"adjustment\":\"splits\"}");
    ASSERT_TRUE(PriceMoves("XS:S64", 2));
    EXPECT_TRUE(service.Events("remove_unmatched", "message").empty());

    // A ticker not asked for in 30 minutes goes the same way.
    Set([](PluginState& s) { s.activeTickers["XS:S2"].lastSeenTick = TickCount32() - 31 * 60 * 1000; });
    ASSERT_TRUE(WaitUntil([this] { return service.Events("unsubscribe", "text").size() >= 2; }, 5000));
    EXPECT_EQ(service.Events("unsubscribe", "text")[1], "={\"symbol\":\"XS:S2\",\"adjustment\":\"splits\"}");
    EXPECT_EQ(service.Events("series_removed", "symbol").size(), 2u);
    EXPECT_EQ(StreamConnections(), 1u) << "everything on one connection";

    // The database unload ends the stream's sessions, every series' own
    // chart session among them (the shared connection stays for whatever
    // comes next), and nothing opens another connection.
    ClearMemoryCaches();
    ASSERT_TRUE(WaitUntil([this] { return StreamMessages("quote_delete_session").size() == 1; }, 5000));
    ASSERT_TRUE(WaitUntil([this] {
        return StreamMessages("chart_delete_session").size() == StreamMessages("chart_create_session").size();
    }, 5000));
    Sleep(1500);
    EXPECT_EQ(service.Events("ws_open", "connection").size(), 1u);
    EXPECT_NE(Log().find("STREAM closed: no active ticker"), std::string::npos);
}

TEST_F(Stream, BarUpdatesFeedTheOverlayAndARefusedSeriesLeavesQuotes) {
    // The service refuses the first series it is asked for, with its error
    // naming the method and its arguments: that ticker keeps its quotes,
    // the others their series, and the connection goes on.
    Scenario(StreamScenario(R"("fault":{"kind":"critical_error","on":"create_series","text":"invalid_parameters"})"));
    StartStreamWorker();
    // A ticker without its exchange is found through the symbol search.
    Activate("MSFT", 60);
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM series refused ticker=MSFT") != std::string::npos; }, 8000))
        << Log();
    Activate("NASDAQ:AAPL", 60);
    ASSERT_TRUE(WaitUntil([] { return Entry("NASDAQ:AAPL").hasBar; }, 8000)) << Log();
    ASSERT_TRUE(PriceMoves("MSFT", 3)) << "a ticker without a series keeps its quotes";
    EXPECT_EQ(Entry("MSFT").symbolId, "NASDAQ:MSFT");
    EXPECT_FALSE(Entry("MSFT").hasBar);
    EXPECT_EQ(Log().find("STREAM lost"), std::string::npos) << "an error of one series does not end the connection";
    EXPECT_EQ(StreamConnections(), 1u);
    EXPECT_EQ(service.Events("ws_open", "connection").size(), 1u);

    // The newest bar moves (new bars start every fifth update), and the
    // overlay puts it over the chart's last bar of the same time.
    const Bar first = Entry("NASDAQ:AAPL").latestBar;
    ASSERT_TRUE(WaitUntil([&] { return Entry("NASDAQ:AAPL").latestBar.dateTime > first.dateTime; }, 8000));
    const Bar newest = Entry("NASDAQ:AAPL").latestBar;
    Bar chartLast = newest;
    chartLast.close = newest.close + 1;
    std::vector<Bar> chart = {chartLast};
    ASSERT_TRUE(ApplyLiveOverlay(L"NASDAQ:AAPL", 60, chart));
    ASSERT_EQ(chart.size(), 1u);
    EXPECT_EQ(chart[0].close, newest.close);
    EXPECT_EQ(chart[0].high, newest.high);
}

// A connection broken in each way the service can break it: the stream gives
// it up, the poll worker takes the tickers meanwhile, and a new connection
// subscribes everything again.
TEST_F(Stream, ABrokenConnectionIsReplacedAndPollingBridgesTheGap) {
    struct Case {
        const char* fault;
        const char* lost;  // what the log says it was lost to
    };
    const Case cases[] = {
        {R"({"kind":"drop","after_ms":1200,"connection":1})", "STREAM lost: TradingView websocket receive failed"},
        {R"({"kind":"stall","after_ms":1200,"connection":1})", "STREAM lost: silent for"},
        {R"({"kind":"protocol_error","after_ms":1200,"connection":1})", "STREAM lost: TradingView protocol error: wrong data"},
        {R"({"kind":"close","after_ms":1200,"connection":1})", "STREAM lost: the service closed the connection"},
    };
    Set([](PluginState& s) { s.settings.PollSeconds = 1; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const LogTail caseLog(LogPath());
        Scenario(StreamScenario(std::string(R"("faults":[)") + c.fault + "]"));
        StartStreamWorker();
        Activate("NASDAQ:AAPL");
        // The stream's connection is the scenario's first; the poll worker
        // starts once it is up.
        ASSERT_TRUE(WaitUntil([&] { return caseLog.Text().find("STREAM connected") != std::string::npos; }, 5000));
        StartPollWorker();
        ASSERT_TRUE(WaitUntil([&] { return caseLog.Text().find(c.lost) != std::string::npos; }, 10000))
            << caseLog.Text();
        ASSERT_TRUE(WaitUntil([this] { return StreamMessages("quote_add_symbols").size() >= 2; }, 10000))
            << "a new connection subscribes again";
        ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 3));
        EXPECT_TRUE(StreamKeepsTickers());
        // Back on the stream, the poll worker leaves the ticker alone.
        const size_t pollsAfter = PollConversations();
        Sleep(2500);
        EXPECT_LE(PollConversations(), pollsAfter + 1) << "no polls once the stream is back";
        const std::string text = caseLog.Text();
        EXPECT_NE(text.find("POLL worker tick done ticker=NASDAQ:AAPL", text.find(c.lost)), std::string::npos)
            << "the poll worker kept the ticker while the stream was down";
        EXPECT_NE(text.find("; next try in "), std::string::npos);
        StopStreamWorker();
        StopPollWorker();
        ClearMemoryCaches();
    }
}

TEST_F(Stream, GarbageAndOversizedFramesMidStreamHarmNothing) {
    Scenario(StreamScenario(
        R"("faults":[{"kind":"send","after_ms":600,"connection":1,"payloads":["{\"m\":\"qsd\",\"p\":[1]}",)"
        R"("{\"m\":\"du\",\"p\":[\"x\",{\"sds_1\":7}]}","~h~"]},)"
        R"({"kind":"garbage","after_ms":900,"connection":1,"bytes":"AAEC/////35+"},)"
        R"({"kind":"huge_length","after_ms":1200,"connection":1}])"));
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(WaitUntil([this] { return service.Events("fault", "fault").size() >= 3; }, 8000));
    ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 3)) << Log();
    EXPECT_GT(Entry("NASDAQ:AAPL").served.last, 0.0f);
    // The frame of a length no frame has would hold up everything after it:
    // that connection is given up for a new one.
    EXPECT_NE(Log().find(": a frame that never ends; giving it up"), std::string::npos);
    EXPECT_NE(Log().find("STREAM lost: TradingView websocket receive failed"), std::string::npos);
}

TEST_F(Stream, StopReturnsInTimeWhateverTheConnectionIsDoing) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* waitFor;  // in the log before the stop
    };
    const Case cases[] = {
        {"connecting", R"({"ws":{"faults":[{"kind":"stall_upgrade"}]}})", "WS connect"},
        {"stalled", R"({"ws":{"stream":{"quote_ms":100},"faults":[{"kind":"stall","after_ms":300}]}})", "STREAM connected"},
        {"backing off", R"({"ws":{"faults":[{"kind":"refuse"}]}})", "; next try in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LogTail caseLog(LogPath());
        Scenario(c.scenario);
        Set([](PluginState& s) { s.settings.TimeoutMs = 8000; });
        StartStreamWorker();
        Activate("NASDAQ:AAPL");
        ASSERT_TRUE(WaitUntil([&] { return caseLog.Text().find(c.waitFor) != std::string::npos; }, 8000));
        Sleep(400);
        Stopwatch watch;
        StopStreamWorker();
        // A slice, the close handshake's own bound (1 s) and some slack.
        EXPECT_LT(watch.Ms(), 2600u);
        ClearMemoryCaches();
    }
}

TEST_F(Stream, TheSettingDecides) {
    Scenario(StreamScenario());
    Set([](PluginState& s) {
        s.settings.Streaming = false;
        s.settings.PollSeconds = 1;
    });
    StartPollWorker();
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(WaitUntil([this] { return PollConversations() >= 2; }, 8000));
    EXPECT_TRUE(Entry("NASDAQ:AAPL").hasQuote);
    EXPECT_FALSE(StreamKeepsTickers());
    EXPECT_EQ(StreamConnections(), 0u) << "off: the polling alone, no stream";

    Set([](PluginState& s) { s.settings.Streaming = true; });
    EXPECT_TRUE(StreamKeepsTickers()) << "the polls stop at once";
    ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 5));
    const size_t pollsWhileStreaming = PollConversations();
    Sleep(2500);
    EXPECT_LE(PollConversations(), pollsWhileStreaming + 1) << "no polls while the stream is up";
    EXPECT_EQ(StreamConnections(), 1u);

    Set([](PluginState& s) { s.settings.Streaming = false; });
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM closed: streaming turned off") != std::string::npos; }, 5000));
    ASSERT_TRUE(WaitUntil([this, pollsWhileStreaming] { return PollConversations() >= pollsWhileStreaming + 3; }, 8000))
        << "polling again";
}

namespace {

// The captured messages' frames, their series "s1031" named as the stream
// names its first series.
std::string CapturedMessages(size_t first, size_t last) {
    std::string text;
    for (size_t i = first; i <= last; ++i) {
        std::string message = testing_support::RealStreamMessages().at(i);
        std::string payload;
        while (NextFramePayload(message, payload)) {
            for (size_t at = payload.find("\"s1031\""); at != std::string::npos; at = payload.find("\"s1031\"", at)) {
                payload.replace(at, 7, "\"sds_1\"");
            }
            text += FrameText(payload);
        }
    }
    return text;
}

}  // namespace

TEST_F(Stream, TheRealStreamReachesTheHostAndANewBarKeepsTheOldOnesLastValues) {
    // The service's own long-lived session, replayed: the first quote and
    // its completion as the quotes' answer, then the series' messages (a
    // forming bar moved in place, partial quotes, the old bar's last du and
    // the timescale_update that opens the next bar).
    Scenario("{\"ws\":{\"replay\":[" + Replay("quote_add_symbols", CapturedMessages(1, 2)) + "," +
             Replay("create_series", CapturedMessages(3, 9)) + "]}}");
    HostWindow window;
    Set([&](PluginState& s) { s.mainWindow = window.Get(); });
    StartStreamWorker();
    Activate("BINANCE:BTCUSDT", 60);
    ASSERT_TRUE(WaitUntil([] { return Entry("BINANCE:BTCUSDT").hasBar; }, 8000)) << Log();
    int posted = 0;
    ASSERT_TRUE(WaitUntil([&] { return (posted += window.TakeStreaming()) > 0; }, 5000)) << "the change reached the host";
    const SymbolCacheEntry e = Entry("BINANCE:BTCUSDT");
    EXPECT_FLOAT_EQ(e.served.last, 108756.4f) << "the last quote pushed";
    EXPECT_FLOAT_EQ(e.latestBar.close, 108756.41f);
    EXPECT_FLOAT_EQ(e.latestBar.volume, 0.04904f);
    ASSERT_TRUE(e.hasPreviousBar);
    EXPECT_FLOAT_EQ(e.previousBar.close, 108756.4f);
    EXPECT_FLOAT_EQ(e.previousBar.volume, 0.30534f);

    // A chart whose newest downloaded bar is the old one: that bar shows
    // the stream's last values for it, and the new bar follows.
    Bar downloaded = e.previousBar;
    downloaded.close = 100000.0f;
    downloaded.volume = 0.01f;
    std::vector<Bar> chart = {downloaded};
    ASSERT_TRUE(ApplyLiveOverlay(L"BINANCE:BTCUSDT", 60, chart));
    ASSERT_EQ(chart.size(), 2u);
    EXPECT_FLOAT_EQ(chart[0].close, 108756.4f);
    EXPECT_FLOAT_EQ(chart[0].volume, 0.30534f);
    EXPECT_FLOAT_EQ(chart[1].close, 108756.41f);
    // A chart that already has the new bar keeps the old one's streamed values too.
    chart = {downloaded, e.latestBar};
    chart[1].close = 1.0f;
    ASSERT_TRUE(ApplyLiveOverlay(L"BINANCE:BTCUSDT", 60, chart));
    ASSERT_EQ(chart.size(), 2u);
    EXPECT_FLOAT_EQ(chart[0].close, 108756.4f);
    EXPECT_FLOAT_EQ(chart[1].close, 108756.41f);
}

TEST_F(Stream, AChangeHeldBackByTheThrottleReachesTheHostWhenItsWindowEnds) {
    Scenario(R"({"ws":{"seed":20,"now":1710547200,"history":50,"heartbeat":{"interval_ms":300}}})");
    HostWindow window;
    Set([&](PluginState& s) { s.mainWindow = window.Get(); });
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(WaitUntil([] { return Entry("NASDAQ:AAPL").served.last > 0; }, 8000)) << Log();
    ASSERT_TRUE(service.SetPrice("NASDAQ:AAPL", 201.5));
    int posted = 0;
    ASSERT_TRUE(WaitUntil([&] { return (posted += window.TakeStreaming()) > 0; }, 3000));
    // One more change a second later, and then nothing: it still arrives,
    // when the three seconds since the last message are over.
    Sleep(1000);
    ASSERT_TRUE(service.SetPrice("NASDAQ:AAPL", 202.5));
    ASSERT_TRUE(WaitUntil([] { return Entry("NASDAQ:AAPL").served.last == 202.5f; }, 2000));
    Stopwatch watch;
    posted = 0;
    ASSERT_TRUE(WaitUntil([&] { return (posted += window.TakeStreaming()) > 0; }, 4000)) << "the held-back change was posted";
    EXPECT_GE(watch.Ms(), 1000u) << "not before the window ended";
}

TEST_F(Stream, TheStreamedPriceStaysWhateverElseTheTickerLoads) {
    Scenario(StreamScenario());
    TempFolder database;
    Set([&](PluginState& s) { s.databaseFolder = database.Path(); });
    StartStreamWorker();
    Activate("NASDAQ:AAPL", 60);
    ASSERT_TRUE(WaitUntil([] { return Entry("NASDAQ:AAPL").quoteStreamed; }, 8000)) << Log();
    // A daily history of the streamed 1-minute ticker, in its cache file.
    std::vector<Bar> bars;
    std::wstring error;
    ASSERT_TRUE(FetchBars(L"NASDAQ:AAPL", 86400, 20, bars, error)) << Narrow(error);
    ASSERT_NE(bars.back().close, 155.77f);
    ASSERT_TRUE(service.SetPrice("NASDAQ:AAPL", 155.77));
    ASSERT_TRUE(WaitUntil([] { return Entry("NASDAQ:AAPL").served.last == 155.77f; }, 3000));
    // The daily chart opened from the file: the quote window keeps the
    // streamed price, not the file's last daily close.
    ASSERT_TRUE(FetchBars(L"NASDAQ:AAPL", 86400, 20, bars, error)) << Narrow(error);
    EXPECT_FLOAT_EQ(Entry("NASDAQ:AAPL").served.last, 155.77f);
    EXPECT_FLOAT_EQ(State().recent.last, 155.77f);
}

namespace {
std::atomic<int> g_probeCalls{0};
// Stands for the stream: it pushes a newer price while the poll is on its way.
void PushWhilePolling(const std::wstring& ticker) {
    ++g_probeCalls;
    QuoteUpdate update;
    update.hasLast = true;
    update.last = 999.25;
    PluginSettings settings;
    StoreStreamedQuote(WideToUtf8(ticker), ticker, update, settings, 0, false);
}
}  // namespace

TEST_F(Stream, APollUnderWayWhenTheStreamPushedStoresNothingOlder) {
    Scenario(R"({"ws":{"seed":21,"now":1710547200,"history":50}})");
    Activate("NASDAQ:AAPL");
    SetPollProbe(&PushWhilePolling);
    std::wstring error;
    const bool polled = PollTicker(L"NASDAQ:AAPL", 86400, true, error);
    SetPollProbe(nullptr);
    ASSERT_TRUE(polled) << Narrow(error);
    EXPECT_EQ(g_probeCalls.load(), 1);
    EXPECT_FLOAT_EQ(Entry("NASDAQ:AAPL").served.last, 999.25f) << "the push stays";
    EXPECT_NE(Log().find("POLL result dropped ticker=NASDAQ:AAPL"), std::string::npos);
    EXPECT_FALSE(Entry("NASDAQ:AAPL").running) << "the claim was given back";
}

TEST_F(Stream, HeartbeatsReadTogetherAfterASlowMomentDoNotCutTheConnection) {
    // A heartbeat, three seconds of nothing, then two heartbeats in one
    // message (read together): the period is what the service keeps, not
    // the gap between the two.
    Scenario(R"({"ws":{"script":[{"hello":true},{"heartbeat":1},{"sleep_ms":3000},)"
             R"({"send_frames":["~h~2","~h~3"]},{"sleep_ms":6000},{"heartbeat":4},{"sleep_ms":20000}]}})");
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM connected") != std::string::npos; }, 5000));
    Sleep(8500);
    EXPECT_EQ(Log().find("STREAM lost"), std::string::npos) << Log();
}

TEST_F(Stream, AConnectionThatBringsOnlyHeartbeatsIsLostPolledAndReplaced) {
    // The first connection answers nothing after the token (an expired one,
    // a frozen session), yet its heartbeats go on.
    Set([](PluginState& s) { s.settings.PollSeconds = 1; });
    Scenario(StreamScenario(R"("faults":[{"kind":"freeze","on":"set_auth_token","connection":1}])"));
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM connected") != std::string::npos; }, 5000));
    StartPollWorker();
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM lost: no quote for NASDAQ:AAPL within 20 s") != std::string::npos; },
                          26000))
        << Log();
    EXPECT_NE(Log().find("STATUS: Live stream error: no quote for NASDAQ:AAPL within 20 s"), std::string::npos);
    ASSERT_TRUE(WaitUntil([this] { return PollConversations() >= 1; }, 5000)) << "polled meanwhile";
    ASSERT_TRUE(WaitUntil([this] { return StreamMessages("quote_add_symbols").size() >= 2; }, 10000))
        << "a fresh connection subscribes again";
    ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 3));
    EXPECT_TRUE(StreamKeepsTickers());
}

TEST_F(Stream, ARefusedTokenIsRenewedOnceThenTheStreamWaitsTenMinutes) {
    Set([](PluginState& s) {
        s.settings.Username = L"trader";
        s.settings.Password = L"pw";
        s.settings.PollSeconds = 1;
    });
    const std::string stream = R"("ws":{"seed":20,"now":1710547200,"history":50,"stream":{"quote_ms":100},"heartbeat":{"interval_ms":300}})";
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-a"},)" + stream + "}");
    StartStreamWorker();
    Activate("NASDAQ:AAPL");
    ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 3)) << Log();

    // The service stops taking the token: the stream signs in again once
    // and goes on.
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-b"},)" + stream + "}");
    ASSERT_TRUE(WaitUntil([this] { return Log().find("STREAM lost: TradingView protocol error: bad auth token") != std::string::npos; },
                          10000))
        << Log();
    ASSERT_TRUE(PriceMoves("NASDAQ:AAPL", 3, 15000)) << Log();
    EXPECT_TRUE(StreamKeepsTickers());
    bool renewed = false;
    for (const std::string& m : Messages()) renewed |= m == R"({"m":"set_auth_token","p":["tok-b"]})";
    EXPECT_TRUE(renewed);

    // Refused again: no new connection for ten minutes; the poll worker
    // keeps the ticker, and the status says why.
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-c"},)" + stream + "}");
    ASSERT_TRUE(WaitUntil([this] { return Log().find("no new connection for 10 minutes") != std::string::npos; }, 15000))
        << Log();
    EXPECT_NE(Log().find("STATUS: Live stream error: TradingView protocol error: bad auth token - polling for 10 minutes"),
              std::string::npos);
    const size_t streams = StreamMessages("quote_create_session").size();
    EXPECT_FALSE(StreamKeepsTickers());
    StartPollWorker();
    ASSERT_TRUE(WaitUntil([this] { return PollConversations() >= 2; }, 8000)) << "polled meanwhile";
    Sleep(3000);
    EXPECT_EQ(StreamMessages("quote_create_session").size(), streams) << "the stream stays away";
    StopPollWorker();

    // A ban stops it at the first refusal.
    StopStreamWorker();
    ClearAccount();
    const LogTail banned(LogPath());
    Scenario(R"({"ws":{"seed":20,"protocol_error_on_token":"banned"}})");
    StartStreamWorker();
    ASSERT_TRUE(WaitUntil([&] { return banned.Text().find("no new connection for 10 minutes") != std::string::npos; },
                          10000))
        << banned.Text();
    EXPECT_NE(banned.Text().find("STATUS: Live stream error: TradingView protocol error: banned - polling for 10 minutes"),
              std::string::npos);
}
