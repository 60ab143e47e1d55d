#include "polling/poll_cycle.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/exchange_calendar.h"
#include "protocol/latest_bar_poll.h"
#include "protocol/live_quote_poll.h"
#include "polling/poll_worker.h"
#include "protocol/symbol_routing.h"
#include "storage/memory_cache.h"

namespace {

// What the claim under stateLock decided, logged after unlocking.
struct Claim {
    bool claimed = false;
    std::wstring skipLine;
    std::wstring staleLine;
    RecentInfo snapshot{};
    std::string symbolId;
    PluginSettings settings;
    std::uint64_t pushes = 0;  // the stream's pushes stored when the poll began
};

Claim ClaimTicker(const std::wstring& ticker, const std::string& key) {
    Claim claim;
    const std::uint32_t now = TickCount32();
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    claim.settings = s.settings;
    const std::int32_t pollSeconds = claim.settings.PollSeconds;
    if (pollSeconds <= 0) {
        claim.skipLine = L"POLL skip ticker=" + ticker + L" pollSeconds=" + std::to_wstring(pollSeconds);
        return claim;
    }
    SymbolCacheEntry& entry = s.symbolCache[key];
    // The record the quote window is served is the one a poll refreshes.
    if (entry.served.structSize != kRecentInfoSize) {
        InitRecentInfo(entry.served, ticker);
        entry.served.validFields = 1;
    }
    // 64-bit: a huge PollSeconds cannot overflow into a short interval.
    const std::uint64_t intervalMs = static_cast<std::uint64_t>(pollSeconds) * 1000;
    if (entry.running) {
        const std::uint32_t runningMs = now - entry.pollStartTick;
        if (runningMs < StaleRunMs(claim.settings.TimeoutMs)) {
            claim.skipLine = L"POLL skip ticker=" + ticker + L" already running runningMs=" + std::to_wstring(runningMs);
            return claim;
        }
        claim.staleLine = L"POLL previous run considered stale ticker=" + ticker + L" runningMs=" + std::to_wstring(runningMs);
    }
    const std::uint32_t elapsedMs = now - entry.lastPollTick;
    if (entry.lastPollTick != 0 && elapsedMs < intervalMs) {
        claim.skipLine = L"POLL skip ticker=" + ticker + L" not due elapsedMs=" + std::to_wstring(elapsedMs) +
                         L" intervalMs=" + std::to_wstring(intervalMs);
        return claim;
    }
    entry.running = true;
    entry.pollStartTick = now;
    entry.lastPollTick = now;
    claim.snapshot = entry.served;
    claim.symbolId = entry.symbolId;
    claim.pushes = entry.pushes;
    claim.claimed = true;
    return claim;
}

// Ends a claimed poll that produced no data: the entry keeps its live data
// (and its symbol identifier, unless the service refused it).
void ReleaseClaim(const std::string& key, const std::string& symbolId, bool forgetSymbol = false) {
    const std::uint32_t now = TickCount32();
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    SymbolCacheEntry& entry = s.symbolCache[key];
    if (!symbolId.empty()) entry.symbolId = symbolId;
    if (forgetSymbol) entry.symbolId.clear();
    entry.lastPollTick = now;
    entry.running = false;
}

// The live record filled from the newest bar and the one before it.
void FillSnapshotFromBars(RecentInfo& snapshot, const std::wstring& ticker, const std::vector<Bar>& bars) {
    const Bar& newest = bars.back();
    const Bar* previous = bars.size() >= 2 ? &bars[bars.size() - 2] : nullptr;
    const RecentInfo fromBar = RecentInfoFromBar(ticker, newest, previous);
    snapshot.structSize = fromBar.structSize;
    std::copy(std::begin(fromBar.name), std::end(fromBar.name), std::begin(snapshot.name));
    snapshot.validFields = fromBar.validFields;
    snapshot.statusBits = fromBar.statusBits;
    snapshot.open = fromBar.open;
    snapshot.high = fromBar.high;
    snapshot.low = fromBar.low;
    snapshot.last = fromBar.last;
    snapshot.tradeVolume = fromBar.tradeVolume;
    snapshot.totalVolume = fromBar.totalVolume;
    snapshot.openInterest = fromBar.openInterest;
    snapshot.change = fromBar.change;
    snapshot.prevClose = fromBar.prevClose;
    snapshot.tradeVolumeF = fromBar.tradeVolumeF;
    snapshot.totalVolumeF = fromBar.totalVolumeF;
    snapshot.tradeDate = fromBar.tradeDate;
    snapshot.tradeTime = fromBar.tradeTime;
    snapshot.updateDate = fromBar.updateDate;
    snapshot.updateTime = fromBar.updateTime;
}

// Stores a successful poll's record; `bar` is null for a quote-only poll.
// Returns the entry's session text. A poll that was under way when the
// stream pushed newer data (it came back meanwhile) stores nothing:
// `superseded` says so.
std::string StoreLiveResult(const std::string& key, const std::string& symbolId, const RecentInfo& snapshot,
                            const Bar* bar, int periodicity, std::uint64_t claimedPushes, bool& superseded) {
    const std::uint32_t now = TickCount32();
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    SymbolCacheEntry& entry = s.symbolCache[key];
    superseded = entry.pushes != claimedPushes;
    if (superseded) {
        entry.lastPollTick = now;
        entry.running = false;
        return entry.sessionText;
    }
    entry.served = snapshot;
    entry.live = snapshot;
    if (bar != nullptr) entry.latestBar = *bar;
    entry.hasQuote = true;
    entry.quoteStreamed = false;
    entry.hasBar = bar != nullptr;
    entry.hasPreviousBar = false;
    entry.barPeriodicity = bar != nullptr ? periodicity : 0;
    entry.symbolId = symbolId;
    entry.lastPollTick = now;
    entry.running = false;
    s.recent = snapshot;
    s.recentValid = true;
    return entry.sessionText;
}

PollProbe g_pollProbe = nullptr;

// The cycle of a claimed ticker; every path ends the claim.
bool PollClaimed(const std::wstring& ticker, const std::string& key, int periodicity, const Claim& claim,
                 std::wstring& errorText) {
    const PluginSettings& settings = claim.settings;

    std::string symbolId = claim.symbolId;
    if (symbolId.empty() && ticker.find(L':') != std::wstring::npos) {
        symbolId = key;
        LogDebug(L"POLL using ticker as TradingView symbol id ticker=" + ticker);
    }
    // A search of a stopping worker ends before its next market.
    if (symbolId.empty() &&
        !ResolveLiveSymbol(ticker, settings, symbolId, errorText, L"POLL", [] { return !PollWorkerStopping(); })) {
        LogLine(L"POLL resolve failed ticker=" + ticker + L" error=" + errorText);
        ReleaseClaim(key, std::string());
        return false;
    }
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.symbolCache[key].symbolId = symbolId;
    }
    LogDebug(L"POLL live request ticker=" + ticker + L" symbolId=" + Utf8ToWide(symbolId) + L" periodicity=" +
             std::to_wstring(periodicity));

    RecentInfo snapshot = claim.snapshot;
    if (snapshot.structSize != kRecentInfoSize) InitRecentInfo(snapshot, ticker);

    std::vector<Bar> bars;
    std::wstring barError;
    if (PollLatestBars(ticker, symbolId, periodicity, settings, bars, barError) && !bars.empty()) {
        FillSnapshotFromBars(snapshot, ticker, bars);
        const Bar newest = bars.back();
        bool superseded = false;
        StoreLiveResult(key, symbolId, snapshot, &newest, periodicity, claim.pushes, superseded);
        if (superseded) {
            LogDebug(L"POLL result dropped ticker=" + ticker + L": the stream pushed newer data meanwhile");
            return true;
        }
        LogDebug(L"POLL OHLC success ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) +
                 L" close=" + FormatFloat(newest.close) + L" high=" + FormatFloat(newest.high) + L" low=" +
                 FormatFloat(newest.low) + L" volume=" + FormatFloat(newest.volume));
        SetStatusText(L"Live OHLC OK: " + ticker);
        NotifyHostStreaming(false);
        return true;
    }

    LogLine(L"POLL latest OHLC failed for " + ticker + L": " + barError + L"; falling back to quote");
    // A daily chart compares the quote's trading date with its last bar's.
    const ExchangeCalendar calendar(periodicity >= 86400 ? ExchangeSessionOf(symbolId) : ExchangeSession(), settings);
    if (PollLiveQuote(ticker, symbolId, settings, snapshot, errorText, calendar.Usable() ? &calendar : nullptr)) {
        bool superseded = false;
        const std::string session =
            StoreLiveResult(key, symbolId, snapshot, nullptr, periodicity, claim.pushes, superseded);
        if (superseded) {
            LogDebug(L"POLL result dropped ticker=" + ticker + L": the stream pushed newer data meanwhile");
            return true;
        }
        LogDebug(L"POLL success ticker=" + ticker + L" last=" + FormatFloat(snapshot.last) + L" change=" +
                 FormatFloat(snapshot.change) + L" date=" + std::to_wstring(snapshot.updateDate) + L" time=" +
                 std::to_wstring(snapshot.updateTime) + L" session=" +
                 (session.empty() ? std::wstring(L"(empty)") : Utf8ToWide(session)));
        SetStatusText(L"Live quote OK: " + ticker);
        NotifyHostStreaming(false);
        return true;
    }

    if (errorText.empty()) errorText = barError;
    LogLine(L"Live poll failed for " + ticker + L": " + errorText);
    // An identifier the service refuses is searched again next time.
    const bool refused = IsSymbolRefusal(barError) || IsSymbolRefusal(errorText);
    if (refused) ForgetRefusedSymbol(ticker, settings, symbolId);
    ReleaseClaim(key, refused ? std::string() : symbolId, refused);
    SetStatusText(L"Live quote error: " + ticker + L" - " + errorText);
    NotifyHostStreaming(false);
    return false;
}

}  // namespace

bool ResolveLiveSymbol(const std::wstring& ticker, const PluginSettings& settings, std::string& symbolId,
                       std::wstring& errorText, const wchar_t* logTag, const std::function<bool()>& keepGoing) {
    const std::wstring tag = logTag;
    LogDebug(tag + L" resolving symbol id for ticker=" + ticker);
    std::wstring lastError;
    CandidateLoopHooks hooks;
    hooks.beforeTry = [&ticker, &tag](const std::wstring& market, const std::wstring& query) {
        LogDebug(tag + L" resolve attempt ticker=" + ticker + L" market=" + market + L" query=" + query);
    };
    hooks.afterFailure = [&lastError](const std::wstring&, const std::wstring& error) { lastError = error; };
    hooks.keepGoing = keepGoing;
    std::wstring error;
    if (ResolveMappedSymbol(ticker, settings, hooks, symbolId, error) && !symbolId.empty()) {
        LogDebug(tag + L" resolved symbol id ticker=" + ticker + L" symbolId=" + Utf8ToWide(symbolId));
        return true;
    }
    symbolId.clear();
    errorText = !lastError.empty() ? lastError : L"symbol resolution failed";
    return false;
}

std::uint32_t StaleRunMs(std::int32_t timeoutMs) {
    const std::uint64_t three = 3 * static_cast<std::uint64_t>(std::max<std::int32_t>(timeoutMs, 1000));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(three, 30000), 0xFFFFFFFFu));
}

bool PollTicker(const std::wstring& ticker, int periodicity, bool force, std::wstring& errorText) {
    errorText.clear();
    LogDebug(L"POLL check ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) + L" force=" +
             (force ? L"1" : L"0"));
    if (TrimWide(ticker).empty()) {
        LogDebug(L"POLL skip: empty ticker");
        return false;
    }
    const std::string key = WideToUtf8(ticker);
    Claim claim = ClaimTicker(ticker, key);
    if (!claim.staleLine.empty()) LogDebug(claim.staleLine);
    if (!claim.claimed) {
        LogDebug(claim.skipLine);
        return false;
    }
    try {
        if (g_pollProbe != nullptr) g_pollProbe(ticker);
        return PollClaimed(ticker, key, periodicity, claim, errorText);
    } catch (...) {
        // A claimed entry must not stay claimed: the ticker would never be
        // polled again. The worker's own guard deals with the exception.
        ReleaseClaim(key, std::string());
        throw;
    }
}

void SetPollProbe(PollProbe probe) { g_pollProbe = probe; }
