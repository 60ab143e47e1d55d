// The account's token for the whole plug-in: signed in once (with the
// browser's session cookie when one is set, else with the user name and
// password) and kept in memory (never logged, stored or shown) for
// every conversation, renewed shortly before it expires (the JWT's "exp") or
// when the service refuses it, and signed in again when the credentials
// change. A refused sign-in is not repeated for 15 minutes unless the
// credentials change; meanwhile the conversations go on anonymously and the
// status says so once. One sign-in at a time: other callers wait for it.
// Any thread; its lock is its own, never held together with another.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/settings_record.h"
#include "protocol/sign_in.h"

struct AccountToken {
    std::string token;    // the account's token, or the anonymous one
    std::string account;  // whose token it is (the user name, UTF-8); empty for the anonymous one
};

// The token for conversations under `settings`. Without credentials, or
// while a sign-in is refused, the anonymous one. Waits for a
// sign-in under way until `deadlineTick` at most.
AccountToken TokenFor(const PluginSettings& settings, std::uint32_t deadlineTick);

// The service refused `token` ("bad auth token"): the next TokenFor signs in
// again. A second refusal within 15 minutes counts as a refused sign-in.
void ReportRefusedToken(const std::string& token);

// How the account stands, for the connection check.
struct AccountStanding {
    bool signedIn = false;
    std::wstring user;            // whose token it is, when known
    std::wstring refusal;         // the service's words when it refused the sign-in
    bool wantsBrowser = false;    // it asked for a captcha or two-factor authentication
    std::wstring transportError;  // why the web site could not be reached
};
AccountStanding CurrentAccountStanding(const PluginSettings& settings);

// The account in a few words, for the status line: "anonymous", "signed in
// as NAME", "signed in by session cookie as NAME", "anonymous: sign-in
// refused (WORDS)" ... Never a secret.
std::wstring DescribeAccount();

// Forgets the token and every refusal (Release).
void ForgetAccountToken();

// How many sign-in requests the plug-in made (for the log and the tests).
std::uint64_t SignInCount();
