// The settings file's values from arbitrary text (lines of key=value; any
// byte a unit of its own): never crashes, and the record the plug-in runs
// with keeps its promises: a positive PollSeconds, a user agent to send, and
// the repair asked for whenever a key it needs was missing. A credential's
// stored text is read as plain, protected or damaged, and a protected one's
// bytes make the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/settings_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    IniValues values;
    std::wstring line;
    auto take = [&] {
        const size_t eq = line.find(L'=');
        if (eq != std::wstring::npos) {
            // The key names one of the fourteen by its first unit; the rest is the value.
            const wchar_t* key = kSettingsKeys[line.empty() ? 0 : static_cast<size_t>(line[0]) % 14];
            values[key] = line.substr(eq + 1);
        }
        line.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            take();
        } else {
            line.push_back(static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0xFF00 + data[i]));
        }
    }
    take();

    SettingsRepair repair;
    const PluginSettings s = SettingsFromValues(values, PluginSettings(), repair);
    if (s.PollSeconds <= 0) std::abort();
    if (s.UserAgent.empty()) std::abort();
    if (values.count(L"PollSeconds") == 0 && !repair.pollReset) std::abort();
    if ((values.count(L"UserAgent") == 0 || values.count(L"DebugLogging") == 0) && !repair.rewrite) std::abort();
    for (const auto& kv : values) {
        IniInteger(kv.second);
        OneLineSymbolList(kv.second);
        if (OriginValue(kv.second, L"x").empty()) std::abort();
        NormalizeResolutionOverride(kv.second);
        std::string blob;
        const CredentialForm form = ReadCredentialForm(kv.second, blob);
        if ((form == CredentialForm::Protected) == blob.empty()) std::abort();
        if (form == CredentialForm::Protected) {
            std::string again;
            if (ReadCredentialForm(ProtectedCredentialText(blob), again) != CredentialForm::Protected || again != blob) {
                std::abort();
            }
        }
    }
    return 0;
}
