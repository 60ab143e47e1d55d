// Reads the bars of one series payload (timescale_update or du) into a bar
// list: one pass over the payload's "s" list, no copy of each object. Pure
// apart from the C library's local-time conversion; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"

// Dates daily bars by something other than the trader's local calendar (the
// exchange's trading day). Returns the packed end-of-day date-time of a
// daily bar stamped at `unixSeconds`, 0 when it cannot be converted.
class DailyDater {
public:
    virtual ~DailyDater() = default;
    virtual std::uint64_t DailyDateTime(std::int64_t unixSeconds) const = 0;
};

// Merges the bars of `payload` into `bars` (later values win for equal
// times), sorted and unique; true when `bars` is not empty afterwards.
// Objects with fewer than five values are skipped; a sixth value is the
// volume (1e+100, the service's "no volume", and other unusable values give
// 0); open interest is 0. Daily bars are dated by `dater` when one is given,
// else by the local calendar (ToHostDateTime).
bool ReadSeriesBars(const std::string& payload, int periodicity, const PluginSettings& settings,
                    std::vector<Bar>& bars, const DailyDater* dater = nullptr);

// Why a series_completed payload says the series has no older bars: the
// "data_completed" it carries ("limit": the account's bar limit is reached;
// "end": the instrument has none), or empty when it does not say.
std::string SeriesDataCompleted(const std::string& payload);
