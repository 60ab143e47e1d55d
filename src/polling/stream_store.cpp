#include "polling/stream_store.h"

#include <mutex>

#include "foundation/state.h"
#include "protocol/live_quote_poll.h"
#include "storage/memory_cache.h"

bool StoreStreamedQuote(const std::string& key, const std::wstring& ticker, const QuoteUpdate& update,
                        const PluginSettings& settings, int tradingYmd, bool barLive) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    // A ticker dropped from the active set (or a database unloaded) while
    // the update was on its way gets no entry back.
    if (s.activeTickers.find(key) == s.activeTickers.end()) return false;
    SymbolCacheEntry& entry = s.symbolCache[key];
    if (!update.session.empty()) entry.sessionText = update.session;
    if (!update.updateMode.empty()) s.updateModes[entry.symbolId.empty() ? key : entry.symbolId] = update.updateMode;
    if (entry.served.structSize != kRecentInfoSize) {
        InitRecentInfo(entry.served, ticker);
        entry.served.validFields = 1;
    }
    const bool priced = update.hasLast ? update.last > 0 : entry.served.last > 0;
    if (!priced) return false;
    ApplyQuoteUpdate(entry.served, update, settings);
    if (tradingYmd > 0) entry.served.tradeDate = tradingYmd;
    entry.live = entry.served;
    entry.hasQuote = true;
    entry.quoteStreamed = true;
    ++entry.pushes;
    if (!barLive) {
        entry.hasBar = false;
        entry.hasPreviousBar = false;
    }
    s.recent = entry.served;
    s.recentValid = true;
    return true;
}

bool StoreStreamedBar(const std::string& key, const Bar& bar, int periodicity) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    if (s.activeTickers.find(key) == s.activeTickers.end()) return false;
    SymbolCacheEntry& entry = s.symbolCache[key];
    const bool sameSeries = entry.hasBar && entry.barPeriodicity == periodicity;
    if (sameSeries && bar.dateTime > entry.latestBar.dateTime) {
        // A new bar opened: the one before keeps the last values streamed.
        entry.previousBar = entry.latestBar;
        entry.hasPreviousBar = true;
    } else if (!sameSeries) {
        entry.hasPreviousBar = false;
    }
    entry.latestBar = bar;
    entry.hasBar = true;
    entry.barPeriodicity = periodicity;
    ++entry.pushes;
    return true;
}

void MarkStreamUp() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.streamLost = false;
}

void MarkStreamDown() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.streamLost = true;
}

std::string KnownSymbolId(const std::string& key) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    const auto entry = s.symbolCache.find(key);
    return entry == s.symbolCache.end() ? std::string() : entry->second.symbolId;
}

void StoreSymbolId(const std::string& key, const std::string& symbolId) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    if (s.activeTickers.find(key) != s.activeTickers.end()) s.symbolCache[key].symbolId = symbolId;
}
