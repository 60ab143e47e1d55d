#include "polling/poll_worker.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "foundation/clock.h"
#include "foundation/handles.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "polling/poll_cycle.h"

namespace {

constexpr std::size_t kMaxActiveTickers = 64;
constexpr std::uint32_t kActiveForMs = 30 * 60 * 1000;
constexpr std::uint32_t kMinWaitMs = 100;
constexpr std::uint32_t kMaxWaitMs = 1000;

// The worker's control block. The lock and the condition variable are the
// platform's: they need no destruction at unload, and their timed wait is
// relative (monotonic), so a change of the wall clock cannot stretch it.
SRWLOCK g_workerLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_wakeSignal = CONDITION_VARIABLE_INIT;
bool g_stopRequested = false;  // under g_workerLock
// A stop was asked of a running worker and it has not ended yet: what it is
// doing (a symbol search's next market) is not begun.
std::atomic<bool> g_stopping{false};
// Touched only by StartPollWorker and StopPollWorker (host threads).
FileHandle g_thread;

bool StopRequested() {
    AcquireSRWLockExclusive(&g_workerLock);
    const bool stop = g_stopRequested;
    ReleaseSRWLockExclusive(&g_workerLock);
    return stop;
}

// Waits until woken or waitMs have passed; then tells whether to stop.
bool WaitForWakeOrStop(std::uint32_t waitMs) {
    AcquireSRWLockExclusive(&g_workerLock);
    if (!g_stopRequested) SleepConditionVariableSRW(&g_wakeSignal, &g_workerLock, waitMs, 0);
    const bool stop = g_stopRequested;
    ReleaseSRWLockExclusive(&g_workerLock);
    return stop;
}

void RunOneTick(const DueTicker& due) {
    // The ticker as the host spelled it, blanks included: the caches, the
    // cache files and the records the host asks for all use that spelling,
    // so the entry polled is the entry the next pick looks at.
    const std::wstring& ticker = due.ticker;
    if (TrimWide(ticker).empty()) {
        LogDebug(L"POLL worker tick skipped: empty active ticker");
        return;
    }
    std::wstring errorText;
    const bool polled = PollTicker(ticker, due.periodicity, false, errorText);
    LogDebug(L"POLL worker tick done ticker=" + ticker + L" periodicity=" + std::to_wstring(due.periodicity) +
             L" polled=" + (polled ? L"1" : L"0") + L" error=" + (errorText.empty() ? L"(none)" : errorText));
}

// Nothing may end the thread but a stop request: every step, its log lines
// included, runs inside the guard, and a failed step is tried again later.
void RunWorkerLoop() noexcept {
    try {
        LogDebug(L"POLL worker started");
    } catch (...) {
    }
    for (;;) {
        try {
            // A change the throttle held back reaches the host when its window ends.
            PostPendingStreamingNotice();
            const DueTicker due = PickDueTicker();
            if (due.picked) {
                RunOneTick(due);
                // A stop request ends the worker between ticks, so Release
                // never waits for more than the poll in progress.
                if (!StopRequested()) continue;
            } else {
                LogDebug(L"POLL worker wait ms=" + std::to_wstring(due.waitMs) + L" activeTickers=" +
                         std::to_wstring(due.activeCount));
                if (!WaitForWakeOrStop(due.waitMs)) continue;
            }
        } catch (...) {
            if (!WaitForWakeOrStop(kMaxWaitMs)) continue;
        }
        break;
    }
    try {
        LogDebug(L"POLL worker stopped");
    } catch (...) {
    }
}

// The thread holds its own reference to this module while it runs, so a
// host that unloads the DLL without Release cannot unmap the code under it;
// the reference is given back as the thread ends.
DWORD WINAPI WorkerThreadMain(void* module) {
    RunWorkerLoop();
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

}  // namespace

void WakePollWorker() {
    LogDebug(L"POLL worker wake requested");
    WakeAllConditionVariable(&g_wakeSignal);
}

void StartPollWorker() {
    StopPollWorker();
    AcquireSRWLockExclusive(&g_workerLock);
    g_stopRequested = false;
    ReleaseSRWLockExclusive(&g_workerLock);
    LogDebug(L"POLL worker start requested");

    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&WorkerThreadMain)), &module)) {
        LogLine(L"ERROR: POLL worker not started: the module reference could not be taken");
        return;
    }
    FileHandle thread(CreateThread(nullptr, 0, &WorkerThreadMain, module, 0, nullptr));
    if (!thread.Valid()) {
        FreeLibrary(module);
        LogLine(L"ERROR: POLL worker not started: error " + std::to_wstring(GetLastError()));
        return;
    }
    g_thread = std::move(thread);
}

void RequestPollWorkerStop() {
    if (g_thread.Valid()) g_stopping = true;
    AcquireSRWLockExclusive(&g_workerLock);
    g_stopRequested = true;
    ReleaseSRWLockExclusive(&g_workerLock);
    WakeAllConditionVariable(&g_wakeSignal);
}

void AwaitPollWorkerStopped() {
    if (!g_thread.Valid()) return;
    LogDebug(L"POLL worker join requested");
    WaitForSingleObject(g_thread.Get(), INFINITE);
    g_thread.Reset();
    g_stopping = false;
}

void StopPollWorker() {
    RequestPollWorkerStop();
    AwaitPollWorkerStopped();
}

bool PollWorkerRunning() { return g_thread.Valid(); }

bool PollWorkerStopping() { return g_stopping; }

bool TouchActiveTicker(PluginState& s, const std::wstring& ticker, std::uint32_t now, int periodicity,
                       int requestedBars) {
    const std::string key = WideToUtf8(ticker);
    const size_t before = s.activeTickers.size();
    ActiveTicker& entry = s.activeTickers[key];
    const bool changed = s.activeTickers.size() != before || (periodicity > 0 && entry.periodicity != periodicity) ||
                         now - entry.lastSeenTick > kActiveForMs;
    if (entry.ticker != ticker) entry.ticker = ticker;
    entry.lastSeenTick = now;
    if (periodicity > 0) entry.periodicity = periodicity;
    if (requestedBars > 0) entry.requestedBars = requestedBars;
    while (s.activeTickers.size() > kMaxActiveTickers) {
        auto oldest = s.activeTickers.end();
        std::uint32_t oldestAge = 0;
        for (auto it = s.activeTickers.begin(); it != s.activeTickers.end(); ++it) {
            if (it->first == key) continue;
            const std::uint32_t age = now - it->second.lastSeenTick;
            if (oldest == s.activeTickers.end() || age > oldestAge) {
                oldest = it;
                oldestAge = age;
            }
        }
        if (oldest == s.activeTickers.end()) break;
        s.activeTickers.erase(oldest);
        if (s.pollCursor != 0) --s.pollCursor;
    }
    return changed;
}

std::vector<ActiveTicker> CopyActiveTickers() {
    std::vector<ActiveTicker> tickers;
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    const std::uint32_t now = TickCount32();
    for (const auto& active : s.activeTickers) {
        if (now - active.second.lastSeenTick > kActiveForMs) continue;
        tickers.push_back(active.second);
    }
    return tickers;
}

DueTicker PickDueTicker() {
    DueTicker due;
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    // Read under the lock: a ticker touched between an earlier reading and
    // the lock would look 49 days old and be dropped.
    const std::uint32_t now = TickCount32();
    if (s.settings.PollSeconds <= 0) return due;

    std::vector<const ActiveTicker*> live;
    std::vector<const std::string*> keys;
    for (auto it = s.activeTickers.begin(); it != s.activeTickers.end();) {
        if (now - it->second.lastSeenTick > kActiveForMs) {
            it = s.activeTickers.erase(it);
            continue;
        }
        keys.push_back(&it->first);
        live.push_back(&it->second);
        ++it;
    }
    due.activeCount = live.size();
    if (live.empty()) {
        s.pollCursor = 0;
        return due;
    }
    if (s.settings.Streaming && !s.streamLost) return due;  // the stream keeps them live

    // 64-bit: a huge PollSeconds cannot overflow into a short interval.
    const std::uint64_t intervalMs = static_cast<std::uint64_t>(s.settings.PollSeconds) * 1000;
    const std::size_t count = live.size();
    const std::size_t start = static_cast<std::size_t>(s.pollCursor % count);
    std::uint64_t soonest = intervalMs;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t index = (start + i) % count;
        const auto entry = s.symbolCache.find(*keys[index]);
        bool pick = entry == s.symbolCache.end();
        if (!pick) {
            const SymbolCacheEntry& e = entry->second;
            if (e.running) continue;
            const std::uint32_t elapsed = now - e.lastPollTick;
            if (e.lastPollTick == 0 || elapsed >= intervalMs) {
                pick = true;
            } else {
                soonest = std::min<std::uint64_t>(soonest, intervalMs - elapsed);
            }
        }
        if (pick) {
            due.picked = true;
            due.ticker = live[index]->ticker;
            due.periodicity = live[index]->periodicity > 0 ? live[index]->periodicity : s.lastPeriodicity;
            s.pollCursor = (index + 1) % count;
            return due;
        }
    }
    s.pollCursor = start;
    due.waitMs = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(soonest, kMinWaitMs, kMaxWaitMs));
    return due;
}
