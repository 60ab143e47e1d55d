#include "foundation/settings.h"

#include <cwchar>
#include <cwctype>
#include <mutex>
#include <set>

#include "foundation/credential_store.h"
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
// A protected secret is several hundred characters longer than the secret.
constexpr unsigned kCredentialCapacity = 8192;
// The default the profile call returns for a key the file does not have (a
// value no settings file of this plug-in holds).
constexpr wchar_t kAbsent[] = L"\xFFFF";

// The values of section "TradingView" as the file holds them (each cut to
// 511 units, as the profile call reads it); absent keys are left out.
template <size_t N>
IniValues ReadIniValues(const std::wstring& path, const wchar_t* section, const wchar_t* const (&keys)[N],
                        unsigned capacity = kTextCapacity) {
    IniValues values;
    for (const wchar_t* key : keys) {
        std::wstring value = IniReadString(path, section, key, kAbsent, capacity);
        if (value != kAbsent) values.emplace(key, std::move(value));
    }
    return values;
}

// Both sections as the file holds them, the password of section
// "TradingView" (if any) as its own; the secrets of the plug-in's own
// section are laid over by WithStoredCredentials.
PluginSettings SettingsFromFile(const std::wstring& path, const PluginSettings& current, SettingsRepair& repair) {
    const PluginSettings s = SettingsFromValues(ReadIniValues(path, kSection, kSettingsKeys), current, repair);
    return OptionsFromValues(ReadIniValues(path, kOptionsSection, kOptionKeys), s);
}

// Says once per stored text (not per load) that a protected value cannot be
// read; never the value.
void ReportUnreadableOnce(const std::wstring& path, const wchar_t* key, const std::wstring& stored) {
    static std::mutex lock;
    static std::set<std::wstring> reported;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!reported.insert(std::wstring(key) + L"\n" + stored).second) return;
    }
    LogLine(std::wstring(L"CONFIG ") + key + L" in section " + kOptionsSection + L" of " + path +
            L" cannot be read by this Windows user on this computer (saved by another, or damaged); it counts as "
            L"not set: enter it again in the configuration window");
}

// The secrets of the plug-in's own section over `s`. A password in plain
// text in section "TradingView" (a file from before they were protected,
// or written by hand) is used as it is.
PluginSettings WithStoredCredentials(const std::wstring& path, PluginSettings s) {
    const IniValues stored = ReadIniValues(path, kOptionsSection, kCredentialKeys, kCredentialCapacity);
    auto reveal = [&](const wchar_t* key, std::wstring& field) {
        const auto found = stored.find(key);
        if (found == stored.end()) return;
        std::wstring value;
        if (RevealCredential(found->second, value)) {
            field = std::move(value);
        } else {
            field.clear();
            ReportUnreadableOnce(path, key, found->second);
        }
    };
    std::wstring password;
    reveal(L"Password", password);
    if (s.Password.empty()) s.Password = std::move(password);
    reveal(L"SessionCookie", s.SessionCookie);
    reveal(L"SessionCookieSign", s.SessionCookieSign);
    return s;
}

std::wstring BoolText(bool value) { return value ? L"1" : L"0"; }

// The protected text of `value` for `key` of the plug-in's own section (empty
// as empty). False when the platform refused to protect it: said in the log.
bool ProtectedText(const wchar_t* key, const std::wstring& value, std::wstring& stored) {
    stored.clear();
    if (value.empty() || ProtectCredential(value, stored)) return true;
    const bool password = std::wstring(key) == L"Password";
    LogLine(std::wstring(L"CONFIG ") + key + L" could not be protected for this Windows user; " +
            (password ? L"it stays in plain text in section TradingView" : L"not saved"));
    return false;
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
    SettingsRepair repair;
    s = WithStoredCredentials(path, SettingsFromFile(path, s, repair));
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
    // The password goes protected into the plug-in's own section, and the
    // plain key stays empty; should the platform refuse to protect it, it
    // stays where it always was. A cookie is saved protected or not at all.
    std::wstring password;
    std::wstring cookie;
    std::wstring cookieSign;
    const bool passwordProtected = ProtectedText(L"Password", s.Password, password);
    const bool cookieProtected = ProtectedText(L"SessionCookie", s.SessionCookie, cookie);
    const bool signProtected = ProtectedText(L"SessionCookieSign", s.SessionCookieSign, cookieSign);
    PluginSettings visible = s;
    if (passwordProtected) visible.Password.clear();
    WriteSettingsFile(path, visible);
    IniWriteString(path, kOptionsSection, L"BackgroundDownloads", BoolText(s.BackgroundDownloads));
    IniWriteString(path, kOptionsSection, L"Streaming", BoolText(s.Streaming));
    IniWriteString(path, kOptionsSection, L"Connections", std::to_wstring(ConnectionsValue(s.Connections)));
    if (passwordProtected) IniWriteString(path, kOptionsSection, L"Password", password);
    if (cookieProtected) IniWriteString(path, kOptionsSection, L"SessionCookie", cookie);
    if (signProtected) IniWriteString(path, kOptionsSection, L"SessionCookieSign", cookieSign);
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
    const PluginSettings inFile = SettingsFromFile(path, PluginSettings(), repair);
    if (repair.pollReset) LogLine(L"CONFIG PollSeconds was missing or <= 0; reset to 5 in " + path);
    // The repair writes section "TradingView" back as the file has it: a
    // protected password never lands there in plain text.
    if (repair.rewrite) WriteSettingsFile(path, inFile);
    const PluginSettings settings = WithStoredCredentials(path, inFile);

    const ServiceOrigins origins = ReadServiceOrigins(path);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = settings;
        s.origins = origins;
    }
    SetStatusText(ReadyStatusText());
}
