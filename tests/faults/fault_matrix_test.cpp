// Every fault the service double can inject, against every conversation the
// plug-in holds with the service, through the DLL's exports as the host
// drives them. Each cell checks that the plug-in survives, answers within
// its bound, says what happened, caches nothing it did not download, and
// works again as soon as the service is healthy. Each cell's outcome is a
// row of the reliability report.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "faults/dll_fixture.h"

namespace {

using testing_support::AddReliabilityRow;

// Where the double sits for each service origin.
enum class Untrusted { kNone, kSearch, kWeb, kData };

// One plug-in copy per cell, loaded and started as the host does, with a
// database whose INI points every origin at the double.
class FaultMatrix : public DllTest {
protected:
    void Start(Untrusted untrusted, const std::string& extraSettings, int pollSeconds) {
        const std::string bad = Narrow(service.UntrustedOrigin());
        auto origin = [&](Untrusted which) { return untrusted == which ? bad : std::string(); };
        WriteFileBytes(IniPath(), SettingsText("TimeoutMs=" + std::to_string(kTimeoutMs) + "\r\nPollSeconds=" +
                                                   std::to_string(pollSeconds) + "\r\nDebugLogging=1\r\n" +
                                                   extraSettings,
                                               origin(Untrusted::kSearch), origin(Untrusted::kWeb),
                                               origin(Untrusted::kData)));
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
    }
    // Points every origin at the trusted double again, has the plug-in
    // reread its settings and heals the double (which drops the connections
    // of the fault), then waits until every connect begun under the fault
    // (the worker's poll may have begun one) has ended: a request waiting
    // for such a connect would share its failure.
    void Heal() {
        std::string ini = ReadFileBytes(IniPath());
        const std::string bad = Narrow(service.UntrustedOrigin());
        const std::string good = Narrow(service.Origin());
        for (size_t at = ini.find(bad); at != std::string::npos; at = ini.find(bad)) ini.replace(at, bad.size(), good);
        WriteFileBytes(IniPath(), ini);
        ASSERT_EQ(Notify(4), 1);
        Scenario(R"({"ws":{"seed":7,"now":1710547200,"history":40}})");
        auto count = [this](const std::string& line) {
            const std::string log = plugin.Log();
            size_t n = 0;
            for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
            return n;
        };
        Stopwatch watch;
        while (count("WS connect starting") > count("WS connect OK") + count("WS connect given up") &&
               watch.Ms() < 3 * kTimeoutMs) {
            Sleep(50);
        }
    }
    void TearDown() override {
        Stopwatch watch;
        EXPECT_EQ(dll.Release(), 1);
        EXPECT_LT(watch.Ms(), kGiveUpBoundMs) << "Release waits for one poll at most";
        DoubleTest::TearDown();
    }
    std::string AuthMessage() const {
        for (const std::string& m : Messages()) {
            if (m.find("set_auth_token") != std::string::npos) return m;
        }
        return {};
    }
    // Polls the status line every 50 ms until it satisfies `done`, at most `limitMs`.
    template <typename Done>
    bool WaitForStatus(Done done, ULONGLONG limitMs) {
        Stopwatch watch;
        while (watch.Ms() < limitMs) {
            if (done(Status().Text())) return true;
            Sleep(50);
        }
        return done(Status().Text());
    }
};

// ---------------------------------------------------------------------------
// Downloads the host waits for: symbol search, sign-in and history fetch.

struct FetchCell {
    const char* conversation;
    const char* fault;
    Untrusted untrusted;
    const char* scenario;
    // Empty: the download succeeds in spite of the fault; otherwise the
    // status line's reason must contain this.
    const char* failureHas;
};

const char* const kSignIn = "Username=trader\r\nPassword=secret\r\n";

class Download : public FaultMatrix, public ::testing::WithParamInterface<FetchCell> {};

TEST_P(Download, FailsWithinItsBoundSaysWhyAndRecovers) {
    const FetchCell& cell = GetParam();
    const bool signIn = std::strcmp(cell.conversation, "sign-in") == 0;
    Start(cell.untrusted, signIn ? kSignIn : "", 3600);
    Scenario(cell.scenario);
    // The search conversations need a search; the others skip it.
    const char* ticker = std::strcmp(cell.conversation, "symbol search") == 0 ? "AAPL" : "NASDAQ:AAPL";

    Stopwatch watch;
    const int got = dll.GetQuotesEx(ticker, 86400, 0, 100, quotes.data(), nullptr);
    const ULONGLONG elapsed = watch.Ms();
    // Under the automatic market each of the eight candidate markets may
    // take its own search time-out (a reply that is no answer moves on to
    // the next market); everything else fits in the usual bound.
    const ULONGLONG bound = std::strcmp(ticker, "AAPL") == 0 ? 8 * kTimeoutMs + 4000 : kGiveUpBoundMs;
    EXPECT_LT(elapsed, bound) << "the host's thread is held no longer than the time-outs";

    std::string outcome;
    if (*cell.failureHas == '\0') {
        EXPECT_GT(got, 0) << "the fault does not stop the download";
        EXPECT_TRUE(HasStatusLine(std::string("TradingView OK: ") + ticker));
        EXPECT_NE(CacheListing(), "") << "a good download is cached";
        outcome = "delivered " + std::to_string(got) + " bars; \"TradingView OK: " + ticker + "\"";
        if (signIn) {
            EXPECT_NE(AuthMessage().find("\"unauthorized_user_token\""), std::string::npos)
                << "a failed sign-in goes on anonymously: " << AuthMessage();
            outcome += ", anonymous token";
        }
    } else {
        EXPECT_EQ(got, 0);
        std::string failure;
        for (const std::string& line : StatusLines()) {
            if (line.rfind("TradingView fetch failed: ", 0) == 0) failure = line;
        }
        EXPECT_NE(failure.find(cell.failureHas), std::string::npos)
            << "status lines: " << ::testing::PrintToString(StatusLines());
        EXPECT_EQ(CacheListing(), "") << "nothing is cached for a failed download";
        outcome = "nothing delivered; \"" + failure + "\"";
    }

    // The service is healthy again: the next request downloads.
    Heal();
    const int again = dll.GetQuotesEx(ticker, 86400, 0, 100, quotes.data(), nullptr);
    EXPECT_GT(again, 0) << "a good request right after the fault works: " << ::testing::PrintToString(StatusLines());
    const bool recovered = again > 0 && HasStatusLine(std::string("TradingView OK: ") + ticker);
    EXPECT_TRUE(recovered);
    AddReliabilityRow({"fault", cell.conversation, cell.fault, outcome, std::to_string(elapsed),
                       *cell.failureHas ? "nothing written" : "written", recovered ? "yes" : "NO"});
}

// Symbol-search answers are HTTP; every route below answers that way.
#define SEARCH_ROUTE(route) R"({"http":[{"path":"/symbol_search",)" route R"(}]})"
#define SIGNIN_ROUTE(route) \
    R"({"signin":{"username":"trader","password":"secret","token":"tok"},"http":[{"path":"/accounts/signin/",)" route R"(}],"ws":{"history":40}})"

const FetchCell kSearchCells[] = {
    {"symbol search", "stall (no answer)", Untrusted::kNone, SEARCH_ROUTE(R"("stall":true)"), "GetLastError=12002"},
    {"symbol search", "connection dropped", Untrusted::kNone, SEARCH_ROUTE(R"("drop":true)"), "failed"},
    {"symbol search", "HTTP 404", Untrusted::kNone, SEARCH_ROUTE(R"("status":404,"body":"not here")"), "failed"},
    {"symbol search", "HTTP 429", Untrusted::kNone, SEARCH_ROUTE(R"("status":429,"body":"slow down")"), "failed"},
    {"symbol search", "HTTP 500", Untrusted::kNone, SEARCH_ROUTE(R"("status":500,"body":"oops")"), "failed"},
    {"symbol search", "garbage instead of HTTP", Untrusted::kNone, SEARCH_ROUTE(R"("raw":"AAECA/7/Z2FyYmFnZQ==")"),
     "failed"},
    {"symbol search", "reply of 6 MB", Untrusted::kNone, SEARCH_ROUTE(R"("body_size":6000000)"), "failed"},
    {"symbol search", "untrusted certificate", Untrusted::kSearch, "{}", "failed"},
    {"symbol search", "unknown symbol", Untrusted::kNone, R"({"search":{"AAPL":[]}})", "failed"},
};
INSTANTIATE_TEST_SUITE_P(SymbolSearch, Download, ::testing::ValuesIn(kSearchCells));

const FetchCell kSignInCells[] = {
    {"sign-in", "stall (no answer)", Untrusted::kNone, SIGNIN_ROUTE(R"("stall":true)"), ""},
    {"sign-in", "connection dropped", Untrusted::kNone, SIGNIN_ROUTE(R"("drop":true)"), ""},
    {"sign-in", "HTTP 404", Untrusted::kNone, SIGNIN_ROUTE(R"("status":404,"body":"not here")"), ""},
    {"sign-in", "HTTP 429", Untrusted::kNone, SIGNIN_ROUTE(R"("status":429,"body":"slow down")"), ""},
    {"sign-in", "HTTP 500", Untrusted::kNone, SIGNIN_ROUTE(R"("status":500,"body":"oops")"), ""},
    {"sign-in", "garbage instead of HTTP", Untrusted::kNone, SIGNIN_ROUTE(R"("raw":"AAECA/7/Z2FyYmFnZQ==")"), ""},
    {"sign-in", "reply of 6 MB", Untrusted::kNone, SIGNIN_ROUTE(R"("body_size":6000000)"), ""},
    {"sign-in", "untrusted certificate", Untrusted::kWeb, R"({"ws":{"history":40}})", ""},
    {"sign-in", "credentials refused", Untrusted::kNone,
     R"({"signin":{"username":"someone","password":"else"},"ws":{"history":40}})", ""},
};
INSTANTIATE_TEST_SUITE_P(SignIn, Download, ::testing::ValuesIn(kSignInCells));

#define WS_FAULT(fault) R"({"ws":{"history":40,"fault":)" fault R"(}})"

// The service's critical error for a create_series, in its own shape, to
// every chart session that asks (the worker's poll of the same ticker shares
// the download's connection: each conversation gets its own answer).
const char* CriticalErrorForEverySeries() {
    static const std::string scenario =
        "{\"ws\":{\"history\":40,\"replay\":[" +
        Replay("create_series", FrameText("{\"m\":\"critical_error\",\"p\":[\"cs_x\",\"wrong data\","
                                          "\"method: create_series. args: \\\"[]\\\"\"]}")) +
        "]}}";
    return scenario.c_str();
}

const FetchCell kHistoryCells[] = {
    // A silent service ends the conversation at its deadline, as the deadline ends it.
    {"history fetch", "stall after the hello", Untrusted::kNone, WS_FAULT(R"({"kind":"stall"})"),
     "No bars received from TradingView"},
    {"history fetch", "stall before the series", Untrusted::kNone, WS_FAULT(R"({"kind":"stall","on":"create_series"})"),
     "No bars received from TradingView"},
    {"history fetch", "connection dropped", Untrusted::kNone, WS_FAULT(R"({"kind":"drop","on":"create_series"})"),
     "TradingView websocket receive failed"},
    {"history fetch", "closed in mid-conversation", Untrusted::kNone,
     WS_FAULT(R"({"kind":"close","on":"create_series"})"), "No bars received from TradingView"},
    {"history fetch", "garbage frames", Untrusted::kNone,
     WS_FAULT(R"({"kind":"garbage","on":"create_series","bytes":"fm1+eHl6fm1+Z2FyYmFnZQ=="})"), ""},
    {"history fetch", "frame length of 40 digits", Untrusted::kNone,
     WS_FAULT(R"({"kind":"huge_length","on":"create_series"})"), "No bars received from TradingView"},
    {"history fetch", "message of 6 MB", Untrusted::kNone,
     WS_FAULT(R"({"kind":"huge_message","on":"create_series","size":6000000})"), ""},
    {"history fetch", "upgrade refused (403)", Untrusted::kNone, R"({"ws":{"refuse_upgrade":403}})",
     "WinHttpWebSocketCompleteUpgrade failed"},
    {"history fetch", "upgrade answered HTTP 404", Untrusted::kNone, R"({"ws":{"refuse_upgrade":404}})",
     "WinHttpWebSocketCompleteUpgrade failed"},
    // Refused for longer than the request can wait: the session waits for
    // its turn again, and the request says why it did not get one.
    {"history fetch", "upgrade answered HTTP 429", Untrusted::kNone, R"({"ws":{"refuse_upgrade":429}})",
     "(HTTP 429: too many connections)"},
    {"history fetch", "upgrade answered HTTP 500", Untrusted::kNone, R"({"ws":{"refuse_upgrade":500}})",
     "WinHttpWebSocketCompleteUpgrade failed"},
    {"history fetch", "upgrade connection dropped", Untrusted::kNone, R"({"ws":{"drop_upgrade":true}})", "failed"},
    {"history fetch", "upgrade never answered", Untrusted::kNone, R"({"ws":{"stall_upgrade":true}})", "failed"},
    {"history fetch", "untrusted certificate", Untrusted::kData, R"({"ws":{"history":40}})", "failed"},
    {"history fetch", "unknown symbol", Untrusted::kNone, R"({"ws":{"unknown_symbols":["NASDAQ:AAPL"]}})",
     "TradingView symbol error"},
    {"history fetch", "critical error", Untrusted::kNone, CriticalErrorForEverySeries(), "TradingView critical error"},
};
INSTANTIATE_TEST_SUITE_P(HistoryFetch, Download, ::testing::ValuesIn(kHistoryCells));

// ---------------------------------------------------------------------------
// The worker's polls: the latest bar, and the live quote it falls back to.

struct PollCell {
    const char* conversation;
    const char* fault;
    Untrusted untrusted;
    const char* scenario;
    // The status line the worker settles on under the fault.
    bool quoteStillServes;  // "Live quote OK" (the latest bar failed, the quote did not)
    bool barStillServes;    // "Live OHLC OK" (the fault did not stop the latest bar)
};

class Poll : public FaultMatrix, public ::testing::WithParamInterface<PollCell> {};

TEST_P(Poll, KeepsTheHostsDataAndSaysWhyAndRecovers) {
    const PollCell& cell = GetParam();
    const std::string ticker = "NASDAQ:AAPL";
    Start(Untrusted::kNone, "", 1);
    Scenario(R"({"ws":{"seed":7,"now":1710547200,"history":40}})");
    ASSERT_GT(dll.GetQuotesEx(ticker.c_str(), 300, 0, 40, quotes.data(), nullptr), 0);
    ASSERT_TRUE(WaitForStatus([&](const std::string& s) { return s == "Live OHLC OK: " + ticker; }, 10000))
        << Status().LongMessage();
    const std::string cacheBefore = CacheListing();

    // The fault from now on: the worker keeps polling every second.
    if (cell.untrusted == Untrusted::kData) {
        std::string ini = ReadFileBytes(IniPath());
        const std::string good = "DataOrigin=" + Narrow(service.Origin());
        ini.replace(ini.find(good), good.size(), "DataOrigin=" + Narrow(service.UntrustedOrigin()));
        WriteFileBytes(IniPath(), ini);
        ASSERT_EQ(Notify(4), 1);
    }
    Scenario(cell.scenario);
    const std::string expected = cell.barStillServes     ? "Live OHLC OK: " + ticker
                                 : cell.quoteStillServes ? "Live quote OK: " + ticker
                                                         : "Live quote error: " + ticker + " - ";
    // Settled once a poll started under the fault has ended with its line.
    Stopwatch watch;
    const size_t linesBefore = StatusLines().size();
    auto settled = [&] {
        const std::vector<std::string> lines = StatusLines();
        for (size_t i = linesBefore; i < lines.size(); ++i) {
            if (lines[i].rfind(expected, 0) == 0) return true;
        }
        return cell.barStillServes && service.Events("fault", "fault").size() >= 1 &&
               Status().Text() == expected;
    };
    bool seen = false;
    while (!(seen = settled()) && watch.Ms() < 4 * kTimeoutMs + 10000) Sleep(50);
    const ULONGLONG elapsed = watch.Ms();
    EXPECT_TRUE(seen) << "expected \"" << expected << "\"; status lines "
                      << ::testing::PrintToString(StatusLines());
    std::string outcome = Status().Text();
    if (!cell.barStillServes && !cell.quoteStillServes) {
        for (const std::string& line : StatusLines()) {
            if (line.rfind(expected, 0) == 0) outcome = line;
        }
        EXPECT_GT(outcome.size(), expected.size()) << "the error line names a reason";
    }

    // Meanwhile the host's calls answer at once with whole records.
    Stopwatch hostCalls;
    for (int i = 0; i < 20; ++i) {
        const void* recent = dll.GetRecentInfo(ticker.c_str());
        ASSERT_NE(recent, nullptr) << "the last good data stays";
        std::int32_t size = 0;
        std::memcpy(&size, recent, sizeof(size));
        EXPECT_EQ(size, 192);
        Status();
    }
    EXPECT_LT(hostCalls.Ms(), 2000u);
    EXPECT_EQ(CacheListing(), cacheBefore) << "a poll writes no cache file";

    // Healthy again: the worker brings the latest bar.
    Heal();
    const bool recovered = WaitForStatus([&](const std::string& s) { return s == "Live OHLC OK: " + ticker; },
                                         4 * kTimeoutMs + 10000);
    EXPECT_TRUE(recovered) << Status().LongMessage();
    AddReliabilityRow({"fault", cell.conversation, cell.fault, "\"" + outcome + "\"", std::to_string(elapsed),
                       "unchanged", recovered ? "yes" : "NO"});
}

// The latest-bar poll is the only one that sends create_series; a fault tied
// to it leaves the quote poll healthy.
#define BAR_FAULT(fault) R"({"ws":{"seed":7,"now":1710547200,"history":40,"fault":)" fault R"(}})"
// The quote poll is tried only when the latest bar failed: here it always fails
// with a series error, and the fault hits the quote's own conversation.
#define QUOTE_FAULT(fault)                                                                                     \
    R"({"ws":{"seed":7,"now":1710547200,"history":40,"faults":[{"kind":"series_error","on":"create_series"},)" \
        fault R"(]}})"

// A refused upgrade, an untrusted certificate or an unknown symbol meets both
// polls (same origin, same symbol): those cells end on the quote poll's error.
const PollCell kLatestBarCells[] = {
    {"latest-bar poll", "stall", Untrusted::kNone, BAR_FAULT(R"({"kind":"stall","on":"create_series"})"), true, false},
    {"latest-bar poll", "connection dropped", Untrusted::kNone, BAR_FAULT(R"({"kind":"drop","on":"create_series"})"),
     true, false},
    {"latest-bar poll", "closed in mid-conversation", Untrusted::kNone,
     BAR_FAULT(R"({"kind":"close","on":"create_series"})"), true, false},
    {"latest-bar poll", "garbage frames", Untrusted::kNone,
     BAR_FAULT(R"({"kind":"garbage","on":"create_series","bytes":"fm1+eHl6fm1+Z2FyYmFnZQ=="})"), false, true},
    {"latest-bar poll", "frame length of 40 digits", Untrusted::kNone,
     BAR_FAULT(R"({"kind":"huge_length","on":"create_series"})"), true, false},
    {"latest-bar poll", "message of 6 MB", Untrusted::kNone,
     BAR_FAULT(R"({"kind":"huge_message","on":"create_series","size":6000000})"), false, true},
    {"latest-bar poll", "series error", Untrusted::kNone,
     BAR_FAULT(R"({"kind":"series_error","on":"create_series"})"), true, false},
    {"latest-bar poll", "upgrade refused (403)", Untrusted::kNone,
     R"({"ws":{"seed":7,"now":1710547200,"history":40,"refuse_upgrade":403}})", false, false},
    {"latest-bar poll", "upgrade answered HTTP 429", Untrusted::kNone,
     R"({"ws":{"seed":7,"now":1710547200,"history":40,"refuse_upgrade":429}})", false, false},
    {"latest-bar poll", "upgrade answered HTTP 500", Untrusted::kNone,
     R"({"ws":{"seed":7,"now":1710547200,"history":40,"refuse_upgrade":500}})", false, false},
    {"latest-bar poll", "untrusted certificate", Untrusted::kData, R"({"ws":{"seed":7,"history":40}})", false, false},
    {"latest-bar poll", "unknown symbol", Untrusted::kNone,
     R"({"ws":{"seed":7,"now":1710547200,"history":40,"unknown_symbols":["NASDAQ:AAPL"]}})", false, false},
};
INSTANTIATE_TEST_SUITE_P(LatestBarPoll, Poll, ::testing::ValuesIn(kLatestBarCells));

const PollCell kQuoteCells[] = {
    {"quote poll", "stall", Untrusted::kNone, QUOTE_FAULT(R"({"kind":"stall","on":"quote_add_symbols"})"), false,
     false},
    {"quote poll", "connection dropped", Untrusted::kNone, QUOTE_FAULT(R"({"kind":"drop","on":"quote_add_symbols"})"),
     false, false},
    {"quote poll", "closed in mid-conversation", Untrusted::kNone,
     QUOTE_FAULT(R"({"kind":"close","on":"quote_add_symbols"})"), false, false},
    {"quote poll", "garbage frames", Untrusted::kNone,
     QUOTE_FAULT(R"({"kind":"garbage","on":"quote_add_symbols","bytes":"fm1+eHl6fm1+Z2FyYmFnZQ=="})"), true, false},
    {"quote poll", "frame length of 40 digits", Untrusted::kNone,
     QUOTE_FAULT(R"({"kind":"huge_length","on":"quote_add_symbols"})"), false, false},
    {"quote poll", "message of 6 MB", Untrusted::kNone,
     QUOTE_FAULT(R"({"kind":"huge_message","on":"quote_add_symbols","size":6000000})"), true, false},
    {"quote poll", "critical error", Untrusted::kNone,
     QUOTE_FAULT(R"({"kind":"critical_error","on":"quote_add_symbols","text":"wrong data"})"), false, false},
};
INSTANTIATE_TEST_SUITE_P(QuotePoll, Poll, ::testing::ValuesIn(kQuoteCells));

}  // namespace
