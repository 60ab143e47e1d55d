// Reads the bars of one series payload (timescale_update or du) into a bar
// list: one pass over the payload's "s" list, no copy of each object. Pure
// apart from the C library's local-time conversion; any thread.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"

// Merges the bars of `payload` into `bars` (later values win for equal
// times), sorted and unique; true when `bars` is not empty afterwards.
// Objects with fewer than five values are skipped; a sixth value is the
// volume (1e+100, the service's "no volume", and other unusable values give
// 0); open interest is 0.
bool ReadSeriesBars(const std::string& payload, int periodicity, const PluginSettings& settings,
                    std::vector<Bar>& bars);

// Why a series_completed payload says the series has no older bars: the
// "data_completed" it carries ("limit": the account's bar limit is reached;
// "end": the instrument has none), or empty when it does not say.
std::string SeriesDataCompleted(const std::string& payload);
