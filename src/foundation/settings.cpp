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
// The default the profile call returns for a key the file does not have (a
// value no settings file of this plug-in holds).
constexpr wchar_t kAbsent[] = L"\xFFFF";

// The values of section "TradingView" as the file holds them (each cut to
// 511 units, as the profile call reads it); absent keys are left out.
template <size_t N>
IniValues ReadIniValues(const std::wstring& path, const wchar_t* section, const wchar_t* const (&keys)[N]) {
    IniValues values;
    for (const wchar_t* key : keys) {
        std::wstring value = IniReadString(path, section, key, kAbsent, kTextCapacity);
        if (value != kAbsent) values.emplace(key, std::move(value));
    }
    return values;
}

// Both sections: the Part-defined one and the plug-in's own.
PluginSettings SettingsFromFile(const std::wstring& path, const PluginSettings& current, SettingsRepair& repair) {
    const PluginSettings s = SettingsFromValues(ReadIniValues(path, kSection, kSettingsKeys), current, repair);
    return OptionsFromValues(ReadIniValues(path, kOptionsSection, kOptionKeys), s);
}

std::wstring BoolText(bool value) { return value ? L"1" : L"0"; }

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
    SettingsRepair repair;
    s = SettingsFromFile(path, s, repair);
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

void SaveSettingsFile(const std::wstring& path, const PluginSettings& s) {
    WriteSettingsFile(path, s);
    IniWriteString(path, kOptionsSection, L"BackgroundDownloads", BoolText(s.BackgroundDownloads));
    IniWriteString(path, kOptionsSection, L"Streaming", BoolText(s.Streaming));
    IniWriteString(path, kOptionsSection, L"Connections", std::to_wstring(ConnectionsValue(s.Connections)));
}

ServiceOrigins ReadServiceOrigins(const std::wstring& path) {
    const ServiceOrigins defaults;
    ServiceOrigins origins;
    auto read = [&path](const wchar_t* key, const std::wstring& fallback) {
        return OriginValue(IniReadString(path, kServiceSection, key, L"", kTextCapacity), fallback);
    };
    origins.symbolSearch = read(L"SymbolSearchOrigin", defaults.symbolSearch);
    origins.web = read(L"WebOrigin", defaults.web);
    origins.data = read(L"DataOrigin", defaults.data);
    return origins;
}

void LoadSettings() {
    const std::wstring path = ResolveIniPath();
    if (!FileExists(path)) WriteSettingsFile(path, PluginSettings());
    SettingsRepair repair;
    const PluginSettings settings = SettingsFromFile(path, PluginSettings(), repair);
    if (repair.pollReset) LogLine(L"CONFIG PollSeconds was missing or <= 0; reset to 5 in " + path);
    if (repair.rewrite) WriteSettingsFile(path, settings);

    const ServiceOrigins origins = ReadServiceOrigins(path);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = settings;
        s.origins = origins;
    }
    SetStatusText(ReadyStatusText());
}
