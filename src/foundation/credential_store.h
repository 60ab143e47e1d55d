// The account's secrets at rest: protected with Windows' data protection for
// the current user (only this user's account on this computer can read them
// back), kept as text in the settings file. Any thread.
#pragma once

#include <string>

// The protected text of `value` ("protected:" and base64); false when the
// platform refused.
bool ProtectCredential(const std::wstring& value, std::wstring& stored);

// The value a credential key holds: plain text as it is, a protected one
// unprotected. False when a protected value cannot be read (another user,
// another computer, a damaged text): it counts as not set.
bool RevealCredential(const std::wstring& stored, std::wstring& value);
