// The shared service session in-process against the double: who gets a
// place first and how long anyone waits, and the account's one sign-in with
// its renewals and refusals.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "net/double_fixture.h"
#include "foundation/settings.h"
#include "protocol/account_token.h"
#include "protocol/history_fetch.h"
#include "protocol/live_quote_poll.h"
#include "protocol/service_session.h"
#include "support/state_access.h"

namespace {

using testing_support::Narrow;
using testing_support::WithState;

class Session : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        ForgetAccountToken();
        WithState([](PluginState& s) {
            s.settings = PluginSettings{};
            s.settings.TimeoutMs = kTimeoutMs;
            s.settings.Connections = 1;
            s.statusText.clear();
        });
    }
    void TearDown() override {
        ForgetAccountToken();
        WithState([](PluginState& s) { s.settings = PluginSettings{}; });
        DoubleTest::TearDown();
    }
    static PluginSettings Account(const wchar_t* password = L"pw") {
        PluginSettings settings = CopySettings();
        settings.Username = L"trader";
        settings.Password = password;
        return settings;
    }
    static PluginSettings Cookie(const wchar_t* cookie, const wchar_t* sign = L"") {
        PluginSettings settings = Account(L"pw");
        settings.SessionCookie = cookie;
        settings.SessionCookieSign = sign;
        return settings;
    }
    static std::wstring Status() {
        return WithState([](PluginState& s) { return s.statusText; });
    }
    bool Quote(const PluginSettings& settings, std::wstring& error) {
        RecentInfo record{};
        return PollLiveQuote(L"NASDAQ:AAPL", "NASDAQ:AAPL", settings, record, error);
    }
    // The set_auth_token messages so far, as sent.
    std::vector<std::string> Tokens() const {
        std::vector<std::string> tokens;
        for (const std::string& m : Messages()) {
            if (m.rfind("{\"m\":\"set_auth_token\"", 0) == 0) tokens.push_back(m);
        }
        return tokens;
    }
};

}  // namespace

TEST_F(Session, TheHostsThreadsGoFirstAndNoWaitOutlastsItsDeadline) {
    Scenario(R"({"ws":{"seed":1}})");
    const PluginSettings settings = CopySettings();
    std::wstring error;
    // One connection carries six conversations at once.
    std::vector<std::unique_ptr<Channel>> held;
    for (int i = 0; i < 6; ++i) {
        held.push_back(std::make_unique<Channel>());
        ASSERT_TRUE(OpenChannel(ChannelRequestFor(settings, Priority::Host), *held.back(), error)) << Narrow(error);
        EXPECT_EQ(held.back()->ConnectionNumber(), held.front()->ConnectionNumber());
    }
    // A seventh waits its turn, for no longer than a conversation's connect
    // could ever take (twice the time-out), and says why it got none.
    Channel seventh;
    Stopwatch watch;
    EXPECT_FALSE(OpenChannel(ChannelRequestFor(settings, Priority::Host), seventh, error));
    EXPECT_EQ(error, L"No TradingView data connection was free in time");
    EXPECT_GE(watch.Ms(), 2u * kTimeoutMs - 100);
    EXPECT_LT(watch.Ms(), 2u * kTimeoutMs + 1500);

    // The bulk update waits first, a host thread after it: the host's
    // request gets the first place that comes free.
    std::atomic<int> served{0};
    std::atomic<int> bulkTurn{0};
    std::atomic<int> hostTurn{0};
    Channel bulkChannel;
    Channel hostChannel;
    std::thread bulk([&] {
        if (OpenChannel(ChannelRequestFor(settings, Priority::Bulk), bulkChannel, error)) bulkTurn = ++served;
    });
    Sleep(200);
    std::thread host([&] {
        std::wstring hostError;
        if (OpenChannel(ChannelRequestFor(settings, Priority::Host), hostChannel, hostError)) hostTurn = ++served;
    });
    Sleep(200);
    held[0]->Close();
    EXPECT_TRUE(WaitUntil([&] { return served.load() >= 1; }, 2000));
    Sleep(100);
    EXPECT_EQ(hostTurn.load(), 1) << "the host's thread first";
    EXPECT_EQ(bulkTurn.load(), 0) << "the bulk update still waits";
    held[1]->Close();
    bulk.join();
    host.join();
    EXPECT_EQ(bulkTurn.load(), 2);
    EXPECT_EQ(service.Stat("ws_opened"), 1) << "the setting allows one connection";
}

TEST_F(Session, TheAccountSignsInOnceAndRenewsItsTokenOnTheOpenConnection) {
    // Tokens that live four seconds: renewed when a quarter of that is left.
    Scenario(R"({"signin":{"username":"trader","password":"pw","jwt_lifetime_s":4},"ws":{"seed":2}})");
    const PluginSettings settings = Account();
    std::wstring error;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 1);
    ASSERT_EQ(Tokens().size(), 1u) << "the token goes once per connection";
    EXPECT_EQ(Tokens()[0].find("unauthorized_user_token"), std::string::npos);

    Sleep(3300);
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 2) << "renewed shortly before it expired";
    ASSERT_EQ(Tokens().size(), 2u);
    EXPECT_NE(Tokens()[1], Tokens()[0]);
    EXPECT_EQ(service.Stat("ws_opened"), 1) << "the new token went on the open connection";
}

TEST_F(Session, ARefusedTokenIsRenewedOnceThenTheDataGoesAnonymous) {
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-a"},"ws":{"seed":3}})");
    const PluginSettings settings = Account();
    std::wstring error;
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);

    // The service no longer takes the token: the conversation fails with
    // its words, the next one signs in again.
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-b"},"ws":{"seed":3}})");
    EXPECT_FALSE(Quote(settings, error));
    EXPECT_EQ(error, L"TradingView protocol error: bad auth token");
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 1);
    EXPECT_EQ(Tokens().back(), R"({"m":"set_auth_token","p":["tok-b"]})");

    // Refused again within the quarter hour: no more sign-ins for now, the
    // data comes anonymously, and the status says so.
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-c"},"ws":{"seed":3}})");
    EXPECT_FALSE(Quote(settings, error));
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 0);
    EXPECT_EQ(Tokens().back(), R"({"m":"set_auth_token","p":["unauthorized_user_token"]})");
    EXPECT_EQ(Status(), L"TradingView sign-in refused: bad auth token - using anonymous data");
}

TEST_F(Session, ARefusedSignInWaitsAQuarterHourUnlessTheCredentialsChange) {
    Scenario(R"({"signin":{"username":"trader","password":"right"},"ws":{"seed":4}})");
    LogTail log(LogPath());
    const PluginSettings wrong = Account(L"wrong");
    std::wstring error;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Quote(wrong, error)) << "anonymous data meanwhile: " << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 1) << "not asked again";
    EXPECT_EQ(Status().find(L"TradingView sign-in refused: Invalid username or password"), 0u) << Narrow(Status());
    size_t said = 0;
    const std::string text = log.Text();
    for (size_t at = text.find("STATUS: TradingView sign-in refused"); at != std::string::npos;
         at = text.find("STATUS: TradingView sign-in refused", at + 1)) {
        ++said;
    }
    EXPECT_EQ(said, 1u) << "the status says it once";
    EXPECT_EQ(text.find("wrong"), std::string::npos) << "the password never reaches the log";

    // New credentials are tried at once.
    ASSERT_TRUE(Quote(Account(L"right"), error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 2);
    EXPECT_EQ(Tokens().back().find("unauthorized_user_token"), std::string::npos);
}

// The browser's session cookie signs in where it is set, before the
// password: one chart page for the token every conversation then uses.
TEST_F(Session, TheSessionCookieSignsInByTheChartPageAndServesEveryConversation) {
    Scenario(R"({"signin":{"username":"trader","password":"pw","token":"tok-cookie","sessionid":"sid-1",)"
             R"("sessionid_sign":"v3:sig"},"ws":{"seed":5,"tokens":["tok-cookie"]}})");
    WithState([](PluginState& s) { s.settings.DebugLogging = true; });
    LogTail log(LogPath());
    const PluginSettings settings = Cookie(L"sid-1", L"v3:sig");
    std::wstring error;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    std::vector<Bar> bars;
    ASSERT_TRUE(DownloadBars(L"NASDAQ:AAPL", 86400, 20, settings, bars, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("chart_pages"), 1);
    EXPECT_EQ(service.Stat("signins"), 0) << "no password sign-in";
    for (const std::string& token : Tokens()) EXPECT_EQ(token, R"({"m":"set_auth_token","p":["tok-cookie"]})");
    EXPECT_EQ(DescribeAccount(), L"signed in by session cookie as trader");
    // Credentials cleared: anonymous again, and the status says so.
    ASSERT_TRUE(Quote(CopySettings(), error)) << Narrow(error);
    EXPECT_EQ(Tokens().back(), R"({"m":"set_auth_token","p":["unauthorized_user_token"]})");
    EXPECT_EQ(DescribeAccount(), L"anonymous");
    const std::string text = log.Text();
    for (const char* secret : {"sid-1", "v3:sig", "tok-cookie"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " reached the log";
    }
}

// A cookie the service no longer knows: said in plain words, once, and the
// data comes anonymously; a refusal that wants a browser points to the cookie.
TEST_F(Session, ARefusedSignInSaysWhatToDoAndTheDataComesAnonymously) {
    const struct {
        const char* scenario;
        PluginSettings settings;
        const wchar_t* status;
        bool wantsBrowser;
    } cases[] = {
        {R"({"signin":{"sessionid":"sid-1","cookie_expired":true},"ws":{"seed":6}})", Cookie(L"sid-1"),
         L"TradingView sign-in refused: the session cookie has expired: copy a new one from the browser - using "
         L"anonymous data",
         false},
        {R"({"signin":{"sessionid":"sid-2"},"ws":{"seed":6}})", Cookie(L"sid-9"),
         L"TradingView sign-in refused: the session cookie has expired: copy a new one from the browser - using "
         L"anonymous data",
         false},
        {R"({"signin":{"username":"trader","password":"pw-2fa","two_factor":true},"ws":{"seed":6}})", Account(L"pw-2fa"),
         L"TradingView sign-in refused: the account asks for two-factor authentication (2FA_required); set the "
         L"account's Session cookie on the Connection tab - using anonymous data",
         true},
        {R"({"signin":{"username":"trader","password":"pw-robot","captcha_after":0},"ws":{"seed":6}})",
         Account(L"pw-robot"),
         L"TradingView sign-in refused: Please confirm that you are not a robot by clicking the captcha box.; set the "
         L"account's Session cookie on the Connection tab - using anonymous data",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        ForgetAccountToken();
        Scenario(c.scenario);
        std::wstring error;
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(Quote(c.settings, error)) << Narrow(error);
        EXPECT_EQ(service.Stat("chart_pages") + service.Stat("signins"), 1) << "asked once";
        EXPECT_EQ(Tokens().back(), R"({"m":"set_auth_token","p":["unauthorized_user_token"]})");
        EXPECT_EQ(Status(), c.status);
        EXPECT_EQ(CurrentAccountStanding(c.settings).wantsBrowser, c.wantsBrowser);
        EXPECT_EQ(DescribeAccount().rfind(L"anonymous: sign-in refused (", 0), 0u) << Narrow(DescribeAccount());
    }
}

// The secrets at rest: saved protected for this Windows user, never in
// plain text; read back at the next start; a plain password of an older
// file still signs in and is moved at the next Save; one that cannot be
// read counts as not set, said once in the log and never shown.
TEST_F(Session, SecretsAreSavedProtectedAndReadBackAtTheNextStart) {
    Scenario(R"({"signin":{"username":"trader","password":"old-pw","token":"tok-pw","sessionid":"sid-7",)"
             R"("sessionid_sign":"v3:sig7"},"ws":{"seed":8,"tokens":["tok-pw"]}})");
    testing_support::TempFolder folder;
    const std::wstring ini = folder.Join(L"Velmarquin.ini");
    const std::string visible = "[TradingView]\r\nMarket=auto\r\nUsername=trader\r\nPassword=";
    const std::string origin = Narrow(service.Origin());
    testing_support::WriteFileBytes(ini, visible + "old-pw\r\nTimeoutMs=1500\r\n[Service]\r\nSymbolSearchOrigin=" + origin +
                                             "\r\nWebOrigin=" + origin + "\r\nDataOrigin=" + origin + "\r\n");
    WithState([&](PluginState& s) { s.iniPath = ini; });
    LogTail log(LogPath());
    auto start = [] {
        ForgetAccountToken();
        LoadSettings();
        return CopySettings();
    };

    // An older file's plain password signs in as before.
    PluginSettings settings = start();
    EXPECT_EQ(settings.Password, L"old-pw");
    std::wstring error;
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("signins"), 1);

    // Save: nothing secret in plain text anywhere in the file, the plain key
    // left empty, the rest of section "TradingView" as it was.
    settings.SessionCookie = L"sid-7";
    settings.SessionCookieSign = L"v3:sig7";
    SaveSettingsFile(ini, settings);
    const std::string file = testing_support::ReadFileBytes(ini);
    for (const char* secret : {"old-pw", "sid-7", "v3:sig7"}) {
        EXPECT_EQ(file.find(secret), std::string::npos) << secret << " in plain text:\n" << file;
    }
    EXPECT_NE(file.find(visible + "\r\n"), std::string::npos) << file;
    for (const char* key : {"\r\nPassword=protected:", "\r\nSessionCookie=protected:", "\r\nSessionCookieSign=protected:"}) {
        EXPECT_NE(file.find(key, file.find("[Velmarquin]")), std::string::npos) << key << "\n" << file;
    }

    // The next start reads them back, and the cookie signs in.
    settings = start();
    EXPECT_EQ(settings.Password, L"old-pw");
    EXPECT_EQ(settings.SessionCookie, L"sid-7");
    EXPECT_EQ(settings.SessionCookieSign, L"v3:sig7");
    ASSERT_TRUE(Quote(settings, error)) << Narrow(error);
    EXPECT_EQ(service.Stat("chart_pages"), 1);
    EXPECT_EQ(Tokens().back(), R"({"m":"set_auth_token","p":["tok-pw"]})");

    // Protected values another user saved (or damaged ones) count as not set,
    // each said once however often the file is read.
    std::string damaged = file;
    for (const char* key : {"\r\nPassword=protected:", "\r\nSessionCookie=protected:"}) {
        const size_t at = damaged.find(key, damaged.find("[Velmarquin]")) + std::strlen(key);
        damaged.replace(at, damaged.find("\r\n", at) - at, "AQIDBAUGBwgJ");
    }
    testing_support::WriteFileBytes(ini, damaged);
    const std::string before = log.Text();
    start();
    settings = start();
    EXPECT_EQ(settings.Password, L"");
    EXPECT_EQ(settings.SessionCookie, L"");
    EXPECT_EQ(settings.SessionCookieSign, L"v3:sig7");
    const std::string text = log.Text().substr(before.size());
    for (const char* line : {"CONFIG Password in section Velmarquin", "CONFIG SessionCookie in section Velmarquin"}) {
        const size_t first = text.find(line);
        EXPECT_NE(first, std::string::npos) << line << "\n" << text;
        EXPECT_EQ(text.find(line, first + 1), std::string::npos) << "said once: " << line;
    }
    EXPECT_EQ(text.find("AQIDBAUGBwgJ"), std::string::npos) << "never the stored text";
    for (const char* secret : {"old-pw", "sid-7", "v3:sig7", "tok-pw"}) {
        EXPECT_EQ(log.Text().find(secret), std::string::npos) << secret << " reached the log";
    }
    WithState([](PluginState& s) { s.iniPath.clear(); });
}
