// The disk cache of downloaded bar series: one text file per ticker, chart
// interval and option set in the "VelmarquinCache" folder, with the
// freshness rule, reading, writing and clearing. No lock of its own; any
// thread (two writers of the same file: the last one wins, never a mix).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/exchange_session.h"
#include "foundation/host_types.h"
#include "foundation/settings_record.h"

std::wstring CacheDirectory();
// ticker|periodicity|Market|ExtendedHours|splits|UseSettlementAsClose|shifts|resolution
std::wstring CacheKey(const std::wstring& ticker, int periodicity, const PluginSettings& settings);
std::wstring CacheFilePath(const std::wstring& ticker, int periodicity, const PluginSettings& settings);

enum class CacheAge { Fresh, Any };

// True with the bars of a well-formed file that is fresh (or, with
// CacheAge::Any, of any age); false (and no bars) otherwise.
bool LoadCachedBars(const std::wstring& path, int periodicity, const PluginSettings& settings, std::vector<Bar>& bars,
                    CacheAge age = CacheAge::Fresh);

// Writes the series through a temporary file in the same folder that then
// replaces the old file in one step, so a reader never sees a cut file.
// The time shift of `settings` is taken off again, so the file holds the
// service's own times and reads back to the same packed times.
// True when the file was written.
bool SaveCachedBars(const std::wstring& path, int periodicity, const std::vector<Bar>& bars,
                    const PluginSettings& settings);

// What the service said of the symbol's sessions, in a small file beside its
// cache file ("bars_<key>.session"): written with the cache file, and
// removed when the cache file is written without a known session, so a
// companion never outlives the download it belongs to. The cache file itself
// does not change. False (nothing read) for a missing or foreign companion.
void SaveSessionCompanion(const std::wstring& cachePath, const std::string& symbolId,
                          const ExchangeSession& session);
bool LoadSessionCompanion(const std::wstring& cachePath, std::string& symbolId, ExchangeSession& session);

bool DeleteTree(const std::wstring& folder);
// Deletes the cache folder, then empties the in-memory caches.
void ClearCache();
