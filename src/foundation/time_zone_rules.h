// The conversion under ZoneLocalTime with the zone's rules passed in, so the
// choice of a year's rules can be checked with rules made up for it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "foundation/civil_time.h"

// The rules of a zone for one (local) year; false when there are none.
using YearRules = std::function<bool(int year, TIME_ZONE_INFORMATION& rules)>;

// The local time of a Unix instant under the rules of the local year it
// falls in (converted by the UTC year's rules first, and again by the
// local year's when the two years differ).
bool LocalTimeByLocalYear(std::int64_t unixSeconds, const YearRules& rulesFor, CivilTime& local);
