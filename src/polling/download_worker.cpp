#include "polling/download_worker.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/clock.h"
#include "foundation/handles.h"
#include "foundation/held_thread.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "protocol/history_fetch.h"
#include "storage/disk_cache.h"
#include "storage/memory_cache.h"

namespace {

constexpr size_t kMaxQueued = 32;
constexpr size_t kMaxPaused = 256;
constexpr std::uint32_t kPauseMs = 30000;
constexpr DWORD kJoinWaitMs = 1000;
constexpr int kAcceptWaitMs = 2000;

struct Request {
    std::wstring ticker;
    int periodicity = 0;
    int bars = 0;
    std::uint64_t order = 0;
};

struct Pause {
    std::uint32_t tick = 0;
    std::wstring reason;
    PluginSettings settings;
};

// Everything below is guarded by g_lock, never held together with stateLock.
std::mutex g_lock;
std::condition_variable g_signal;
std::map<std::wstring, Request> g_queue;  // key: cache file path
std::map<std::wstring, Pause> g_paused;   // key: cache file path
std::wstring g_inFlightPath;
std::wstring g_inFlightTicker;
int g_inFlightBars = 0;
std::uint64_t g_order = 0;
// Changes at every start and stop: a thread of an earlier one leaves, and its
// download writes nothing.
std::uint64_t g_generation = 0;
bool g_running = false;
// The generation whose download is writing its result right now (0: none).
std::uint64_t g_acceptingGeneration = 0;

// Touched only by the start, the stop and the unload (host threads).
FileHandle g_thread;

bool SameSettings(const PluginSettings& a, const PluginSettings& b) {
    return a.Market == b.Market && a.Username == b.Username && a.Password == b.Password &&
           a.SessionCookie == b.SessionCookie && a.SessionCookieSign == b.SessionCookieSign &&
           a.UserAgent == b.UserAgent && a.TimeoutMs == b.TimeoutMs && a.ExtendedHours == b.ExtendedHours &&
           a.AdjustContracts == b.AdjustContracts && a.UseSettlementAsClose == b.UseSettlementAsClose &&
           a.ResolutionOverride == b.ResolutionOverride && a.IntradayTimeShiftMinutes == b.IntradayTimeShiftMinutes &&
           a.EodTimeShiftDays == b.EodTimeShiftDays;
}

bool Current(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(g_lock);
    return generation == g_generation;
}

// Waits for the next request of this generation; false once it is over.
bool NextRequest(std::uint64_t generation, std::wstring& path, Request& request) {
    std::unique_lock<std::mutex> lock(g_lock);
    g_signal.wait(lock, [generation] { return generation != g_generation || !g_queue.empty(); });
    if (generation != g_generation) return false;
    auto newest = std::max_element(g_queue.begin(), g_queue.end(),
                                   [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
    path = newest->first;
    request = newest->second;
    g_queue.erase(newest);
    g_inFlightPath = path;
    g_inFlightTicker = request.ticker;
    g_inFlightBars = request.bars;
    return true;
}

void Download(std::uint64_t generation, const std::wstring& path, const Request& request) {
    const PluginSettings settings = CopySettings();
    LogDebug(L"DOWNLOAD start ticker=" + request.ticker + L" periodicity=" + std::to_wstring(request.periodicity) +
             L" bars=" + std::to_wstring(request.bars));
    DownloadGate gate;
    gate.keepGoing = [generation] { return Current(generation); };
    gate.beginAccept = [generation] {
        std::lock_guard<std::mutex> lock(g_lock);
        if (generation != g_generation) return false;
        g_acceptingGeneration = generation;
        return true;
    };
    std::vector<Bar> bars;
    std::wstring error;
    bool ok = false;
    try {
        ok = DownloadBars(request.ticker, request.periodicity, request.bars, settings, bars, error, &gate,
                          Priority::Background);
    } catch (...) {
        error = L"Download failed";
    }
    bool current = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_acceptingGeneration == generation) g_acceptingGeneration = 0;
        current = generation == g_generation;
        if (current) {
            g_inFlightPath.clear();
            g_inFlightTicker.clear();
        }
        if (current && !ok) {
            if (g_paused.size() >= kMaxPaused) g_paused.clear();
            g_paused[path] = Pause{TickCount32(), error, settings};
        }
    }
    g_signal.notify_all();
    if (!current) return;  // abandoned: nothing more is written or said
    if (ok) {
        const size_t count = bars.size();
        KeepLandedSeries(path, std::move(bars));
        LogDebug(L"DOWNLOAD landed ticker=" + request.ticker + L" bars=" + std::to_wstring(count));
        // The host asks again and gets the bars.
        NotifyHostStreaming(true);
    } else {
        LogLine(L"DOWNLOAD failed ticker=" + request.ticker + L": " + error);
        SetStatusText(L"TradingView fetch failed: " + error);
    }
}

// Serves requests until its generation is over.
void RunDownloads(std::uint64_t generation) {
    for (;;) {
        try {
            std::wstring path;
            Request request;
            if (!NextRequest(generation, path, request)) break;
            Download(generation, path, request);
        } catch (...) {
            // Nothing may end the thread but a stop; the next request is tried.
        }
    }
}

// Starts the thread of `generation`; when it cannot start, the worker does
// not run (requests then download on their own threads).
void StartDownloadThread(std::uint64_t generation) {
    FileHandle thread = StartHeldThread([generation] { RunDownloads(generation); }, L"DOWNLOAD");
    if (!thread.Valid()) {
        std::lock_guard<std::mutex> lock(g_lock);
        g_running = false;
        return;
    }
    g_thread = std::move(thread);
}

}  // namespace

QueueAnswer QueueDownload(const std::wstring& ticker, int periodicity, int bars, const PluginSettings& settings,
                          std::wstring& reason) {
    // The path takes stateLock: found before the queue's lock.
    const std::wstring path = CacheFilePath(ticker, periodicity, settings);
    const std::uint32_t now = TickCount32();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_running) return QueueAnswer::Unavailable;
        const auto paused = g_paused.find(path);
        if (paused != g_paused.end()) {
            if (now - paused->second.tick < kPauseMs && SameSettings(paused->second.settings, settings)) {
                reason = paused->second.reason;
                return QueueAnswer::Paused;
            }
            g_paused.erase(paused);
        }
        if (path == g_inFlightPath && bars <= g_inFlightBars) return QueueAnswer::Queued;
        Request& request = g_queue[path];
        request.ticker = ticker;
        request.periodicity = periodicity;
        request.bars = std::max(request.bars, bars);
        request.order = ++g_order;
        if (g_queue.size() > kMaxQueued) {
            g_queue.erase(std::min_element(g_queue.begin(), g_queue.end(), [](const auto& a, const auto& b) {
                return a.second.order < b.second.order;
            }));
        }
    }
    g_signal.notify_all();
    LogDebug(L"DOWNLOAD queued ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) + L" bars=" +
             std::to_wstring(bars));
    return QueueAnswer::Queued;
}


void StartDownloadWorker() {
    StopDownloadWorker();
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        generation = ++g_generation;
        g_running = true;
        g_paused.clear();
        g_inFlightPath.clear();
        g_inFlightTicker.clear();
    }
    StartDownloadThread(generation);
}

void RequestDownloadWorkerStop() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_generation;
        g_running = false;
        g_queue.clear();
    }
    g_signal.notify_all();
}

void AwaitDownloadWorkerStopped(std::uint32_t deadlineTick) {
    const auto left = [deadlineTick] {
        const std::uint32_t now = TickCount32();
        return BeforeDeadline(now, deadlineTick) ? deadlineTick - now : 0u;
    };
    {
        // A result being written right now is finished first: after this,
        // nothing of the old generation writes.
        std::unique_lock<std::mutex> lock(g_lock);
        g_signal.wait_for(lock, std::chrono::milliseconds(std::min<std::uint32_t>(left(), kAcceptWaitMs)),
                          [] { return g_acceptingGeneration == 0; });
    }
    if (!g_thread.Valid()) return;
    WaitForSingleObject(g_thread.Get(), std::min<std::uint32_t>(left(), kJoinWaitMs));
    g_thread.Reset();
}

void StopDownloadWorker() {
    RequestDownloadWorkerStop();
    AwaitDownloadWorkerStopped(TickCount32() + kAcceptWaitMs + kJoinWaitMs);
}

void AbandonDatabaseDownloads() {
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_running) return;
        // The download under way stops and writes nothing (its generation
        // is over); what waited is dropped; a fresh thread serves the next
        // database. The old thread ends on its own, holding its module
        // reference until then.
        generation = ++g_generation;
        g_queue.clear();
        g_paused.clear();
        g_inFlightPath.clear();
        g_inFlightTicker.clear();
    }
    g_signal.notify_all();
    LogDebug(L"DOWNLOAD queue emptied: the database was unloaded");
    StartDownloadThread(generation);
}

bool DownloadPending(const std::wstring& ticker) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_running) return false;
    if (!g_inFlightTicker.empty() && g_inFlightTicker == ticker) return true;
    for (const auto& queued : g_queue) {
        if (queued.second.ticker == ticker) return true;
    }
    return false;
}
