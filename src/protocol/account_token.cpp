#include "protocol/account_token.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/jwt.h"
#include "protocol/sign_in.h"

namespace {

constexpr std::uint32_t kRefusedPauseMs = 15 * 60 * 1000;
// A sign-in that could not reach the web site is tried again sooner.
constexpr std::uint32_t kUnreachablePauseMs = 60 * 1000;
// A token is renewed this long before its expiry (or, for a short-lived
// one, when a quarter of its life is left).
constexpr std::int64_t kRenewBeforeSeconds = 60;

// Guarded by g_lock (alone).
std::mutex g_lock;
std::condition_variable g_signal;
std::uint64_t g_credentials = 0;  // a fingerprint of the user name and password the state belongs to
std::string g_token;
std::int64_t g_expiry = 0;        // Unix seconds; 0: the token says none
std::int64_t g_signedInAt = 0;    // Unix seconds of the sign-in that gave the token
bool g_tokenRefused = false;      // the service refused it: sign in again
std::uint32_t g_refusedTokenTick = 0;
bool g_haveRefusedToken = false;
bool g_paused = false;            // no sign-in until g_pauseEndTick
std::uint32_t g_pauseEndTick = 0;
std::wstring g_refusal;
bool g_wantsBrowser = false;      // the refusal asked for a captcha or two-factor authentication
std::wstring g_transportError;
SignInMethod g_method = SignInMethod::None;  // how the credentials sign in
std::wstring g_user;              // whose token it is: the user name, or the one the cookie's page named
bool g_signingIn = false;
std::uint64_t g_signIns = 0;

// FNV-1a over the credentials: the secrets themselves are not kept here.
std::uint64_t Fingerprint(const PluginSettings& settings) {
    std::uint64_t hash = 1469598103934665603ULL;
    auto add = [&hash](const std::wstring& text) {
        for (wchar_t c : text) {
            hash ^= static_cast<std::uint64_t>(c);
            hash *= 1099511628211ULL;
        }
        hash ^= 0xFFFF;
        hash *= 1099511628211ULL;
    };
    add(settings.Username);
    add(settings.Password);
    add(settings.SessionCookie);
    add(settings.SessionCookieSign);
    return hash;
}

void ResetLocked(std::uint64_t credentials, SignInMethod method, const std::wstring& user) {
    g_credentials = credentials;
    g_method = method;
    g_user = user;
    g_wantsBrowser = false;
    g_token.clear();
    g_expiry = 0;
    g_tokenRefused = false;
    g_haveRefusedToken = false;
    g_paused = false;
    g_refusal.clear();
    g_transportError.clear();
}

bool TokenUsableLocked() {
    if (g_token.empty() || g_tokenRefused) return false;
    return g_expiry == 0 || static_cast<std::int64_t>(std::time(nullptr)) < g_expiry;
}

bool TokenFreshLocked() {
    if (!TokenUsableLocked()) return false;
    if (g_expiry == 0) return true;
    const std::int64_t margin = std::min(kRenewBeforeSeconds, std::max<std::int64_t>(0, g_expiry - g_signedInAt) / 4);
    return static_cast<std::int64_t>(std::time(nullptr)) < g_expiry - margin;
}

AccountToken Anonymous() { return AccountToken{kAnonymousToken, std::string()}; }

}  // namespace

AccountToken TokenFor(const PluginSettings& settings, std::uint32_t deadlineTick) {
    const SignInMethod method = SignInMethodOf(settings);
    if (method == SignInMethod::None) {
        // Credentials cleared: the account's token and words go with them.
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_credentials != 0) ResetLocked(0, SignInMethod::None, std::wstring());
        return Anonymous();
    }
    const std::uint64_t credentials = Fingerprint(settings);
    // Whose token: it keeps connections of different accounts apart. A
    // cookie's user is known only from its page, so the cookie stands for it.
    const std::string account = method == SignInMethod::Cookie ? std::string("(session cookie)")
                                                               : WideToUtf8(settings.Username);
    {
        std::unique_lock<std::mutex> lock(g_lock);
        if (credentials != g_credentials) {
            ResetLocked(credentials, method, method == SignInMethod::Password ? settings.Username : std::wstring());
        }
        for (;;) {
            if (TokenFreshLocked()) return AccountToken{g_token, account};
            if (g_paused && BeforeDeadline(TickCount32(), g_pauseEndTick)) {
                return TokenUsableLocked() ? AccountToken{g_token, account} : Anonymous();
            }
            if (!g_signingIn) break;
            // Another thread is signing in: its answer serves this one too.
            const std::uint32_t now = TickCount32();
            if (!BeforeDeadline(now, deadlineTick)) {
                return TokenUsableLocked() ? AccountToken{g_token, account} : Anonymous();
            }
            g_signal.wait_for(lock, std::chrono::milliseconds(deadlineTick - now));
            if (credentials != g_credentials) return Anonymous();
        }
        g_signingIn = true;
        ++g_signIns;
    }
    SignInAnswer answer;
    try {
        answer = SignInToService(settings);
    } catch (...) {
        answer.transportError = L"sign-in failed";
    }
    AccountToken result = Anonymous();
    bool refusedNow = false;
    std::int64_t expiry = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_signingIn = false;
        if (credentials == g_credentials) {
            if (!answer.token.empty()) {
                g_token = answer.token;
                g_expiry = expiry = JwtExpiry(answer.token);
                g_signedInAt = static_cast<std::int64_t>(std::time(nullptr));
                g_tokenRefused = false;
                g_paused = false;
                g_refusal.clear();
                g_wantsBrowser = false;
                g_transportError.clear();
                if (method == SignInMethod::Cookie) g_user = answer.username;
                result = AccountToken{g_token, account};
            } else {
                g_paused = true;
                g_pauseEndTick = TickCount32() + (answer.refusal.empty() ? kUnreachablePauseMs : kRefusedPauseMs);
                refusedNow = !answer.refusal.empty() && answer.refusal != g_refusal;
                g_refusal = answer.refusal;
                g_wantsBrowser = answer.wantsBrowser;
                g_transportError = answer.transportError;
                if (TokenUsableLocked()) result = AccountToken{g_token, account};
            }
        }
    }
    g_signal.notify_all();
    // Who signs in, for the log: never the password or the cookie.
    const std::wstring who = method == SignInMethod::Cookie
                                 ? L"by session cookie user=" + (answer.username.empty() ? L"(not said)" : answer.username)
                                 : L"user=" + settings.Username;
    if (!answer.token.empty()) {
        LogLine(L"ACCOUNT signed in " + who + L" expires=" +
                (expiry > 0 ? std::to_wstring(expiry) : std::wstring(L"(not said)")));
    } else if (!answer.refusal.empty()) {
        LogLine(L"ACCOUNT sign-in refused " + who + L": " + answer.refusal + L"; anonymous data for 15 minutes");
        if (refusedNow) {
            SetStatusText(L"TradingView sign-in refused: " + answer.refusal + L" - using anonymous data");
        }
    } else {
        LogLine(L"ACCOUNT sign-in failed " + who + L": " + answer.transportError +
                L"; anonymous data for a minute");
    }
    return result;
}

void ReportRefusedToken(const std::string& token) {
    bool pausedNow = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (token.empty() || token != g_token) return;
        const std::uint32_t now = TickCount32();
        if (g_haveRefusedToken && now - g_refusedTokenTick < kRefusedPauseMs) {
            // Renewed once already and refused again: no more sign-ins for now.
            g_paused = true;
            g_pauseEndTick = now + kRefusedPauseMs;
            pausedNow = g_refusal != L"bad auth token";
            g_refusal = L"bad auth token";
            g_token.clear();
        } else {
            g_tokenRefused = true;
        }
        g_haveRefusedToken = true;
        g_refusedTokenTick = now;
    }
    LogLine(std::wstring(L"ACCOUNT the service refused the token") +
            (pausedNow ? L" again; anonymous data for 15 minutes" : L"; signing in again"));
    if (pausedNow) SetStatusText(L"TradingView sign-in refused: bad auth token - using anonymous data");
}

AccountStanding CurrentAccountStanding(const PluginSettings& settings) {
    AccountStanding standing;
    std::lock_guard<std::mutex> lock(g_lock);
    if (Fingerprint(settings) != g_credentials) return standing;
    standing.signedIn = TokenUsableLocked();
    standing.user = g_user;
    standing.refusal = g_refusal;
    standing.wantsBrowser = g_wantsBrowser;
    standing.transportError = g_transportError;
    return standing;
}

std::wstring DescribeAccount() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_method == SignInMethod::None) return L"anonymous";
    if (TokenUsableLocked()) {
        const std::wstring user = g_user.empty() ? std::wstring() : L" as " + g_user;
        return (g_method == SignInMethod::Cookie ? L"signed in by session cookie" : L"signed in") + user;
    }
    if (!g_refusal.empty()) return L"anonymous: sign-in refused (" + g_refusal + L")";
    if (!g_transportError.empty()) return L"anonymous: the sign-in site could not be reached";
    return L"not signed in yet";
}

void ForgetAccountToken() {
    std::lock_guard<std::mutex> lock(g_lock);
    ResetLocked(0, SignInMethod::None, std::wstring());
}

std::uint64_t SignInCount() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_signIns;
}
