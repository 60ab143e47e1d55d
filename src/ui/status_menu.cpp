#include "ui/status_menu.h"

#include <mutex>
#include <string>
#include <vector>

#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/history_fetch.h"
#include "storage/disk_cache.h"
#include "ui/bulk_update.h"
#include "ui/config_window.h"
#include "ui/desktop.h"
#include "ui/ui_handles.h"

namespace {

constexpr wchar_t kPopupClass[] = L"VelmarquinPopupHost";
constexpr wchar_t kTitle[] = L"Velmarquin";
constexpr wchar_t kRedownloadTitle[] = L"Velmarquin - Re-download";
constexpr size_t kMessageBuffer = 256;

// The hidden window that owns the menu, created on first use and kept; the
// foreground window when it cannot be had.
HWND MenuOwner() {
    if (!RegisterPluginClass(&PluginState::popupClassRegistered, kPopupClass, DefWindowProcW, nullptr)) {
        return GetForegroundWindow();
    }
    PluginState& s = State();
    HWND existing = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.stateLock);
        existing = static_cast<HWND>(s.popupHostWindow);
    }
    if (existing != nullptr && IsWindow(existing)) return existing;
    HWND created = CreateWindowExW(0, kPopupClass, L"", 0, CW_USEDEFAULT, CW_USEDEFAULT, 1, 1, nullptr, nullptr,
                                   PluginInstance(), nullptr);
    if (created == nullptr) return GetForegroundWindow();
    ShowWindow(created, SW_HIDE);
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.popupHostWindow = created;
    return created;
}

UINT TrackStatusMenu(HWND owner) {
    POINT cursor{};
    GetCursorPos(&cursor);
    MenuHandle menu(CreatePopupMenu());
    if (menu.Get() == nullptr) return 0;
    AppendMenuW(menu.Get(), MF_STRING, kCmdOpenConfiguration, L"Open configuration");
    AppendMenuW(menu.Get(), MF_STRING, kCmdOpenTechnicalGuide, L"Open technical guide");
    AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.Get(), MF_STRING, kCmdRedownloadQuotes, L"Re-download quotes");
    AppendMenuW(menu.Get(), MF_STRING, kCmdClearCache, L"Clear cache");
    AppendMenuW(menu.Get(), MF_STRING, kCmdBulkUpdate, L"Bulk update");
    AppendMenuW(menu.Get(), MF_STRING, kCmdTestConnection, L"Test connection");
    const UINT flags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;
    if (owner == nullptr) {
        return static_cast<UINT>(TrackPopupMenu(menu.Get(), flags, cursor.x, cursor.y, 0, nullptr, nullptr));
    }
    SetForegroundWindow(owner);
    SetActiveWindow(owner);
    const UINT command = static_cast<UINT>(TrackPopupMenu(menu.Get(), flags, cursor.x, cursor.y, 0, owner, nullptr));
    PostMessageW(owner, WM_NULL, 0, 0);
    return command;
}

void OpenConfigurationFromMenu(ConfigOpening opening) {
    PluginSettings edited = CopySettings();
    OpenConfigWindow(ResolveIniPath(), edited, opening);
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.settings = edited;
}

std::wstring RunBulkUpdateShowingWait(const PluginSettings& settings, const std::wstring& symbols) {
    WaitCursor wait;
    return RunBulkUpdate(settings, symbols);
}

std::wstring RedownloadedText(size_t bars, const std::wstring& ticker) {
    std::wstring text = L"Re-downloaded " + std::to_wstring(bars) + L" bars for " + ticker +
                        L".\n\nIf AmiBroker does not repaint immediately, refresh the chart or switch "
                        L"symbol/timeframe once.";
    if (text.size() > kMessageBuffer - 1) text.resize(kMessageBuffer - 1);
    return text;
}

}  // namespace

void RedownloadQuotes(HWND owner) {
    ClearCache();
    SetStatusText(L"Re-download requested: cache cleared");
    PluginSettings settings;
    std::wstring ticker;
    int periodicity = 0;
    int requestedBars = 0;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        settings = s.settings;
        ticker = s.lastTicker;
        periodicity = s.lastPeriodicity;
        requestedBars = s.lastBars;
    }

    if (!TrimWide(ticker).empty()) {
        WaitCursor wait;
        std::vector<Bar> bars;
        std::wstring error;
        if (FetchBars(ticker, periodicity, requestedBars, bars, error)) {
            SetStatusText(L"Re-download OK: " + ticker);
            NotifyHostStreaming(true);
            ShowMessageBox(owner, RedownloadedText(bars.size(), ticker), kRedownloadTitle, MB_OK | MB_ICONINFORMATION);
        } else {
            wait.Restore();
            SetStatusText(L"Re-download failed: " + error);
            ShowMessageBox(owner, L"Re-download failed for " + ticker + L":\n\n" + error, kRedownloadTitle,
                           MB_OK | MB_ICONERROR);
        }
        return;
    }

    const std::wstring symbols = TrimWide(settings.BulkSymbols);
    if (!symbols.empty()) {
        ShowMessageBox(owner, RunBulkUpdateShowingWait(settings, symbols), kRedownloadTitle, MB_OK | MB_ICONINFORMATION);
        return;
    }
    ShowMessageBox(owner,
                   L"Downloaded quote cache cleared.\n\nAmiBroker will re-download the quotes on the next chart "
                   L"refresh or symbol request.",
                   kRedownloadTitle, MB_OK | MB_ICONINFORMATION);
}

void ShowStatusMenu() {
    // The menu's loop and what its commands run happen on the host's thread.
    const ModuleHold hold;
    HWND owner = MenuOwner();
    switch (TrackStatusMenu(owner)) {
    case kCmdOpenConfiguration:
        OpenConfigurationFromMenu(ConfigOpening::Normal);
        break;
    case kCmdTestConnection:
        // The configuration window on its Tools tab, the check under way.
        OpenConfigurationFromMenu(ConfigOpening::ConnectionCheck);
        break;
    case kCmdOpenTechnicalGuide:
        OpenTechnicalGuide();
        break;
    case kCmdClearCache:
        ClearCache();
        ShowMessageBox(owner != nullptr ? owner : GetForegroundWindow(), L"Cache cleared.", kTitle,
                       MB_OK | MB_ICONINFORMATION);
        break;
    case kCmdBulkUpdate: {
        const PluginSettings settings = CopySettings();
        const std::wstring summary = RunBulkUpdateShowingWait(settings, settings.BulkSymbols);
        ShowMessageBox(GetForegroundWindow(), summary, kTitle, MB_OK | MB_ICONINFORMATION);
        break;
    }
    case kCmdRedownloadQuotes:
        RedownloadQuotes(owner != nullptr ? owner : GetForegroundWindow());
        break;
    default:
        break;
    }
}
