// The local time at an exchange, from the platform's time-zone data: an IANA
// name (as the service gives it) is mapped to a Windows time zone with the
// Unicode CLDR table, whose rules for each year, daylight saving included,
// come from the dynamic time-zone information (Windows 8.1 and later).
// Any thread; the zones found are kept for the life of the process under a
// lock of their own, taken only around the table.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/civil_time.h"

// False when the name is not in the table, the platform does not know its
// Windows zone, or the time cannot be converted.
bool ZoneLocalTime(const std::string& iana, std::int64_t unixSeconds, CivilTime& local);
bool IsKnownTimeZone(const std::string& iana);
