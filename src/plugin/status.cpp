#include "plugin/status.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <mutex>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/account_token.h"
#include "protocol/quote_update.h"

namespace {
std::atomic<std::uint32_t> g_statusCallCount{0};

void CopyCut(char* destination, size_t capacity, const std::string& text) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(destination, text.data(), n);
    destination[n] = '\0';
}
// What the trader gets, after the status: " [delayed 15 min; anonymous]".
std::string StatusDetail(const std::string& updateMode) {
    const std::string timeliness = ShortUpdateMode(updateMode);
    return " [" + (timeliness.empty() ? std::string() : timeliness + "; ") + WideToUtf8(DescribeAccount()) + "]";
}

}  // namespace

void SetStatusText(const std::wstring& text) {
    bool changed = false;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        changed = s.statusText != text;
        s.statusText = text;
    }
    if (changed) {
        LogLine(L"STATUS: " + text);
    } else {
        LogDebug(L"STATUS unchanged: " + text);
    }
}

StatusLook ClassifyStatus(const std::wstring& statusText) {
    std::wstring lower = statusText;
    for (wchar_t& unit : lower) unit = static_cast<wchar_t>(std::towlower(unit));
    const auto has = [&lower](const wchar_t* word) { return lower.find(word) != std::wstring::npos; };
    if (has(L"failed") || has(L"error") || has(L"invalid")) return {0x000000C0u, "Velmarquin error"};
    if (has(L"loading") || has(L"fetch") || has(L"refreshing")) return {0x000078B4u, "Velmarquin loading"};
    return {0x00008000u, "Velmarquin ready"};
}

int FillPluginStatus(PluginStatus* status) {
    if (status == nullptr) {
        LogDebug(L"API GetPluginStatus called with null status");
        return 0;
    }
    std::wstring text;
    std::wstring lastTicker;
    std::string updateMode;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        text = s.statusText;
        lastTicker = s.lastTicker;
        // How timely the data of the ticker last asked for is.
        if (!lastTicker.empty() && !s.updateModes.empty()) {
            const std::string key = WideToUtf8(lastTicker);
            const auto entry = s.symbolCache.find(key);
            const std::string& id = entry != s.symbolCache.end() && !entry->second.symbolId.empty()
                                        ? entry->second.symbolId
                                        : key;
            const auto mode = s.updateModes.find(id);
            if (mode != s.updateModes.end()) updateMode = mode->second;
        }
    }
    std::memset(reinterpret_cast<char*>(status) + 8, 0, sizeof(PluginStatus) - 8);
    status->structSize = static_cast<std::int32_t>(sizeof(PluginStatus));
    status->statusCode = 1;
    const StatusLook look = ClassifyStatus(text);
    status->color = look.color;
    CopyCut(status->shortMessage, sizeof(status->shortMessage), look.label);
    CopyCut(status->longMessage, sizeof(status->longMessage), WideToUtf8(text) + StatusDetail(updateMode));

    const std::uint32_t n = ++g_statusCallCount;
    if (n <= 20 || n % 20 == 0) {
        LogDebug(L"API GetPluginStatus call=" + std::to_wstring(n) +
                 L" ticker=" + (lastTicker.empty() ? std::wstring(L"(none)") : lastTicker) +
                 L" statusText=" + text + L" color=" + std::to_wstring(look.color & 0xFF) + L"," +
                 std::to_wstring((look.color >> 8) & 0xFF) + L"," + std::to_wstring((look.color >> 16) & 0xFF) +
                 L" short=" + Utf8ToWide(look.label));
    }
    return 1;
}
