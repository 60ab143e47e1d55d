#include "plugin/notify.h"

#include <cstdint>
#include <mutex>
#include <string>

#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "plugin/session_state.h"
#include "polling/download_worker.h"
#include "storage/memory_cache.h"
#include "ui/config_window.h"
#include "ui/status_menu.h"

namespace {

constexpr int kDatabaseLoaded = 1;
constexpr int kDatabaseUnloaded = 2;
constexpr int kSettingsChanged = 4;
constexpr int kStatusRightClick = 8;
constexpr size_t kFormat4TickerOffset = 270;

// A NUL-terminated ticker inside a host symbol record, decoded as UTF-8.
std::wstring TickerAt(const void* record, size_t offset) {
    if (record == nullptr) return {};
    return Utf8ToWide(static_cast<const char*>(record) + offset);
}

// Remembers the symbol the notification names; true when it named one.
bool RememberCurrentTicker(const PluginNotification& n) {
    const std::wstring older = TickerAt(n.currentSymbol, 0);
    if (!older.empty()) {
        LogDebug(L"API Notify current StockInfo ticker=" + older);
        RememberTicker(older, 0, 0);
        return true;
    }
    const std::wstring newer = TickerAt(n.currentSymbolFormat4, kFormat4TickerOffset);
    if (!newer.empty()) {
        LogDebug(L"API Notify current StockInfoFormat4 ticker=" + newer);
        RememberTicker(newer, 0, 0);
        return true;
    }
    LogDebug(L"API Notify has no current ticker");
    return false;
}

}  // namespace

int HandleNotify(const PluginNotification* notification) {
    if (notification == nullptr) {
        LogDebug(L"API Notify called with null data");
        return 1;
    }
    const PluginNotification& n = *notification;
    const std::wstring path = n.databasePath != nullptr ? AnsiToWide(n.databasePath) : std::wstring();
    LogDebug(L"API Notify reason=" + std::to_wstring(n.reason) + L" hMainWnd=" +
             std::to_wstring(reinterpret_cast<std::uintptr_t>(n.mainWindow)) + L" databasePath=" +
             (n.databasePath != nullptr ? path : std::wstring(L"(null)")));
    const bool tickerFound = RememberCurrentTicker(n);

    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        if (n.mainWindow != nullptr) s.mainWindow = n.mainWindow;
        // An empty path names no folder: taking it would put the settings
        // file into whatever the host's working folder happens to be.
        if (!path.empty()) {
            s.databaseFolder = path;
            s.iniPath = JoinPath(path, L"Velmarquin.ini");
        }
    }

    if ((n.reason & (kDatabaseLoaded | kSettingsChanged)) != 0) {
        LoadSettings();
        if (!tickerFound) RestoreSessionState(ResolveIniPath());
        WakePollWorker();
        NotifyHostStreaming(true);
    }
    if ((n.reason & kDatabaseUnloaded) != 0) {
        CloseConfigWindow();
        LogDebug(L"API Notify database unloaded: clearing caches");
        // Its downloads go with it: nothing of them is written into any
        // database's cache afterwards.
        AbandonDatabaseDownloads();
        ClearMemoryCaches();
    }
    if ((n.reason & kStatusRightClick) != 0) ShowStatusMenu();
    return 1;
}
