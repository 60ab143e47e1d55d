#include "plugin/quote_delivery.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "foundation/volume.h"
#include "plugin/live_overlay.h"
#include "plugin/session_state.h"
#include "polling/download_worker.h"
#include "protocol/history_fetch.h"
#include "storage/disk_cache.h"
#include "storage/memory_cache.h"

namespace {

enum class Outcome {
    Delivered,   // the bars, current
    Refreshing,  // the bars of a stale cache file; a refresh is under way
    Outdated,    // the bars of a stale cache file; its refresh failed a moment ago (`errorText`)
    Loading,     // nothing yet; a download is under way
    Failed,      // nothing; `errorText` says why
};

// The host's window thread (the owner of the window it passed through
// Notify) must never wait on the network.
bool OnHostWindowThread() {
    HWND mainWindow = nullptr;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        mainWindow = static_cast<HWND>(s.mainWindow);
    }
    return mainWindow != nullptr && GetWindowThreadProcessId(mainWindow, nullptr) == GetCurrentThreadId();
}

void KeepNewest(std::vector<Bar>& bars, int count) {
    if (bars.size() > static_cast<size_t>(count)) bars.erase(bars.begin(), bars.end() - count);
}

// What the caches hold now, and a download queued for what they lack.
Outcome ObtainWithoutWaiting(const std::wstring& ticker, int periodicity, int size, const PluginSettings& settings,
                             std::vector<Bar>& bars, std::wstring& errorText) {
    // A download that landed since the last request (its cache file may not
    // have been written), else a fresh cache file: what there is to deliver.
    if (TakeLandedSeries(CacheFilePath(ticker, periodicity, settings), bars)) {
        KeepNewest(bars, size);
        UpdateRecentCache(ticker, std::string(), periodicity, bars);
        return Outcome::Delivered;
    }
    if (CachedBars(ticker, periodicity, size, settings, bars, CacheAge::Fresh)) return Outcome::Delivered;
    const bool stale = CachedBars(ticker, periodicity, size, settings, bars, CacheAge::Any);
    switch (QueueDownload(ticker, periodicity, size, settings, errorText)) {
        case QueueAnswer::Queued:
            return stale ? Outcome::Refreshing : Outcome::Loading;
        case QueueAnswer::Paused:
            // A download failed a moment ago: say so, with what there is.
            return stale ? Outcome::Outdated : Outcome::Failed;
        case QueueAnswer::Unavailable:
            break;
    }
    // No download thread runs: fetch here, as on any other thread.
    return FetchBars(ticker, periodicity, size, bars, errorText)
               ? Outcome::Delivered
               : (errorText.empty() ? Outcome::Loading : Outcome::Failed);
}

// The newest min(size, count) bars with the live overlay, or none.
Outcome ObtainForHost(const std::wstring& ticker, int periodicity, int size, std::vector<Bar>& bars,
                      std::wstring& errorText) {
    const PluginSettings settings = CopySettings();
    Outcome outcome = Outcome::Failed;
    if (settings.BackgroundDownloads && OnHostWindowThread()) {
        outcome = ObtainWithoutWaiting(ticker, periodicity, size, settings, bars, errorText);
    } else if (FetchBars(ticker, periodicity, size, bars, errorText)) {
        outcome = Outcome::Delivered;
    } else {
        outcome = errorText.empty() ? Outcome::Loading : Outcome::Failed;
    }
    if (outcome == Outcome::Loading || outcome == Outcome::Failed) {
        bars.clear();
        return outcome;
    }
    ApplyLiveOverlay(ticker, periodicity, bars);
    KeepNewest(bars, size);
    return outcome;
}

std::wstring StatusFor(Outcome outcome, const std::wstring& ticker, const std::wstring& errorText) {
    switch (outcome) {
        case Outcome::Delivered:
            return L"TradingView OK: " + ticker;
        case Outcome::Refreshing:
            return L"TradingView refreshing: " + ticker;
        case Outcome::Loading:
            return L"TradingView loading: " + ticker;
        case Outcome::Outdated:
        case Outcome::Failed:
            break;
    }
    return L"TradingView fetch failed: " + errorText;
}

}  // namespace

std::uint32_t LegacyDate(std::uint64_t packed) {
    const std::uint32_t year = static_cast<std::uint32_t>((packed >> 52) & 0xFFF);
    const std::uint32_t month = static_cast<std::uint32_t>((packed >> 48) & 0xF);
    const std::uint32_t day = static_cast<std::uint32_t>((packed >> 43) & 0x1F);
    const std::uint32_t hour = static_cast<std::uint32_t>((packed >> 38) & 0x1F);
    const std::uint32_t minute = static_cast<std::uint32_t>((packed >> 32) & 0x3F);
    const std::uint32_t second = static_cast<std::uint32_t>((packed >> 26) & 0x3F);
    const std::uint32_t tick = second == 63 ? 15u : second / 5u;
    return (((year - 1900u) & 0xFFu) << 24) | (month << 20) | (day << 15) | (hour << 10) | (minute << 4) | tick;
}

int DeliverQuotesEx(const char* ticker, int periodicity, int size, Quotation* quotes) {
    if (ticker == nullptr || quotes == nullptr || size <= 0) {
        SetStatusText(L"Invalid GetQuotesEx call");
        return 0;
    }
    const std::wstring t = AnsiToWide(ticker);
    RememberTicker(t, periodicity, size);
    LogDebug(L"GetQuotesEx requested: " + t + L" periodicity=" + std::to_wstring(periodicity) + L" size=" +
             std::to_wstring(size));
    std::vector<Bar> bars;
    std::wstring errorText;
    const Outcome outcome = ObtainForHost(t, periodicity, size, bars, errorText);
    SetStatusText(StatusFor(outcome, t, errorText));
    for (size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        quotes[i] = Quotation{b.dateTime, b.close, b.open, b.high, b.low, VolumeAsFloat(b.volume),
                              VolumeAsFloat(b.openInterest), 0.0f, 0.0f};
    }
    return static_cast<int>(bars.size());
}

int DeliverQuotes(const char* ticker, int periodicity, int size, LegacyQuotation* quotes) {
    if (ticker == nullptr || quotes == nullptr || size <= 0) return 0;
    const std::wstring t = AnsiToWide(ticker);
    RememberTicker(t, periodicity, size);
    std::vector<Bar> bars;
    std::wstring errorText;
    const Outcome outcome = ObtainForHost(t, periodicity, size, bars, errorText);
    if (outcome == Outcome::Loading || outcome == Outcome::Refreshing) {
        SetStatusText(StatusFor(outcome, t, errorText));
    } else if (outcome == Outcome::Failed || outcome == Outcome::Outdated) {
        LogDebug(L"GetQuotes legacy failed: " + errorText);
    }
    for (size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        LegacyQuotation& q = quotes[i];  // bytes 28..31 are not written
        q.date = LegacyDate(b.dateTime);
        q.close = b.close;
        q.open = b.open;
        q.high = b.high;
        q.low = b.low;
        q.volume = VolumeAsInt32(b.volume);
        q.openInterest = VolumeAsInt32(b.openInterest);
    }
    return static_cast<int>(bars.size());
}
