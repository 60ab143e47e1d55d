// The in-memory caches of PluginState: one SymbolCache entry per ticker and
// the single most recent quote record, fed by downloaded histories. Any
// thread; stateLock is taken only to copy records in, never while logging.
#pragma once

#include <string>
#include <vector>

#include "foundation/exchange_session.h"
#include "foundation/host_types.h"
#include "foundation/settings_record.h"

// Empties the symbol cache, the recent record and the active-ticker set
// (database unload, Release). Takes stateLock.
void ClearMemoryCaches();

// What the service said of a symbol's sessions, kept per symbol identifier.
// Both take stateLock briefly; an unknown session is not stored.
void RememberExchangeSession(const std::string& symbolId, const ExchangeSession& session);
ExchangeSession ExchangeSessionOf(const std::string& symbolId);
// How timely the service says a symbol's data is (its quotes' "update_mode":
// "streaming", "delayed_streaming_900" ...), for the status line.
void RememberUpdateMode(const std::string& symbolId, const std::string& updateMode);

// The newest series a background download landed for a cache file path,
// kept (at most a few, the oldest path dropped first) until a quote request
// takes it. Both take stateLock briefly; the bars are moved, not copied.
void KeepLandedSeries(const std::wstring& path, std::vector<Bar> bars);
bool TakeLandedSeries(const std::wstring& path, std::vector<Bar>& bars);

RecentInfo RecentInfoFromBar(const std::wstring& ticker, const Bar& bar, const Bar* previous);
void InitRecentInfo(RecentInfo& record, const std::wstring& ticker);
void UpdateRecentCache(const std::wstring& ticker, const std::string& symbolId, int periodicity,
                       const std::vector<Bar>& bars);
// Keeps the newest `requested` bars, writes the disk cache, updates the
// in-memory caches. `settings` is the snapshot the download ran with. Always true.
// `session` is what the service said of the symbol's sessions during the
// download (unknown when it said nothing); it goes beside the cache file.
bool AcceptHistory(std::vector<Bar>& bars, int requested, const std::wstring& path, int periodicity,
                   const std::wstring& ticker, const std::string& symbolId, const PluginSettings& settings,
                   const ExchangeSession& session = ExchangeSession());
