// The connection check as a trader runs it: through the configuration
// window's Tools tab (and the status menu) on a real display, against the
// local service double, each step failing in turn.
#include <mutex>
#include <string>
#include <vector>

#include "foundation/state.h"
#include "net/double_fixture.h"
#include "storage/memory_cache.h"
#include "support/ui_driver.h"
#include "ui/config_window.h"
#include "ui/status_menu.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

class ConnectionCheck : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        WriteFileBytes(ini, "[TradingView]\r\nTimeoutMs=1500\r\n");
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = PluginSettings{};
        s.settings.TimeoutMs = kTimeoutMs;
        s.settings.DebugLogging = true;
        s.databaseFolder = database.Path();
        s.iniPath = ini;
        s.lastTicker.clear();
    }
    void TearDown() override {
        CloseConfigWindow();
        if (call) call->Wait();
        ClearMemoryCaches();
        DoubleTest::TearDown();
    }
    // Opens the window on a thread of its own, types the ticker and the
    // account, and presses Test connection.
    void Start(const std::wstring& ticker, const std::wstring& user = L"", const std::wstring& password = L"",
               const std::wstring& cookie = L"") {
        call = std::make_unique<ui_driver::ModalCall>([this] {
            PluginSettings edited = CopySettings();
            OpenConfigWindow(ini, edited);
        });
        window = ui_driver::WaitFor([] { return FindConfigWindow(); });
        ASSERT_NE(window, nullptr);
        Type(kIdCheckTicker, ticker);
        Type(kIdUsername, user);
        Type(kIdPassword, password);
        Type(kIdSessionCookie, cookie);
        SendMessageW(Control(kIdTestConnection), BM_CLICK, 0, 0);
    }
    HWND Control(int id) const { return ui_driver::FindById(window, id); }
    void Type(int id, const std::wstring& text) const {
        SendMessageW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    std::string Results() const { return Narrow(ui_driver::Text(Control(kIdCheckResults))); }
    // Waits for the check's last line.
    bool Finished(DWORD limitMs = 20000) const {
        return ui_driver::WaitUntil(
            [this] {
                const std::string text = Results();
                return text.find("All steps passed") != std::string::npos ||
                       text.find("The check stopped") != std::string::npos;
            },
            limitMs);
    }

    TempFolder database;
    std::wstring ini = database.Join(L"Velmarquin.ini");
    std::unique_ptr<ui_driver::ModalCall> call;
    HWND window = nullptr;
    LogTail log{LogPath()};
};

}  // namespace

TEST_F(ConnectionCheck, EveryStepPassesInOrderWithItsTime) {
    Scenario(R"({"signin":{"username":"trader","password":"secret-pw","token":"tok-123"},"ws":{"tokens":["tok-123"]}})");
    Start(L"AAPL", L"trader", L"secret-pw");
    ASSERT_TRUE(Finished()) << Results();
    const std::string text = Results();
    const char* steps[] = {"1. Symbol search: OK (", "found NASDAQ:AAPL", "2. Sign-in: OK (", "accepted for trader",
                           "3. Data connection: OK (", "the service's first frame after", "proxy: ",
                           "4. History: OK (", "10 daily bars, the newest of ", "5. Live quote: OK (", "last ",
                           "All steps passed"};
    size_t at = 0;
    for (const char* step : steps) {
        const size_t found = text.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << text;
        at = found;
    }
    EXPECT_EQ(text.find("secret-pw"), std::string::npos) << "never the password";
    EXPECT_EQ(text.find("tok-123"), std::string::npos) << "never the token";
    EXPECT_EQ(log.Text().find("tok-123"), std::string::npos);
    EXPECT_NE(log.Text().find("CHECK step 4 History: ok"), std::string::npos);

    // Copy puts the same text on the clipboard.
    SendMessageW(Control(kIdCopyCheck), BM_CLICK, 0, 0);
    std::wstring copied;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
            if (const wchar_t* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
                copied = chars;
                GlobalUnlock(data);
            }
        }
        CloseClipboard();
    }
    EXPECT_EQ(Narrow(copied), text);

    // Nothing was written: no cache folder, the settings file as it was.
    EXPECT_FALSE(testing_support::PathExists(database.Join(L"VelmarquinCache")));
    EXPECT_EQ(ReadFileBytes(ini), "[TradingView]\r\nTimeoutMs=1500\r\n");
}

TEST_F(ConnectionCheck, EachStepFailingStopsThereWithWhatToCheck) {
    struct Case {
        const char* name;
        const char* scenario;
        const wchar_t* ticker;
        const wchar_t* password;  // with user "trader" when not empty
        const wchar_t* cookie;
        const char* failed;       // the step that fails
        const char* said;         // in its detail
        const char* advice;
    };
    const Case cases[] = {
        {"search finds nothing", "{}", L"ZZQQX", L"", L"", "1. Symbol search: FAILED", "ZZQQX",
         "Check the ticker and the Market setting"},
        {"sign-in refused", R"({"signin":{"username":"trader","password":"right"}})", L"AAPL", L"wrong", L"",
         "2. Sign-in: FAILED", "Invalid username or password", "Check the user name and password"},
        // Refusals only a browser gets past point to the session cookie.
        {"two-factor", R"({"signin":{"username":"trader","password":"p-2fa","two_factor":true}})", L"AAPL", L"p-2fa",
         L"", "2. Sign-in: FAILED", "two-factor authentication (2FA_required)",
         "copy the value of its \"sessionid\" cookie into the Session cookie field"},
        {"captcha", R"({"signin":{"username":"trader","password":"p-robot","captcha_after":0}})", L"AAPL", L"p-robot",
         L"", "2. Sign-in: FAILED", "not a robot", "copy the value of its \"sessionid\" cookie into the Session cookie field"},
        {"cookie expired", R"({"signin":{"sessionid":"sid-x","cookie_expired":true}})", L"AAPL", L"", L"sid-x",
         "2. Sign-in: FAILED", "the session cookie has expired: copy a new one from the browser",
         "copy its \"sessionid\" cookie (and \"sessionid_sign\") again"},
        {"upgrade refused", R"({"ws":{"faults":[{"kind":"refuse","status":429}]}})", L"AAPL", L"", L"",
         "3. Data connection: FAILED", "HTTP 429", "wait a minute"},
        {"history stalls", R"({"ws":{"faults":[{"kind":"stall","on":"create_series"}]}})", L"AAPL", L"", L"",
         "4. History: FAILED", "No bars received", "raise Timeout ms"},
        {"unknown symbol", R"({"ws":{"unknown_symbols":["NASDAQ:NOPE"]}})", L"NASDAQ:NOPE", L"", L"",
         "4. History: FAILED", "invalid symbol", "Check the ticker"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario(c.scenario);
        Start(c.ticker, c.password[0] != L'\0' ? L"trader" : L"", c.password, c.cookie);
        // The window answers while a step runs.
        DWORD_PTR answer = 0;
        EXPECT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer), 0);
        ASSERT_TRUE(Finished()) << Results();
        const std::string text = Results();
        const size_t failed = text.find(c.failed);
        ASSERT_NE(failed, std::string::npos) << text;
        EXPECT_NE(text.find(c.said, failed), std::string::npos) << text;
        EXPECT_NE(text.find("What to check: ", failed), std::string::npos) << text;
        EXPECT_NE(text.find(c.advice, failed), std::string::npos) << text;
        EXPECT_EQ(text.find(". ", text.find('\n', text.find("What to check: ", failed))), std::string::npos)
            << "nothing after the failed step but the closing line\n" << text;
        if (*c.cookie != L'\0') {
            EXPECT_EQ(text.find(Narrow(c.cookie)), std::string::npos) << "never the cookie";
        }
        CloseConfigWindow();
        ASSERT_TRUE(call->Wait());
        call.reset();
    }
}

TEST_F(ConnectionCheck, ClosingTheWindowAbandonsTheCheckWithinItsBound) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* logged;  // how the thread ends
    };
    const Case cases[] = {
        // A search that answers after a second: the check stops before step 2.
        {"slow step", R"({"http":[{"path":"/symbol_search","delay_ms":1000}]})", "CHECK abandoned"},
        // A search never answered: the step ends at its time-out (1.5 s).
        {"stalled step", R"({"http":[{"path":"/symbol_search","stall":true}]})", "CHECK step 1 Symbol search: failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LogTail caseLog(LogPath());
        Scenario(c.scenario);
        Start(L"AAPL");
        Sleep(300);
        Stopwatch closing;
        CloseConfigWindow();
        ASSERT_TRUE(call->Wait(5000)) << "the window closes without waiting for the check";
        // Wine under Xvfb, with no window manager, waits 2 s for a top-level
        // window to be unmapped; the close itself does not wait for the step.
        EXPECT_LT(closing.Ms(), 3300u);
        call.reset();
        ASSERT_TRUE(ui_driver::WaitUntil([&] { return caseLog.Text().find("CHECK ended") != std::string::npos; }, 6000));
        EXPECT_LT(closing.Ms(), 1500u + 3000u) << "the thread ended with its step";
        const std::string text = caseLog.Text();
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_EQ(text.find("CHECK step 2"), std::string::npos) << "nothing after the window went";
    }
}

TEST_F(ConnectionCheck, TheStatusMenuOpensTheToolsTabWithTheCheckUnderWay) {
    Scenario("{}");
    WithState([&](PluginState& s) { s.lastTicker = L"NASDAQ:MSFT"; });
    ui_driver::HostThread host;
    host.Start([] { ShowStatusMenu(); });
    ASSERT_NE(ui_driver::WaitFor(ui_driver::OpenMenu), nullptr);
    HWND owner = ui_driver::FindTopLevel(L"VelmarquinPopupHost");
    ASSERT_NE(owner, nullptr);
    for (int i = 0; i < 6; ++i) ui_driver::PostKey(owner, VK_DOWN);  // the last item
    ui_driver::PostKey(owner, VK_RETURN);
    window = ui_driver::WaitFor([] { return FindConfigWindow(); });
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Finished()) << Results();
    EXPECT_NE(Results().find("Test connection for NASDAQ:MSFT"), std::string::npos) << Results();
    EXPECT_NE(Results().find("All steps passed"), std::string::npos) << Results();
    EXPECT_TRUE(IsWindowVisible(Control(kIdCheckResults))) << "on the Tools tab";
    CloseConfigWindow();
    EXPECT_TRUE(host.Wait());
}
