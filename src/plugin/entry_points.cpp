#include "plugin/entry_points.h"

#include <cstring>
#include <mutex>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/status_text.h"
#include "foundation/text.h"
#include "net/winhttp_async.h"
#include "plugin/session_state.h"
#include "polling/download_worker.h"
#include "polling/poll_worker.h"
#include "polling/stream_worker.h"
#include "protocol/account_token.h"
#include "protocol/host_time.h"
#include "protocol/service_session.h"
#include "storage/memory_cache.h"
#include "ui/config_window.h"

namespace {

constexpr PluginInfo kPluginInfo = {
    152, 2, 10000, 0x564D514E,  // 'V' 'M' 'Q' 'N', first character in the high byte
    "Velmarquin", "Orvell", 0, 387000,
};

// How long Release waits for parked connections to report closing, and for
// the threads (together) to end.
constexpr std::uint32_t kParkedSweepMs = 500;
constexpr std::uint32_t kThreadsStopMs = 3000;

void SetDatabaseFolder(const std::wstring& folder) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.databaseFolder = folder;
    s.iniPath = JoinPath(folder, L"Velmarquin.ini");
}

}  // namespace

int FillPluginInfo(PluginInfo* info) {
    if (info == nullptr) return 0;
    std::memcpy(info, &kPluginInfo, sizeof(PluginInfo));
    return 1;
}

int PluginInit() {
    ForgetLocalTimeConversions();
    LoadSettings();
    RestoreSessionState(ResolveIniPath());
    std::wstring ready;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        ready = ReadyStatusText();
    }
    SetStatusText(ready);
    LogDebug(L"Plugin Init");
    // The session first: every conversation takes its place there. Then the
    // stream: with Streaming on, the tickers are its from the start.
    StartServiceSession();
    StartStreamWorker();
    StartPollWorker();
    StartDownloadWorker();
    return 1;
}

int PluginRelease() {
    // Every thread is asked to stop first (the session's connections close,
    // so a conversation under way on any thread ends at once; the poll worker
    // starts no poll when the stream's stop hands it the tickers), then each
    // is waited for: Release takes the longest of them, not their sum.
    RequestPollWorkerStop();
    RequestServiceSessionStop();
    RequestStreamWorkerStop();
    RequestDownloadWorkerStop();
    const std::uint32_t deadline = TickCount32() + kThreadsStopMs;
    AwaitServiceSessionStopped(deadline);
    AwaitStreamWorkerStopped(deadline);
    AwaitDownloadWorkerStopped(deadline);
    AwaitPollWorkerStopped();
    ForgetAccountToken();
    // Connections whose handles had not reported closing when they ended:
    // free those that have since, wait a little for the rest.
    SweepParkedStates(kParkedSweepMs);
    CloseConfigWindow();
    ClearMemoryCaches();
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.statusText = L"Released";
    return 1;
}

int PluginConfigure(const char* databasePath) {
    if (databasePath != nullptr && databasePath[0] != '\0') SetDatabaseFolder(AnsiToWide(databasePath));
    LoadSettings();
    const std::wstring iniPath = ResolveIniPath();
    PluginSettings settings = CopySettings();
    // Returns when the window is gone; a Save has written the file itself.
    OpenConfigWindow(iniPath, settings);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = settings;
    }
    return 1;
}

int CheckTimeBase(unsigned timeBase) { return timeBase >= 1 && timeBase <= 86400 ? 1 : 0; }

int BackfillComplete(const char* ticker) {
    if (ticker == nullptr || ticker[0] == '\0') return 1;
    return DownloadPending(AnsiToWide(ticker)) ? 0 : 1;
}

HostValue EmptyHostValue() {
    HostValue value;
    std::memset(&value, 0, sizeof(value));
    return value;
}
