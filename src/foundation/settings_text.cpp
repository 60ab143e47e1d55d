#include "foundation/settings_text.h"

#include <cwctype>
#include <limits>

#include "foundation/base64.h"
#include "foundation/text.h"

const wchar_t* const kSettingsKeys[14] = {
    L"Market",          L"Username",    L"Password",         L"UserAgent",    L"ExtendedHours",
    L"AdjustContracts", L"UseSettlementAsClose", L"ResolutionOverride", L"IntradayTimeShiftMinutes",
    L"EodTimeShiftDays", L"BulkSymbols", L"PollSeconds",     L"DebugLogging", L"TimeoutMs"};

const wchar_t* const kOptionKeys[3] = {L"BackgroundDownloads", L"Streaming", L"Connections"};
const wchar_t* const kCredentialKeys[3] = {L"Password", L"SessionCookie", L"SessionCookieSign"};

namespace {

const std::wstring* Find(const IniValues& values, const wchar_t* key) {
    const auto found = values.find(key);
    return found == values.end() ? nullptr : &found->second;
}

void Text(const IniValues& values, const wchar_t* key, std::wstring& field) {
    if (const std::wstring* v = Find(values, key)) field = *v;
}

void Integer(const IniValues& values, const wchar_t* key, std::int32_t& field) {
    if (const std::wstring* v = Find(values, key)) field = IniInteger(*v);
}

void Boolean(const IniValues& values, const wchar_t* key, bool& field) {
    if (const std::wstring* v = Find(values, key)) field = IniInteger(*v) != 0;
}

bool Blank(const IniValues& values, const wchar_t* key) {
    const std::wstring* v = Find(values, key);
    return v == nullptr || TrimWide(*v).empty();
}

}  // namespace

std::int32_t IniInteger(const std::wstring& text) {
    const std::wstring trimmed = TrimWide(text);
    size_t i = 0;
    bool negative = false;
    if (i < trimmed.size() && (trimmed[i] == L'-' || trimmed[i] == L'+')) negative = trimmed[i++] == L'-';
    std::int64_t value = 0;
    for (; i < trimmed.size() && trimmed[i] >= L'0' && trimmed[i] <= L'9'; ++i) {
        if (value <= std::numeric_limits<std::int32_t>::max()) value = value * 10 + (trimmed[i] - L'0');
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

PluginSettings SettingsFromValues(const IniValues& values, PluginSettings s, SettingsRepair& repair) {
    repair = SettingsRepair();
    Text(values, L"Market", s.Market);
    Text(values, L"Username", s.Username);
    Text(values, L"Password", s.Password);
    Text(values, L"UserAgent", s.UserAgent);
    if (IsDefaultUserAgentNeeded(s.UserAgent)) s.UserAgent = kDefaultUserAgent;
    Boolean(values, L"ExtendedHours", s.ExtendedHours);
    Boolean(values, L"AdjustContracts", s.AdjustContracts);
    Boolean(values, L"UseSettlementAsClose", s.UseSettlementAsClose);
    Text(values, L"ResolutionOverride", s.ResolutionOverride);
    Integer(values, L"IntradayTimeShiftMinutes", s.IntradayTimeShiftMinutes);
    Integer(values, L"EodTimeShiftDays", s.EodTimeShiftDays);
    Text(values, L"BulkSymbols", s.BulkSymbols);
    Integer(values, L"PollSeconds", s.PollSeconds);
    Boolean(values, L"DebugLogging", s.DebugLogging);
    Integer(values, L"TimeoutMs", s.TimeoutMs);

    // Repairs: a missing or unusable user agent, a missing AdjustContracts
    // (true), a PollSeconds missing or not positive (5), a missing DebugLogging.
    const std::wstring* agent = Find(values, L"UserAgent");
    if (agent == nullptr || IsDefaultUserAgentNeeded(*agent)) repair.rewrite = true;
    if (Blank(values, L"AdjustContracts")) {
        s.AdjustContracts = true;
        repair.rewrite = true;
    }
    if (Blank(values, L"PollSeconds") || IniInteger(*Find(values, L"PollSeconds")) <= 0) {
        s.PollSeconds = 5;
        repair.pollReset = true;
        repair.rewrite = true;
    }
    if (Blank(values, L"DebugLogging")) repair.rewrite = true;
    return s;
}

CredentialForm ReadCredentialForm(const std::wstring& stored, std::string& blob) {
    blob.clear();
    const std::wstring prefix = kProtectedPrefix;
    if (stored.compare(0, prefix.size(), prefix) != 0) return CredentialForm::Plain;
    std::string text;
    for (wchar_t unit : TrimWide(std::wstring_view(stored).substr(prefix.size()))) {
        if (unit >= 0x80) return CredentialForm::Damaged;
        text += static_cast<char>(unit);
    }
    if (!Base64Decode(text, blob) || blob.empty()) {
        blob.clear();
        return CredentialForm::Damaged;
    }
    return CredentialForm::Protected;
}

std::wstring ProtectedCredentialText(const std::string& blob) {
    const std::string text = Base64Encode(blob);
    return kProtectedPrefix + std::wstring(text.begin(), text.end());
}

PluginSettings OptionsFromValues(const IniValues& values, PluginSettings s) {
    Boolean(values, L"BackgroundDownloads", s.BackgroundDownloads);
    Boolean(values, L"Streaming", s.Streaming);
    if (const std::wstring* v = Find(values, L"Connections")) s.Connections = ConnectionsValue(IniInteger(*v));
    return s;
}

std::wstring OneLineSymbolList(const std::wstring& text) {
    std::wstring line;
    line.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
            line += L',';
        } else {
            line += c;
        }
    }
    return line;
}

bool IsDefaultUserAgentNeeded(const std::wstring& value) {
    return TrimWide(value).empty() || value == L"Velmarquin/1.0";
}

std::wstring OriginValue(const std::wstring& text, const std::wstring& fallback) {
    std::wstring value = TrimWide(text);
    while (!value.empty() && value.back() == L'/') value.pop_back();
    return value.empty() ? fallback : value;
}

std::wstring NormalizeResolutionOverride(const std::wstring& text) {
    std::wstring value = TrimWide(text);
    if (value.empty()) return L"auto";
    for (wchar_t& unit : value) unit = static_cast<wchar_t>(std::towupper(unit));
    if (value == L"AUTO") return L"auto";
    return value;
}
