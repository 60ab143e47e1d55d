#include "storage/memory_cache.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "foundation/volume.h"
#include "protocol/host_time.h"
#include "storage/disk_cache.h"

void ClearMemoryCaches() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.recentValid = false;
    s.symbolCache.clear();
    s.activeTickers.clear();
    s.exchangeSessions.clear();
    s.updateModes.clear();
    s.landedSeries.clear();
    s.landedOrder.clear();
    s.pollCursor = 0;
}

namespace {
constexpr size_t kMaxLandedSeries = 16;
}  // namespace

void KeepLandedSeries(const std::wstring& path, std::vector<Bar> bars) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.landedOrder.erase(std::remove(s.landedOrder.begin(), s.landedOrder.end(), path), s.landedOrder.end());
    s.landedOrder.push_back(path);
    s.landedSeries[path].swap(bars);
    while (s.landedOrder.size() > kMaxLandedSeries) {
        s.landedSeries.erase(s.landedOrder.front());
        s.landedOrder.erase(s.landedOrder.begin());
    }
}

bool TakeLandedSeries(const std::wstring& path, std::vector<Bar>& bars) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    const auto found = s.landedSeries.find(path);
    if (found == s.landedSeries.end()) return false;
    bars.swap(found->second);
    s.landedSeries.erase(found);
    s.landedOrder.erase(std::remove(s.landedOrder.begin(), s.landedOrder.end(), path), s.landedOrder.end());
    return !bars.empty();
}

void RememberExchangeSession(const std::string& symbolId, const ExchangeSession& session) {
    if (symbolId.empty() || !session.Known()) return;
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.exchangeSessions[symbolId] = session;
}

void RememberUpdateMode(const std::string& symbolId, const std::string& updateMode) {
    if (symbolId.empty() || updateMode.empty()) return;
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.updateModes[symbolId] = updateMode;
}

ExchangeSession ExchangeSessionOf(const std::string& symbolId) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    const auto found = s.exchangeSessions.find(symbolId);
    return found == s.exchangeSessions.end() ? ExchangeSession() : found->second;
}

void InitRecentInfo(RecentInfo& record, const std::wstring& ticker) {
    record.structSize = kRecentInfoSize;
    const std::string name = WideToUtf8(ticker);
    const size_t n = std::min<size_t>(name.size(), sizeof(record.name) - 1);
    std::memset(record.name, 0, sizeof(record.name));
    std::memcpy(record.name, name.data(), n);
}

RecentInfo RecentInfoFromBar(const std::wstring& ticker, const Bar& bar, const Bar* previous) {
    RecentInfo info{};
    InitRecentInfo(info, ticker);
    info.validFields = kRecentValidFields;
    info.statusBits = kRecentStatusBits;
    info.open = bar.open;
    info.high = bar.high;
    info.low = bar.low;
    info.last = bar.close;
    info.tradeVolume = info.totalVolume = VolumeAsInt32(bar.volume);
    info.tradeVolumeF = info.totalVolumeF = VolumeAsFloat(bar.volume);
    info.openInterest = VolumeAsFloat(bar.openInterest);
    info.change = previous != nullptr ? bar.close - previous->close : 0.0f;
    info.prevClose = previous != nullptr ? previous->close : bar.close;
    info.updateDate = info.tradeDate = PackedYmd(bar.dateTime);
    info.updateTime = info.tradeTime = PackedHms(bar.dateTime);
    return info;
}

void UpdateRecentCache(const std::wstring& ticker, const std::string& symbolId, int periodicity,
                       const std::vector<Bar>& bars) {
    if (bars.empty()) return;
    const RecentInfo info = RecentInfoFromBar(ticker, bars.back(), bars.size() >= 2 ? &bars[bars.size() - 2] : nullptr);
    const std::string key = WideToUtf8(ticker);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.recent = info;
        s.recentValid = true;
        SymbolCacheEntry& entry = s.symbolCache[key];
        if (!symbolId.empty()) entry.symbolId = symbolId;
        // A streamed quote is the ticker's price whatever the chart's
        // interval; a polled one is made from a bar of its chart's.
        const bool liveFits = (entry.hasBar && entry.barPeriodicity == periodicity) ||
                              (entry.hasQuote && (!entry.hasBar || entry.quoteStreamed));
        if (liveFits) {
            entry.served = entry.live;
            s.recent = entry.live;
        } else {
            entry.served = info;
            entry.lastPollTick = 0;
        }
    }
    if (IsDebugLoggingOn()) {
        LogLine("RECENT cache updated symbol=" + key + " symbolId=" + (symbolId.empty() ? "(empty)" : symbolId) +
                " bars=" + std::to_string(bars.size()) + " last=" + WideToUtf8(FormatFloat(info.last)) +
                " wakePoll=1");
    }
    WakePollWorker();
}

bool AcceptHistory(std::vector<Bar>& bars, int requested, const std::wstring& path, int periodicity,
                   const std::wstring& ticker, const std::string& symbolId, const PluginSettings& settings,
                   const ExchangeSession& session) {
    if (requested <= 0) {
        bars.clear();
    } else if (bars.size() > static_cast<size_t>(requested)) {
        bars.erase(bars.begin(), bars.end() - requested);
    }
    if (SaveCachedBars(path, periodicity, bars, settings)) SaveSessionCompanion(path, symbolId, session);
    UpdateRecentCache(ticker, symbolId, periodicity, bars);
    const int lastYmd = bars.empty() ? 0 : PackedYmd(bars.back().dateTime);
    LogDebug(L"HISTORY accepted ticker=" + ticker + L" lastYmd=" + std::to_wstring(lastYmd) + L" bars=" +
             std::to_wstring(bars.size()));
    return true;
}
