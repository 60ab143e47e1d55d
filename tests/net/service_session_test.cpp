// The shared service session in-process against the double: who gets a
// place first and how long anyone waits, and the account's one sign-in with
// its renewals and refusals.
#include <atomic>
#include <memory>
#include <thread>

#include "net/double_fixture.h"
#include "protocol/account_token.h"
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
