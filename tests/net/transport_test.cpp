// HTTPS requests and WebSocket connections against the local service double.
#include <cstdio>

#include "net/http_client.h"
#include "net/websocket_client.h"
#include "net/winhttp_async.h"
#include "net/double_fixture.h"
#include "protocol/framing.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/sign_in.h"


namespace {

using Transport = DoubleTest;

const char kHeaderLines[] =
    "User-Agent: TestAgent/1\r\nAccept: application/json,text/plain,*/*\r\nAccept-Language: en-US,en;q=0.9\r\n"
    "Cache-Control: no-cache\r\nPragma: no-cache\r\n";

// True when the lines of `block` appear among the head's lines in that order,
// with other lines allowed between them: Windows itself adds Cache-Control
// and Pragma lines for WINHTTP_FLAG_REFRESH, where it likes.
bool HasLinesInOrder(const std::string& head, const std::string& block) {
    const std::vector<std::string> have = testing_support::SplitCrLfLines(head);
    size_t at = 0;
    for (const std::string& line : testing_support::SplitCrLfLines(block)) {
        while (at < have.size() && have[at] != line) ++at;
        if (at == have.size()) return false;
        ++at;
    }
    return true;
}

}  // namespace

TEST_F(Transport, GetReadsBodiesLongerThanOneBufferAndSendsTheHeaderBlockInOrder) {
    Scenario(R"({"http":[{"method":"GET","path":"/big","status":200,"body_size":20000}]})");
    std::string body;
    std::wstring error;
    ASSERT_TRUE(HttpGet(service.Origin() + L"/big?x=1", L"TestAgent/1", kTimeoutMs, body, error)) << error.c_str();
    ASSERT_EQ(body.size(), 20000u);
    EXPECT_EQ(body.substr(0, 3), "abc");
    EXPECT_EQ(body[19999], static_cast<char>('a' + 19999 % 26));

    const std::vector<std::string> heads = service.Events("http", "raw_head");
    ASSERT_EQ(heads.size(), 1u);
    const std::string origin = testing_support::Narrow(service.Origin());
    EXPECT_EQ(heads[0].find("GET /big?x=1 HTTP/1.1\r\n"), 0u) << heads[0];
    const std::string block = std::string(kHeaderLines) + "Referer: " + origin + "/\r\nOrigin: " + origin +
                              "\r\nX-Requested-With: XMLHttpRequest\r\n";
    EXPECT_TRUE(HasLinesInOrder(heads[0], block)) << heads[0];
}

TEST_F(Transport, GetStatusOutsideTwoHundredsFailsAndLogsAlways) {
    for (int status : {404, 429, 500}) {
        Scenario(R"({"http":[{"method":"GET","path":"/symbol_search","status":)" + std::to_string(status) +
                 R"(,"body":"nope"}]})");
        LogTail log(LogPath());
        std::string body = "left";
        std::wstring error;
        HttpFailure failure = HttpFailure::None;
        EXPECT_FALSE(HttpGet(service.Origin() + L"/symbol_search?text=X", L"A", kTimeoutMs, body, error, &failure));
        EXPECT_EQ(error, L"HTTP status " + std::to_wstring(status));
        EXPECT_EQ(failure, HttpFailure::Status);
        EXPECT_NE(log.Text().find("ERROR: HTTP status " + std::to_string(status) + "\r\n"), std::string::npos);
        EXPECT_EQ(log.Text().find("HTTP GET: "), std::string::npos) << "debug line without DebugLogging";
    }
}

TEST_F(Transport, PostSendsTheFormAndReturnsTheBodyWhateverTheStatus) {
    Scenario(R"({"http":[{"method":"POST","path":"/accounts/signin/","status":401,"body":"{\"error\":\"no\"}"}]})");
    PointAt(service.Origin(), true);
    LogTail log(LogPath());
    std::wstring error;
    const std::string body = HttpPost(service.Origin() + L"/accounts/signin/", L"TestAgent/1", kTimeoutMs,
                                      L"username=a%20b&password=%C3%A9", error);
    EXPECT_EQ(body, "{\"error\":\"no\"}");
    EXPECT_NE(log.Text().find("HTTP POST: " + testing_support::Narrow(service.Origin()) +
                              "/accounts/signin/\r\n"),
              std::string::npos);

    const std::vector<std::string> heads = service.Events("http", "raw_head");
    const std::vector<std::string> bodies = service.Events("http", "body");
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(bodies[0], "username=a%20b&password=%C3%A9");
    EXPECT_TRUE(HasLinesInOrder(heads[0], kHeaderLines)) << heads[0];
    EXPECT_NE(heads[0].find("X-Requested-With: XMLHttpRequest\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos)
        << heads[0];
}

TEST_F(Transport, SilentOrVanishingServerFailsWithinTheTimeOut) {
    Scenario(R"({"http":[{"method":"GET","path":"/stall","stall":true},{"method":"POST","path":"/stall","stall":true},
                {"method":"GET","path":"/drop","drop":true}]})");
    std::string body;
    std::wstring error;
    HttpFailure failure = HttpFailure::None;
    Stopwatch get;
    EXPECT_FALSE(HttpGet(service.Origin() + L"/stall", L"A", kTimeoutMs, body, error, &failure));
    EXPECT_LT(get.Ms(), kGiveUpBoundMs);
    EXPECT_TRUE(IsUnansweredRequestError(error)) << error.c_str();
    EXPECT_EQ(failure, HttpFailure::Transport);

    Stopwatch post;
    EXPECT_EQ(HttpPost(service.Origin() + L"/stall", L"A", kTimeoutMs, L"a=1", error), "");
    EXPECT_LT(post.Ms(), kGiveUpBoundMs);
    EXPECT_EQ(error, L"HTTP POST failed");

    EXPECT_FALSE(HttpGet(service.Origin() + L"/drop", L"A", kTimeoutMs, body, error, &failure));
    EXPECT_EQ(failure, HttpFailure::Transport);

    // Nothing listens on port 9: the connection is refused.
    EXPECT_FALSE(HttpGet(L"https://127.0.0.1:9/x", L"A", kTimeoutMs, body, error, &failure));
    EXPECT_EQ(error.find(L"WinHttpSendRequest failed, GetLastError="), 0u) << error.c_str();
    EXPECT_EQ(failure, HttpFailure::Transport);
}

TEST_F(Transport, ZeroTimeOutMeansTheDefaultNotForever) {
    Scenario(R"({"http":[{"method":"GET","path":"/stall","stall":true}]})");
    std::string body;
    std::wstring error;
    Stopwatch watch;
    EXPECT_FALSE(HttpGet(service.Origin() + L"/stall", L"A", 0, body, error));
    EXPECT_GE(watch.Ms(), 7000u);
    EXPECT_LT(watch.Ms(), 8000u + 5000u);
}

TEST_F(Transport, BadUrlFailsBeforeAnyRequest) {
    std::string body;
    std::wstring error;
    HttpFailure failure = HttpFailure::None;
    EXPECT_FALSE(HttpGet(L"not a url", L"A", kTimeoutMs, body, error, &failure));
    EXPECT_EQ(error, L"Invalid URL");
    EXPECT_EQ(failure, HttpFailure::InvalidUrl);
}

TEST_F(Transport, UntrustedCertificateIsRefused) {
    Scenario("{}");
    std::string body;
    std::wstring error;
    EXPECT_FALSE(HttpGet(service.UntrustedOrigin() + L"/symbol_search?text=AAPL", L"A", kTimeoutMs, body, error));
    PointAt(service.UntrustedOrigin(), false);
    WebSocketClient client;
    EXPECT_FALSE(client.Connect(L"A", kTimeoutMs, error));
    EXPECT_EQ(error, L"WebSocket handshake failed");
    EXPECT_FALSE(client.SendText("x"));
    EXPECT_TRUE(service.Events("http", "raw_head").empty()) << "no request may reach an untrusted server";
}

TEST_F(Transport, WebSocketHandshakeHeadersAndFragmentedMessage) {
    Scenario(R"({"ws":{"script":[{"expect":1},{"send_size":20000,"fragment":8192},{"send":"short"},{"expect":1}]}})");
    PointAt(service.Origin(), true);
    LogTail log(LogPath());
    WebSocketClient client;
    std::wstring error;
    ASSERT_TRUE(client.Connect(L"TestAgent/1", kTimeoutMs, error)) << error.c_str();
    ASSERT_TRUE(client.SendText("hello"));
    std::string message;
    bool closed = true;
    ASSERT_TRUE(client.ReceiveMessage(message, closed));
    EXPECT_FALSE(closed);
    ASSERT_EQ(message.size(), 20000u);
    EXPECT_EQ(message[19999], static_cast<char>('a' + 19999 % 26));
    ASSERT_TRUE(client.ReceiveMessage(message, closed));
    EXPECT_EQ(message, "short");
    ASSERT_TRUE(client.SendText(std::string(1000, 'q')));
    client.Close();
    client.Close();  // twice is harmless

    const std::string text = log.Text();
    EXPECT_NE(text.find("WS connect starting\r\n"), std::string::npos);
    EXPECT_NE(text.find("WS connect OK\r\n"), std::string::npos);
    // The whole message is what counts; how the platform cut it into pieces
    // (8192 bytes under Wine) is its own business.
    EXPECT_NE(text.find("WS recv frame bytes="), std::string::npos) << text;
    EXPECT_NE(text.find("WS send: " + std::string(300, 'q') + "\r\n"), std::string::npos);

    const std::string origin = testing_support::Narrow(service.Origin());
    const std::vector<std::string> heads = service.Events("http", "raw_head");
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].find("GET /socket.io/websocket HTTP/1.1\r\n"), 0u);
    EXPECT_NE(heads[0].find("User-Agent: TestAgent/1\r\nOrigin: " + origin + "\r\nReferer: " + origin + "/\r\n"),
              std::string::npos)
        << heads[0];
    const std::vector<std::string> received = service.Events("ws_message", "text");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], "hello");
    EXPECT_EQ(service.Events("ws_close", "code"), std::vector<std::string>{"1000"});
}

TEST_F(Transport, WebSocketCloseDropAndStall) {
    std::wstring error;
    std::string message;
    bool closed = false;
    {
        Scenario(R"({"ws":{"script":[{"close":1000}]}})");
        WebSocketClient client;
        ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
        ASSERT_TRUE(client.ReceiveMessage(message, closed));
        EXPECT_TRUE(closed);
        EXPECT_TRUE(message.empty());
    }
    {
        Scenario(R"({"ws":{"script":[{"drop":true}]}})");
        WebSocketClient client;
        ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
        Stopwatch watch;
        EXPECT_FALSE(client.ReceiveMessage(message, closed));
        EXPECT_LT(watch.Ms(), static_cast<ULONGLONG>(kTimeoutMs)) << "a dropped connection fails at once";
    }
    {
        Scenario(R"({"ws":{"script":[{"stall":true}]}})");
        PointAt(service.Origin(), true);
        LogTail log(LogPath());
        WebSocketClient client;
        ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
        Stopwatch watch;
        EXPECT_FALSE(client.ReceiveMessage(message, closed));
        EXPECT_LT(watch.Ms(), kGiveUpBoundMs);
        EXPECT_GE(watch.Ms(), static_cast<ULONGLONG>(kTimeoutMs) - 100);
        EXPECT_NE(log.Text().find("ERROR: WinHttpWebSocketReceive failed hr="), std::string::npos);
        EXPECT_FALSE(client.SendText("after"));  // the connection was given up
        Stopwatch closing;
        client.Close();
        EXPECT_LT(closing.Ms(), kGiveUpBoundMs);
    }
    {
        Scenario(R"({"ws":{"stall_upgrade":true}})");
        WebSocketClient client;
        Stopwatch watch;
        EXPECT_FALSE(client.Connect(L"A", kTimeoutMs, error));
        EXPECT_EQ(error, L"WebSocket handshake failed");
        EXPECT_LT(watch.Ms(), kGiveUpBoundMs);
    }
}

TEST_F(Transport, RefusedUpgradeAndMissingServer) {
    Scenario(R"({"ws":{"refuse_upgrade":403}})");
    LogTail log(LogPath());
    WebSocketClient client;
    std::wstring error;
    EXPECT_FALSE(client.Connect(L"A", kTimeoutMs, error));
    EXPECT_EQ(error, L"WinHttpWebSocketCompleteUpgrade failed");
    EXPECT_NE(log.Text().find("ERROR: WinHttpWebSocketCompleteUpgrade failed\r\n"), std::string::npos);
    EXPECT_FALSE(client.IsOpen());

    PointAt(L"https://127.0.0.1:9", false);
    EXPECT_FALSE(client.Connect(L"A", kTimeoutMs, error));
    EXPECT_EQ(error, L"WebSocket handshake failed");

    PointAt(L"nonsense", false);
    EXPECT_FALSE(client.Connect(L"A", kTimeoutMs, error));
    EXPECT_EQ(error, L"Invalid URL");
}

TEST_F(Transport, SendWithoutConnectionAndReconnectClosesTheOldConnection) {
    WebSocketClient idle;
    EXPECT_FALSE(idle.SendText("x"));
    std::string message;
    bool closed = false;
    EXPECT_FALSE(idle.ReceiveMessage(message, closed));

    // Reconnecting at once: the double's spacing of connections is off here.
    Scenario(R"({"ws":{"min_connection_gap_ms":0,"script":[{"echo":true}]}})");
    WebSocketClient client;
    std::wstring error;
    ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
    ASSERT_TRUE(client.SendText("one"));
    ASSERT_TRUE(client.ReceiveMessage(message, closed));
    EXPECT_EQ(message, "one");
    ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
    ASSERT_TRUE(client.SendText("two"));
    ASSERT_TRUE(client.ReceiveMessage(message, closed));
    EXPECT_EQ(message, "two");
    client.Close();

    // The first connection was closed (close frame 1000) before the second opened.
    const std::string recording = service.RecordingJson();
    const size_t firstClose = recording.find("\"kind\": \"ws_close\"");
    const size_t secondOpen = recording.find("\"kind\": \"ws_open\"", recording.find("\"kind\": \"ws_open\"") + 1);
    ASSERT_NE(firstClose, std::string::npos) << recording;
    ASSERT_NE(secondOpen, std::string::npos) << recording;
    EXPECT_LT(firstClose, secondOpen);
}

TEST_F(Transport, FramedMessagesReachTheServiceByteForByte) {
    Scenario(R"({"ws":{"script":[{"send":"~m~4~m~~h~1"},{"expect":2}]}})");
    WebSocketClient client;
    std::wstring error;
    ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
    std::string message;
    bool closed = false;
    ASSERT_TRUE(client.ReceiveMessage(message, closed));
    std::string payload;
    ASSERT_TRUE(NextFramePayload(message, payload));
    ASSERT_TRUE(IsEchoPayload(payload));
    ASSERT_TRUE(EchoPayload(client, payload));
    ASSERT_TRUE(SendMessage(client, "chart_create_session", {JsonQuote("cs_x"), JsonQuote("")}));
    client.Close();
    EXPECT_EQ(service.Events("ws_message", "text"),
              (std::vector<std::string>{"~m~4~m~~h~1", "~m~44~m~{\"m\":\"chart_create_session\",\"p\":[\"cs_x\",\"\"]}"}));
}

TEST_F(Transport, AMessageThatTricklesEndsAtTheDeadline) {
    // One byte a second: each piece arrives well within any time-out, but
    // the message as a whole can never be done by the deadline.
    Scenario(R"({"ws":{"script":[{"send":"abcdefghijklmnopqrstuvwxyz","fragment":1,"gap_ms":1000}]}})");
    WebSocketClient client;
    std::wstring error;
    ASSERT_TRUE(client.Connect(L"A", kTimeoutMs, error));
    Stopwatch watch;
    std::string message;
    EXPECT_EQ(client.Receive(message, static_cast<std::uint32_t>(GetTickCount() + 2000)), ReceiveStatus::DeadlinePassed);
    EXPECT_GE(watch.Ms(), 1900u);
    EXPECT_LT(watch.Ms(), 3500u) << "ended near the deadline, not a time-out for each piece";
    EXPECT_TRUE(message.empty());
    EXPECT_FALSE(client.IsOpen()) << "the connection is given up";
    client.Close();
    std::fprintf(stderr, "parked after a cancelled receive: %zu\n", ParkedStateCount());
    Scenario(R"({"ws":{"stall_upgrade":true}})");
    {
        WebSocketClient stalled;
        EXPECT_FALSE(stalled.Connect(L"A", 800, error));
    }
    std::fprintf(stderr, "parked after a stalled upgrade: %zu\n", ParkedStateCount());
    Scenario(R"({"http":[{"method":"GET","path":"/stall","stall":true}]})");
    std::string body;
    HttpGet(service.Origin() + L"/stall", L"A", 800, body, error);
    std::fprintf(stderr, "parked after a stalled GET: %zu\n", ParkedStateCount());
    Scenario("{}");
    Sleep(500);
    SweepParkedStates(500);
    std::fprintf(stderr, "parked after the sweep: %zu\n", ParkedStateCount());
}

TEST_F(Transport, SplittingIsLinearInTheMessage) {
    // 64 MiB of 10-byte frames: erasing each frame from the front of the
    // buffer would take hours; a moving read position takes a moment.
    std::string message;
    message.reserve(64u << 20);
    while (message.size() + 10 <= (64u << 20)) message += "~m~3~m~{a}";
    Stopwatch watch;
    FrameBuffer frames;
    frames.Append(message);
    std::string payload, last;
    size_t count = 0;
    for (; frames.Next(payload); ++count) last.swap(payload);
    EXPECT_EQ(count, message.size() / 10);
    EXPECT_EQ(last, "{a}");
    EXPECT_LT(watch.Ms(), 10000u);
    std::fprintf(stderr, "split %zu frames in %llu ms\n", count, static_cast<unsigned long long>(watch.Ms()));
}

namespace {

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> shift) & 63]);
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace

TEST_F(Transport, AReplyCutOffBeforeItsEndIsNoAnswer) {
    // The headers promise 2000 bytes; a sign-in's first 40 come, then the
    // server closes.
    const std::string cut = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2000\r\n\r\n"
                            "{\"error\":\"\",\"user\":{\"id\":1234567,\"auth_tok";
    Scenario("{\"http\":[{\"path\":\"*\",\"raw\":\"" + Base64(cut) + "\"}]}");
    std::string body;
    std::wstring error;
    HttpFailure failure = HttpFailure::None;
    EXPECT_FALSE(HttpGet(service.Origin() + L"/symbol_search?text=AAPL&type=stock", L"A", kTimeoutMs, body, error, &failure));
    EXPECT_EQ(failure, HttpFailure::Transport) << testing_support::Narrow(error);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(error.rfind(L"WinHttp", 0), 0u) << testing_support::Narrow(error);
    // A sign-in cut off the same way could not reach the site: it is no refusal.
    PluginSettings settings;
    settings.Username = L"trader";
    settings.Password = L"pw";
    settings.TimeoutMs = kTimeoutMs;
    const SignInAnswer answer = SignInToService(settings);
    EXPECT_TRUE(answer.token.empty());
    EXPECT_TRUE(answer.refusal.empty()) << testing_support::Narrow(answer.refusal);
    EXPECT_FALSE(answer.transportError.empty());
}

// A connection closed with a receive under way that the service never ends:
// the receive's cancellation is reported after the session's own handles
// are gone, so the connection's state must wait for that last report (a
// state freed on the session's word alone takes the report into freed
// memory, and the process falls over sooner or later).
TEST_F(Transport, AConnectionClosedWithAReceiveUnderWayWaitsForItsLastReport) {
    Scenario(R"({"ws":{"min_connection_gap_ms":0,"ignore_close":true,"script":[{"stall":true}]}})");
    for (int round = 0; round < 4; ++round) {
        WebSocketClient client;
        std::wstring error;
        ASSERT_TRUE(client.Connect(L"A", 400, error)) << round;
        std::string message;
        EXPECT_EQ(client.Poll(message, 0), ReceiveStatus::Pending);
        client.Close();
    }
    SweepParkedStates(kGiveUpBoundMs);
    EXPECT_EQ(ParkedStateCount(), 0u) << "every state is freed once its reports are in";
}
