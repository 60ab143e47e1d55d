#include "plugin/session_state.h"

#include <windows.h>

#include <mutex>

#include "foundation/clock.h"
#include "foundation/ini_file.h"
#include "foundation/log.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "polling/poll_worker.h"

static_assert(kStreamingMessage == WM_USER + 13000, "streaming message number");

namespace {
constexpr std::uint32_t kStreamingThrottleMs = 3000;
constexpr unsigned kStateTickerCapacity = 256;

// The three keys of one request go into the State section together: two host
// threads cannot leave one request's ticker with the other's periodicity,
// and an older request never overwrites a newer one. Taken alone, never
// together with stateLock.
std::mutex g_stateSectionLock;
std::uint64_t g_requestsSeen = 0;     // under stateLock
std::uint64_t g_requestWritten = 0;   // under g_stateSectionLock

void WriteStateSection(std::uint64_t request, const std::wstring& ticker, int periodicity, int bars) {
    const std::wstring path = ResolveIniPath();
    std::lock_guard<std::mutex> lock(g_stateSectionLock);
    if (request < g_requestWritten) return;
    g_requestWritten = request;
    IniWriteString(path, L"State", L"LastTicker", ticker);
    IniWriteString(path, L"State", L"LastPeriodicity", std::to_wstring(periodicity));
    IniWriteString(path, L"State", L"LastBars", std::to_wstring(bars));
}
}  // namespace

void RememberTicker(const std::wstring& ticker, int periodicity, int bars) {
    if (TrimWide(ticker).empty()) return;
    const std::uint32_t now = TickCount32();
    int effectivePeriodicity = 0;
    int effectiveBars = 0;
    std::uint64_t request = 0;
    bool debug = false;
    bool changed = false;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        request = ++g_requestsSeen;
        if (s.lastTicker != ticker) s.lastTicker = ticker;
        if (periodicity > 0) s.lastPeriodicity = periodicity;
        if (bars > 0) s.lastBars = bars;
        changed = TouchActiveTicker(s, ticker, now, periodicity, bars);
        effectivePeriodicity = s.lastPeriodicity;
        effectiveBars = s.lastBars;
        debug = s.settings.DebugLogging;
    }
    // The quote window asks many times a second: nothing is built for the
    // log unless it is wanted.
    if (debug) {
        LogLine(L"STATE last ticker updated ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) +
                L" requestedBars=" + std::to_wstring(bars));
    }
    if (periodicity > 0 || bars > 0) WriteStateSection(request, ticker, effectivePeriodicity, effectiveBars);
    // The worker looks at the set again only when it changed for it.
    if (changed || periodicity > 0) WakePollWorker();
}

bool RestoreSessionState(const std::wstring& iniPath) {
    if (TrimWide(iniPath).empty()) return false;
    const std::wstring ticker =
        TrimWide(IniReadString(iniPath, L"State", L"LastTicker", L"", kStateTickerCapacity));
    if (ticker.empty()) {
        LogDebug(L"STATE restore skipped: no saved LastTicker in " + iniPath);
        return false;
    }
    const int periodicity = IniReadInt(iniPath, L"State", L"LastPeriodicity", 86400);
    const int bars = IniReadInt(iniPath, L"State", L"LastBars", 30000);
    std::wstring known;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        if (!TrimWide(s.lastTicker).empty()) {
            known = s.lastTicker;
        } else {
            s.lastTicker = ticker;
            if (periodicity > 0) s.lastPeriodicity = periodicity;
            if (bars > 0) s.lastBars = bars;
            ActiveTicker& active = s.activeTickers[WideToUtf8(ticker)];
            active.ticker = ticker;
            active.lastSeenTick = TickCount32();
            active.periodicity = periodicity;
            active.requestedBars = bars;
        }
    }
    if (!known.empty()) {
        LogDebug(L"STATE restore skipped: current ticker already set to " + known);
        return false;
    }
    LogDebug(L"STATE restored last ticker from INI ticker=" + ticker + L" periodicity=" +
             std::to_wstring(periodicity) + L" requestedBars=" + std::to_wstring(bars) + L" path=" + iniPath);
    WakePollWorker();
    NotifyHostStreaming(true);
    return true;
}

namespace {

// Posts the message when `force`, when the throttle's window has ended, or
// (`onlyPending`) only for a change held back earlier.
void PostStreamingMessage(bool force, bool onlyPending) {
    const std::uint32_t now = TickCount32();
    void* window = nullptr;
    bool post = false;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        if (onlyPending && !s.streamingNoticePending) return;
        window = s.mainWindow;
        if (force || s.lastStreamingNotifyTick == 0 || now - s.lastStreamingNotifyTick >= kStreamingThrottleMs) {
            s.lastStreamingNotifyTick = now;
            s.streamingNoticePending = false;
            post = true;
        } else {
            s.streamingNoticePending = true;
        }
    }
    if (!post) {
        if (!onlyPending) LogDebug(L"STREAMING notify skipped: throttled");
        return;
    }
    const HWND hwnd = static_cast<HWND>(window);
    if (hwnd != nullptr && IsWindow(hwnd)) PostMessageW(hwnd, kStreamingMessage, 0, 0);
}

}  // namespace

void NotifyHostStreaming(bool force) { PostStreamingMessage(force, false); }

void PostPendingStreamingNotice() { PostStreamingMessage(false, true); }
