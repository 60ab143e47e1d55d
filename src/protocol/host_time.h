// Unix times to the host's packed date-time (local time, end-of-day marks).
// Pure apart from the C library's time-zone conversion; any thread.
#pragma once

#include <cstdint>

#include "foundation/settings_record.h"

// year * 10000 + month * 100 + day, and hour * 10000 + minute * 100 + second,
// of a packed date-time (an end-of-day bar gives 316363 for its time).
int PackedYmd(std::uint64_t packed);
int PackedHms(std::uint64_t packed);

std::uint64_t PackDateTime(int year, int month, int day, int hour, int minute, int second);

// The Unix time of a packed date-time read as local time (hour 31, minute 63
// and second 63 of end-of-day bars count as 0, so a daily bar gives local
// midnight). Daylight saving is left to the platform. -1 when it cannot convert.
std::int64_t UnixFromPackedLocal(std::uint64_t packed);

// Shifted by EodTimeShiftDays (daily) or IntradayTimeShiftMinutes, converted
// to local time and packed; daily bars carry hour 31, minute 63, second 63.
// A time the platform cannot convert gives 0.
std::uint64_t ToHostDateTime(std::int64_t unixSeconds, bool daily, const PluginSettings& settings);

// The conversions are remembered (the same bar times recur across tickers);
// this forgets them, for a time zone that may have changed (Init).
void ForgetLocalTimeConversions();
