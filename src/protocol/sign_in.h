// Signing in to the service's web site for the account's token: one HTTPS
// form post. The token is the secret of the account's session: it is never
// logged or shown. Any thread.
#pragma once

#include <string>

#include "foundation/settings_record.h"

struct SignInAnswer {
    std::string token;             // the account's token; empty when refused or unreachable
    std::wstring refusal;          // what the service said when it refused ("Invalid username or password")
    std::wstring transportError;   // why the site could not be reached
};

SignInAnswer SignInToService(const PluginSettings& settings);

// The token an anonymous session uses.
extern const char kAnonymousToken[];
