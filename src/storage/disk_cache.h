// The disk cache of downloaded bar series: one text file per ticker, chart
// interval and option set in the "VelmarquinCache" folder, with the
// freshness rule, reading, writing and clearing. No lock of its own; any
// thread (two writers of the same file: the last one wins, never a mix).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"

std::wstring CacheDirectory();
// ticker|periodicity|Market|ExtendedHours|splits|UseSettlementAsClose|shifts|resolution
std::wstring CacheKey(const std::wstring& ticker, int periodicity, const PluginSettings& settings);
std::wstring CacheFilePath(const std::wstring& ticker, int periodicity, const PluginSettings& settings);

// True with the bars of a fresh, well-formed file; false (and no bars) otherwise.
bool LoadCachedBars(const std::wstring& path, int periodicity, const PluginSettings& settings, std::vector<Bar>& bars);

// Writes the series through a temporary file in the same folder that then
// replaces the old file in one step, so a reader never sees a cut file.
// The time shift of `settings` is taken off again, so the file holds the
// service's own times and reads back to the same packed times.
void SaveCachedBars(const std::wstring& path, int periodicity, const std::vector<Bar>& bars,
                    const PluginSettings& settings);

bool DeleteTree(const std::wstring& folder);
// Deletes the cache folder, then empties the in-memory caches.
void ClearCache();
