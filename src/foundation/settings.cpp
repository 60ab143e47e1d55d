#include "foundation/settings.h"

#include <cwchar>
#include <cwctype>
#include <mutex>

#include "foundation/ini_file.h"
#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/state.h"
#include "foundation/status_text.h"
#include "foundation/text.h"

namespace {

constexpr wchar_t kSection[] = L"TradingView";
constexpr wchar_t kServiceSection[] = L"Service";
constexpr unsigned kTextCapacity = 512;
constexpr unsigned kRawCapacity = 32;

// An INI value is one line: the line ends the multi-line symbol box lets a
// user type would leave every symbol after the first outside the value. They
// become commas, which separate symbols just the same.
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

std::wstring ReadText(const std::wstring& path, const wchar_t* key, const std::wstring& current) {
    return IniReadString(path, kSection, key, current, kTextCapacity);
}

bool ReadBool(const std::wstring& path, const wchar_t* key, bool current) {
    return IniReadInt(path, kSection, key, current ? 1 : 0) != 0;
}

std::wstring RawValue(const std::wstring& path, const wchar_t* key, unsigned capacity) {
    return IniReadString(path, kSection, key, L"", capacity);
}

// The integer at the start of a trimmed text (optional sign, digits); 0 when
// there are no digits. Saturates instead of overflowing.
long long LeadingInteger(const std::wstring& text) {
    const std::wstring trimmed = TrimWide(text);
    size_t i = 0;
    bool negative = false;
    if (i < trimmed.size() && (trimmed[i] == L'-' || trimmed[i] == L'+')) negative = trimmed[i++] == L'-';
    long long value = 0;
    for (; i < trimmed.size() && trimmed[i] >= L'0' && trimmed[i] <= L'9'; ++i) {
        if (value < 1000000000000LL) value = value * 10 + (trimmed[i] - L'0');
    }
    return negative ? -value : value;
}

bool IsDefaultUserAgentNeeded(const std::wstring& value) {
    return TrimWide(value).empty() || value == L"Velmarquin/1.0";
}

std::wstring BoolText(bool value) { return value ? L"1" : L"0"; }

std::wstring ReadOrigin(const std::wstring& path, const wchar_t* key, const std::wstring& fallback) {
    std::wstring value = TrimWide(IniReadString(path, kServiceSection, key, L"", kTextCapacity));
    while (!value.empty() && value.back() == L'/') value.pop_back();
    return value.empty() ? fallback : value;
}

}  // namespace

std::wstring ResolveIniPath() {
    std::wstring iniPath;
    std::wstring databaseFolder;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        iniPath = s.iniPath;
        databaseFolder = s.databaseFolder;
    }
    if (!iniPath.empty()) return iniPath;
    if (!databaseFolder.empty()) return JoinPath(databaseFolder, L"Velmarquin.ini");
    return JoinPath(ModuleFolder(), L"Velmarquin.ini");
}

void ReadSettingsFile(const std::wstring& path, PluginSettings& s) {
    s.Market = ReadText(path, L"Market", s.Market);
    s.Username = ReadText(path, L"Username", s.Username);
    s.Password = ReadText(path, L"Password", s.Password);
    s.UserAgent = ReadText(path, L"UserAgent", s.UserAgent);
    if (IsDefaultUserAgentNeeded(s.UserAgent)) s.UserAgent = kDefaultUserAgent;
    s.ExtendedHours = ReadBool(path, L"ExtendedHours", s.ExtendedHours);
    s.AdjustContracts = ReadBool(path, L"AdjustContracts", s.AdjustContracts);
    s.UseSettlementAsClose = ReadBool(path, L"UseSettlementAsClose", s.UseSettlementAsClose);
    s.ResolutionOverride = ReadText(path, L"ResolutionOverride", s.ResolutionOverride);
    s.IntradayTimeShiftMinutes = IniReadInt(path, kSection, L"IntradayTimeShiftMinutes", s.IntradayTimeShiftMinutes);
    s.EodTimeShiftDays = IniReadInt(path, kSection, L"EodTimeShiftDays", s.EodTimeShiftDays);
    s.BulkSymbols = ReadText(path, L"BulkSymbols", s.BulkSymbols);
    s.PollSeconds = IniReadInt(path, kSection, L"PollSeconds", s.PollSeconds);
    if (s.PollSeconds <= 0) s.PollSeconds = 5;
    s.DebugLogging = ReadBool(path, L"DebugLogging", s.DebugLogging);
    s.TimeoutMs = IniReadInt(path, kSection, L"TimeoutMs", s.TimeoutMs);
}

void WriteSettingsFile(const std::wstring& path, const PluginSettings& s) {
    IniWriteString(path, kSection, L"Market", s.Market);
    IniWriteString(path, kSection, L"Username", s.Username);
    IniWriteString(path, kSection, L"Password", s.Password);
    IniWriteString(path, kSection, L"UserAgent", s.UserAgent);
    IniWriteString(path, kSection, L"ExtendedHours", BoolText(s.ExtendedHours));
    IniWriteString(path, kSection, L"AdjustContracts", BoolText(s.AdjustContracts));
    IniWriteString(path, kSection, L"UseSettlementAsClose", BoolText(s.UseSettlementAsClose));
    IniWriteString(path, kSection, L"ResolutionOverride", s.ResolutionOverride);
    IniWriteString(path, kSection, L"IntradayTimeShiftMinutes", std::to_wstring(s.IntradayTimeShiftMinutes));
    IniWriteString(path, kSection, L"EodTimeShiftDays", std::to_wstring(s.EodTimeShiftDays));
    IniWriteString(path, kSection, L"BulkSymbols", OneLineSymbolList(s.BulkSymbols));
    IniWriteString(path, kSection, L"PollSeconds", std::to_wstring(s.PollSeconds));
    IniWriteString(path, kSection, L"DebugLogging", BoolText(s.DebugLogging));
    IniWriteString(path, kSection, L"TimeoutMs", std::to_wstring(s.TimeoutMs));
}

ServiceOrigins ReadServiceOrigins(const std::wstring& path) {
    const ServiceOrigins defaults;
    ServiceOrigins origins;
    origins.symbolSearch = ReadOrigin(path, L"SymbolSearchOrigin", defaults.symbolSearch);
    origins.web = ReadOrigin(path, L"WebOrigin", defaults.web);
    origins.data = ReadOrigin(path, L"DataOrigin", defaults.data);
    return origins;
}

void LoadSettings() {
    const std::wstring path = ResolveIniPath();
    PluginSettings settings;
    if (!FileExists(path)) WriteSettingsFile(path, settings);
    ReadSettingsFile(path, settings);

    bool rewrite = false;
    if (IsDefaultUserAgentNeeded(IniReadString(path, kSection, L"UserAgent", L"", kTextCapacity))) rewrite = true;
    if (TrimWide(RawValue(path, L"AdjustContracts", kRawCapacity)).empty()) {
        settings.AdjustContracts = true;
        rewrite = true;
    }
    const std::wstring rawPoll = RawValue(path, L"PollSeconds", kRawCapacity);
    if (TrimWide(rawPoll).empty() || LeadingInteger(rawPoll) <= 0) {
        settings.PollSeconds = 5;
        LogLine(L"CONFIG PollSeconds was missing or <= 0; reset to 5 in " + path);
        rewrite = true;
    }
    if (TrimWide(RawValue(path, L"DebugLogging", kRawCapacity)).empty()) rewrite = true;
    if (rewrite) WriteSettingsFile(path, settings);

    const ServiceOrigins origins = ReadServiceOrigins(path);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = settings;
        s.origins = origins;
    }
    SetStatusText(ReadyStatusText());
}

std::wstring NormalizeResolutionOverride(const std::wstring& text) {
    std::wstring value = TrimWide(text);
    if (value.empty()) return L"auto";
    for (wchar_t& unit : value) unit = static_cast<wchar_t>(std::towupper(unit));
    if (value == L"AUTO") return L"auto";
    return value;
}
