// The text rules of the settings file, apart from the file itself: the
// values as read (a key absent from the file is absent from the map) become
// the settings record, and what needs repair is said. Integers are read
// here, not by the platform's profile-integer call, whose handling of
// negative values Windows documents differently from what Wine does. Pure
// functions, no Windows header; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "foundation/settings_record.h"

using IniValues = std::map<std::wstring, std::wstring>;

struct SettingsRepair {
    bool rewrite = false;    // the file needs the record written back
    bool pollReset = false;  // PollSeconds was missing or <= 0 and is now 5
};

// The fourteen keys of section "TradingView", in the file's order.
extern const wchar_t* const kSettingsKeys[14];
// The plug-in's own section and its keys; an absent key means its default.
inline constexpr wchar_t kOptionsSection[] = L"Velmarquin";
extern const wchar_t* const kOptionKeys[3];

// The account's secrets in the plug-in's own section: each either plain
// text, or "protected:" and the base64 of what the user's data protection
// made of it.
extern const wchar_t* const kCredentialKeys[3];
inline constexpr wchar_t kProtectedPrefix[] = L"protected:";
enum class CredentialForm { Plain, Protected, Damaged };
// What a credential key holds; `blob` gets the protected bytes.
CredentialForm ReadCredentialForm(const std::wstring& stored, std::string& blob);
std::wstring ProtectedCredentialText(const std::string& blob);

// `current` with the values of section "Velmarquin" laid over it.
PluginSettings OptionsFromValues(const IniValues& values, PluginSettings current);

// `current` with the file's values laid over it: texts as they are (the
// default user agent where none is usable), integers and booleans by
// IniInteger (a boolean is true when not 0), then the repairs.
PluginSettings SettingsFromValues(const IniValues& values, PluginSettings current, SettingsRepair& repair);

// The integer at the start of the trimmed text: an optional sign and decimal
// digits; 0 when there are none (as the profile call reads non-numeric
// text); held within the 32-bit range.
std::int32_t IniInteger(const std::wstring& text);

// The symbol list as one line: line ends become commas.
std::wstring OneLineSymbolList(const std::wstring& text);
bool IsDefaultUserAgentNeeded(const std::wstring& value);
// A [Service] origin: trimmed, trailing slashes removed; `fallback` when empty.
std::wstring OriginValue(const std::wstring& text, const std::wstring& fallback);

// Trimmed and upper-cased, with empty and any case of "auto" giving "auto".
std::wstring NormalizeResolutionOverride(const std::wstring& text);
