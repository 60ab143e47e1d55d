#include "protocol/sign_in.h"

#include "foundation/state.h"
#include "foundation/text.h"
#include "net/http_client.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/sign_in_text.h"

const char kAnonymousToken[] = "unauthorized_user_token";

namespace {

SignInAnswer SignInWithPassword(const PluginSettings& settings) {
    SignInAnswer answer;
    const std::wstring body = L"username=" + Utf8ToWide(FormEncode(settings.Username)) + L"&password=" +
                              Utf8ToWide(FormEncode(settings.Password)) + L"&remember=on";
    std::wstring error;
    const std::string reply =
        HttpPost(CopyServiceOrigins().web + L"/accounts/signin/", settings.UserAgent, settings.TimeoutMs, body, error);
    if (reply.empty()) {
        answer.transportError = error.empty() ? L"no answer" : error;
        return answer;
    }
    answer.token = JsonStringField(reply, "auth_token", 0);
    if (answer.token.empty()) {
        const SignInRefusal refusal = ReadSignInRefusal(reply);
        answer.refusal = Utf8ToWide(refusal.words);
        answer.wantsBrowser = refusal.wantsBrowser;
    }
    return answer;
}

// The chart page as the browser gets it with the account's cookie: the
// signed-in user's page carries the token, a visitor's page none.
SignInAnswer SignInWithCookie(const PluginSettings& settings) {
    SignInAnswer answer;
    const std::wstring cookie = TrimWide(settings.SessionCookie);
    const std::wstring sign = TrimWide(settings.SessionCookieSign);
    if (!IsCookieValue(cookie) || (!sign.empty() && !IsCookieValue(sign))) {
        answer.refusal = L"the session cookie is not a cookie's value: copy the value of sessionid alone";
        return answer;
    }
    const std::wstring header =
        L"Cookie: sessionid=" + cookie + (sign.empty() ? std::wstring() : L"; sessionid_sign=" + sign) + L"\r\n";
    std::string page;
    std::wstring error;
    if (!HttpGet(CopyServiceOrigins().web + L"/chart/", settings.UserAgent, settings.TimeoutMs, page, error, nullptr,
                 header)) {
        answer.transportError = error.empty() ? L"no answer" : error;
        return answer;
    }
    answer.token = AuthTokenInPage(page);
    if (answer.token.empty()) {
        answer.refusal = kExpiredCookieWords;
    } else {
        answer.username = Utf8ToWide(UsernameInPage(page));
    }
    return answer;
}

}  // namespace

SignInMethod SignInMethodOf(const PluginSettings& settings) {
    if (!TrimWide(settings.SessionCookie).empty()) return SignInMethod::Cookie;
    if (!settings.Username.empty() && !settings.Password.empty()) return SignInMethod::Password;
    return SignInMethod::None;
}

SignInAnswer SignInToService(const PluginSettings& settings) {
    switch (SignInMethodOf(settings)) {
        case SignInMethod::Cookie: return SignInWithCookie(settings);
        case SignInMethod::Password: return SignInWithPassword(settings);
        case SignInMethod::None: break;
    }
    return SignInAnswer();
}
