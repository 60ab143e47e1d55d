// What the web site's answers to a sign-in say: the account's token in a
// sign-in reply or in the chart page a session cookie opens, the user's
// name there, and a refusal in the trader's words. Pure; any thread.
#pragma once

#include <string>

// The string value of the first "auth_token" key of `page` whose value is a
// token (letters, digits, '.', '-', '_'; at most 8 KB): empty when the page
// carries none, as for a visitor who is not signed in ("auth_token":null).
std::string AuthTokenInPage(const std::string& page);

// The user name the signed-in page names ("username"), empty when none.
std::string UsernameInPage(const std::string& page);

// Whether `value` may be sent as a cookie's value: printable ASCII without
// space, quote, comma, semicolon or backslash, at most 4 KB, not empty.
bool IsCookieValue(const std::wstring& value);

struct SignInRefusal {
    std::string words;          // what the trader reads (UTF-8): the service's words, made plain
    bool wantsBrowser = false;  // a captcha or two-factor authentication: only the session cookie will do
};

// The refusal in a sign-in reply that carries no token.
SignInRefusal ReadSignInRefusal(const std::string& reply);

// Said when the chart page opened with the session cookie carries no token.
inline constexpr wchar_t kExpiredCookieWords[] = L"the session cookie has expired: copy a new one from the browser";
