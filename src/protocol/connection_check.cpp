#include "protocol/connection_check.h"

#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <thread>
#include <vector>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/http_client.h"
#include "net/proxy_info.h"
#include "protocol/history_fetch.h"
#include "protocol/host_time.h"
#include "protocol/live_quote_poll.h"
#include "protocol/account_token.h"
#include "protocol/service_session.h"
#include "protocol/symbol_routing.h"

namespace {

constexpr int kHistoryBars = 10;

const wchar_t kProxyAdvice[] =
    L"Check the proxy or firewall: this computer could not talk to the service (a company network may need its "
    L"proxy set in the Windows proxy settings, or allow connections to the service).";
const wchar_t kTickerAdvice[] =
    L"Check the ticker and the Market setting on the Connection tab; writing the exchange before the ticker "
    L"(NASDAQ:AAPL) skips the search.";
const wchar_t kAccountAdvice[] = L"Check the user name and password on the Connection tab.";
const wchar_t kBrowserSignInAdvice[] =
    L" The service asks this account for a captcha or a second factor, which a program cannot give: sign in with "
    L"the browser, copy the value of its \"sessionid\" cookie into the Session cookie field on the Connection tab "
    L"(and \"sessionid_sign\" into the field below it).";
const wchar_t kCookieAdvice[] =
    L"Sign in to the service in the browser, then copy its \"sessionid\" cookie (and \"sessionid_sign\") again into "
    L"the Session cookie fields on the Connection tab.";

// A price as a trader reads it: six significant digits, no trailing zeros.
std::wstring Price(double value) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.6g", value);
    return text;
}

CheckStep NewStep(int number, const wchar_t* name) {
    CheckStep step;
    step.number = number;
    step.name = name;
    return step;
}

class StepClock {
public:
    std::uint64_t Ms() const { return TickCount64() - start_; }

private:
    std::uint64_t start_ = TickCount64();
};

struct Check {
    Check(const std::wstring& t, const PluginSettings& s, const CheckHooks& h) : ticker(t), settings(s), hooks(h) {}

    const std::wstring& ticker;
    const PluginSettings& settings;
    const CheckHooks& hooks;
    std::string symbolId;

    bool Report(CheckStep step) {
        LogLine(L"CHECK step " + std::to_wstring(step.number) + L" " + step.name + L": " +
                (step.outcome == CheckOutcome::Failed ? L"failed" : step.outcome == CheckOutcome::Skipped ? L"skipped" : L"ok") +
                L" ms=" + std::to_wstring(step.ms) + L" " + step.detail);
        if (hooks.onStep) hooks.onStep(step);
        return step.outcome != CheckOutcome::Failed;
    }

    bool Search() {
        CheckStep step = NewStep(1, L"Symbol search");
        const StepClock clock;
        if (ticker.find(L':') != std::wstring::npos) {
            symbolId = WideToUtf8(ticker);
            step.outcome = CheckOutcome::Skipped;
            step.detail = L"the ticker names its exchange (" + ticker + L"): no search needed";
            return Report(step);
        }
        std::wstring tried;
        HttpFailure failure = HttpFailure::None;
        CandidateLoopHooks loop;
        loop.beforeTry = [&tried](const std::wstring& market, const std::wstring& query) {
            tried += (tried.empty() ? L"" : L", ") + (L"\"" + query + L"\" as " + market);
        };
        loop.finalError = L"no symbol found";
        loop.lastFailure = &failure;
        std::wstring error;
        const bool found = ResolveTickerSymbol(ticker, settings, loop, symbolId, error);
        step.ms = clock.Ms();
        if (found) {
            step.detail = L"found " + Utf8ToWide(symbolId) + L" (searched " + tried + L")";
            return Report(step);
        }
        step.outcome = CheckOutcome::Failed;
        step.detail = error + L" (searched " + tried + L")";
        step.advice = failure == HttpFailure::Transport || failure == HttpFailure::Setup ? kProxyAdvice : kTickerAdvice;
        return Report(step);
    }

    bool SignIn() {
        CheckStep step = NewStep(2, L"Sign-in");
        const SignInMethod method = SignInMethodOf(settings);
        if (method == SignInMethod::None) {
            step.outcome = CheckOutcome::Skipped;
            step.detail = L"no session cookie, user name or password: the data is anonymous (delayed where the "
                          L"exchange asks for it)";
            return Report(step);
        }
        const bool byCookie = method == SignInMethod::Cookie;
        const StepClock clock;
        // The plug-in's one sign-in: a token it holds for these credentials
        // is used as it is, and a refusal is not asked again for a while.
        const AccountToken token =
            TokenFor(settings, TickCount32() + 2u * static_cast<std::uint32_t>(EffectiveTimeoutMs(settings.TimeoutMs)));
        const AccountStanding standing = CurrentAccountStanding(settings);
        step.ms = clock.Ms();
        if (!token.account.empty()) {
            const std::wstring user = standing.user.empty() ? std::wstring(L"the account") : standing.user;
            step.detail = byCookie ? L"signed in by session cookie as " + user : L"accepted for " + user;
            return Report(step);
        }
        step.outcome = CheckOutcome::Failed;
        if (!standing.transportError.empty()) {
            step.detail = L"the web site could not be reached: " + standing.transportError;
            step.advice = kProxyAdvice;
        } else {
            const std::wstring refusal =
                standing.refusal.empty() ? std::wstring(L"the service did not accept the user name and password")
                                         : standing.refusal;
            step.detail = (byCookie ? L"the session cookie was refused: \"" : L"refused; the service said: \"") +
                          refusal + L"\"";
            step.advice = byCookie ? std::wstring(kCookieAdvice)
                                   : std::wstring(kAccountAdvice) + (standing.wantsBrowser ? kBrowserSignInAdvice : L"");
            step.advice += L" A refused sign-in is tried again after 15 minutes, or at once when the credentials change.";
        }
        return Report(step);
    }

    bool DataConnection() {
        CheckStep step = NewStep(3, L"Data connection");
        const StepClock clock;
        Channel connection;
        std::wstring error;
        const std::wstring proxy = DescribeProxy();
        std::uint32_t status = 0;
        ChannelRequest request = ChannelRequestFor(settings, Priority::Host);
        request.refusedStatus = &status;
        if (!OpenChannel(request, connection, error)) {
            step.ms = clock.Ms();
            step.outcome = CheckOutcome::Failed;
            step.detail = error + (status != 0 ? L" (the service answered HTTP " + std::to_wstring(status) + L")" : L"") +
                          L"; proxy: " + proxy;
            step.advice = status == 429 ? L"The service refuses new connections from this address for now (too many "
                                          L"at once): wait a minute or two and try again."
                                        : kProxyAdvice;
            return Report(step);
        }
        if (!connection.FreshConnection()) {
            // The plug-in's session already has a connection open: it is
            // the one the data comes over.
            step.ms = clock.Ms();
            const std::uint32_t heardMs = TickCount32() - connection.LastFrameTick();
            step.detail = L"the plug-in's open connection " + std::to_wstring(connection.ConnectionNumber()) +
                          L" is in use, last heard from " + std::to_wstring(heardMs) + L" ms ago; proxy: " + proxy;
            return Report(step);
        }
        const std::uint64_t upgraded = connection.UpgradeMs();
        const std::uint32_t waitMs = static_cast<std::uint32_t>(EffectiveTimeoutMs(settings.TimeoutMs));
        const std::uint64_t waitEnd = TickCount64() + waitMs;
        while (connection.FirstMessageMs() == 0 && TickCount64() < waitEnd && !connection.Retiring()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::uint32_t first = connection.FirstMessageMs();
        step.ms = clock.Ms();
        connection.Close();
        if (first == 0) {
            step.outcome = CheckOutcome::Failed;
            step.detail = L"connected in " + std::to_wstring(upgraded) + L" ms, but the service sent nothing within " +
                          std::to_wstring(waitMs) + L" ms; proxy: " + proxy;
            step.advice = L"A proxy or security program may be holding the connection back; or raise Timeout ms.";
            return Report(step);
        }
        step.detail = L"upgraded in " + std::to_wstring(upgraded) + L" ms, the service's first frame after " +
                      std::to_wstring(first) + L" ms; proxy: " + proxy;
        return Report(step);
    }

    bool History() {
        CheckStep step = NewStep(4, L"History");
        const StepClock clock;
        std::vector<Bar> bars;
        std::wstring error;
        HistoryConversation run;
        run.showProgress = false;
        const bool got = ConverseHistory(ticker, symbolId, ChannelRequestFor(settings, Priority::Host), 86400,
                                         kHistoryBars, settings, bars, error, run);
        step.ms = clock.Ms();
        if (got && !bars.empty()) {
            const int ymd = PackedYmd(bars.back().dateTime);
            wchar_t date[16];
            std::swprintf(date, 16, L"%04d-%02d-%02d", ymd / 10000, ymd / 100 % 100, ymd % 100);
            step.detail = std::to_wstring(bars.size()) + L" daily bars, the newest of " + date + L"; data " +
                          (run.updateMode.empty() ? std::wstring(L"timeliness not said") : DescribeUpdateMode(run.updateMode));
            return Report(step);
        }
        step.outcome = CheckOutcome::Failed;
        step.detail = L"the service's answer: \"" + (error.empty() ? std::wstring(L"no bars") : error) + L"\"";
        if (error.find(L"symbol error") != std::wstring::npos) {
            step.advice = kTickerAdvice;
        } else if (error.find(L"protocol error") != std::wstring::npos) {
            step.advice = std::wstring(kAccountAdvice) + L" The service did not accept the session's token.";
        } else if (error.find(L"No bars") != std::wstring::npos || error.find(L"receive") != std::wstring::npos) {
            step.advice = L"The service did not answer in time: raise Timeout ms on the Connection tab, or try again "
                          L"later (the service may be busy or down).";
        } else {
            step.advice = L"The service's own answer is quoted above.";
        }
        return Report(step);
    }

    bool Quote() {
        CheckStep step = NewStep(5, L"Live quote");
        const StepClock clock;
        RecentInfo record{};
        std::wstring error;
        const bool got = PollLiveQuote(ticker, symbolId, settings, record, error, nullptr, Priority::Host);
        step.ms = clock.Ms();
        if (got) {
            wchar_t when[40];
            std::swprintf(when, 40, L"%04d-%02d-%02d %02d:%02d:%02d", record.tradeDate / 10000,
                          record.tradeDate / 100 % 100, record.tradeDate % 100, record.tradeTime / 10000,
                          record.tradeTime / 100 % 100, record.tradeTime % 100);
            step.detail = L"last " + Price(record.last) + L", change " + Price(record.change) +
                          (record.tradeDate > 0 ? L", traded " + std::wstring(when) : std::wstring());
            return Report(step);
        }
        step.outcome = CheckOutcome::Failed;
        step.detail = L"the service's answer: \"" + error + L"\"";
        step.advice = error.find(L"quote error") != std::wstring::npos ? kTickerAdvice
                                                                       : L"The service's own answer is quoted above.";
        return Report(step);
    }
};

}  // namespace

bool RunConnectionCheck(const std::wstring& ticker, const PluginSettings& settings, const CheckHooks& hooks) {
    LogLine(L"CHECK start ticker=" + ticker);
    Check check(ticker, settings, hooks);
    using StepFn = bool (Check::*)();
    const StepFn steps[] = {&Check::Search, &Check::SignIn, &Check::DataConnection, &Check::History, &Check::Quote};
    for (const StepFn step : steps) {
        if (hooks.keepGoing && !hooks.keepGoing()) {
            LogLine(L"CHECK abandoned");
            return false;
        }
        if (!(check.*step)()) return false;
    }
    return true;
}

std::wstring FormatCheckStep(const CheckStep& step) {
    const wchar_t* outcome = step.outcome == CheckOutcome::Passed ? L"OK" : step.outcome == CheckOutcome::Skipped ? L"skipped" : L"FAILED";
    std::wstring text = std::to_wstring(step.number) + L". " + step.name + L": " + outcome;
    if (step.outcome != CheckOutcome::Skipped) text += L" (" + std::to_wstring(step.ms) + L" ms)";
    text += L"\r\n    " + step.detail + L"\r\n";
    if (!step.advice.empty()) text += L"    What to check: " + step.advice + L"\r\n";
    return text;
}
