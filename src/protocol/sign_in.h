// Signing in to the service's web site for the account's token: one HTTPS
// form post with the user name and password, or, when the browser's session
// cookie is set, one GET of the web host's chart page with that cookie,
// which carries the signed-in user's token. The token and the cookie are
// the secrets of the account's session: never logged or shown. Any thread.
#pragma once

#include <string>

#include "foundation/settings_record.h"

struct SignInAnswer {
    std::string token;             // the account's token; empty when refused or unreachable
    std::wstring refusal;          // what the service said when it refused ("Invalid username or password")
    std::wstring transportError;   // why the site could not be reached
    std::wstring username;         // whose page the cookie opened (cookie sign-in), when it says
    bool wantsBrowser = false;     // refused for a captcha or two-factor authentication
};

// How `settings` sign in: by the session cookie when one is set, else by the
// user name and password when both are, else not at all.
enum class SignInMethod { None, Password, Cookie };
SignInMethod SignInMethodOf(const PluginSettings& settings);

SignInAnswer SignInToService(const PluginSettings& settings);

// The token an anonymous session uses.
extern const char kAnonymousToken[];
