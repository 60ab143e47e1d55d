#include "foundation/time_zone.h"
#include "foundation/time_zone_rules.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct ZoneName {
    const char* iana;
    const wchar_t* windows;
};

const ZoneName kZoneNames[] = {
#include "foundation/windows_zones.inc"
};

const wchar_t* WindowsZoneName(const std::string& iana) {
    const ZoneName* end = std::end(kZoneNames);
    const ZoneName* found = std::lower_bound(std::begin(kZoneNames), end, iana,
                                             [](const ZoneName& z, const std::string& n) { return n.compare(z.iana) > 0; });
    return found != end && iana == found->iana ? found->windows : nullptr;
}

// One Windows zone: its dynamic information, and its rules per year as the
// platform gives them.
struct Zone {
    bool known = false;
    DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
    std::map<int, TIME_ZONE_INFORMATION> years;
};

std::mutex g_zoneLock;
std::map<std::string, Zone> g_zones;

Zone FindZone(const wchar_t* windowsName) {
    Zone zone;
    DYNAMIC_TIME_ZONE_INFORMATION candidate;
    for (DWORD i = 0; i < 1000 && EnumDynamicTimeZoneInformation(i, &candidate) == ERROR_SUCCESS; ++i) {
        if (std::wcscmp(candidate.TimeZoneKeyName, windowsName) == 0) {
            zone.known = true;
            zone.dynamic = candidate;
            break;
        }
    }
    return zone;
}

// The rules of the zone for `year`, found once; false for an unknown zone.
bool RulesFor(const std::string& iana, int year, TIME_ZONE_INFORMATION& rules) {
    const wchar_t* windowsName = WindowsZoneName(iana);
    if (windowsName == nullptr) return false;
    std::lock_guard<std::mutex> lock(g_zoneLock);
    auto zone = g_zones.find(iana);
    if (zone == g_zones.end()) zone = g_zones.emplace(iana, FindZone(windowsName)).first;
    if (!zone->second.known) return false;
    auto cached = zone->second.years.find(year);
    if (cached == zone->second.years.end()) {
        TIME_ZONE_INFORMATION fresh{};
        if (!GetTimeZoneInformationForYear(static_cast<USHORT>(year), &zone->second.dynamic, &fresh)) return false;
        cached = zone->second.years.emplace(year, fresh).first;
    }
    rules = cached->second;
    return true;
}

}  // namespace

bool ZoneLocalTime(const std::string& iana, std::int64_t unixSeconds, CivilTime& local) {
    return LocalTimeByLocalYear(
        unixSeconds, [&iana](int year, TIME_ZONE_INFORMATION& rules) { return RulesFor(iana, year, rules); }, local);
}

bool IsKnownTimeZone(const std::string& iana) {
    TIME_ZONE_INFORMATION rules;
    return RulesFor(iana, 2020, rules);
}

bool LocalTimeByLocalYear(std::int64_t unixSeconds, const YearRules& rulesFor, CivilTime& local) {
    // FILETIME counts 100 ns from 1601; keep to the years the zone rules cover.
    if (unixSeconds < -11644473600LL || unixSeconds > 32503680000LL) return false;
    const std::uint64_t ticks = static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
    const FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&file, &utc)) return false;
    // A year's rules are those of the zone's own (local) year: within a few
    // hours of New Year the local year is not the UTC one, and a zone whose
    // rules change at New Year must be read by the year it is in there.
    TIME_ZONE_INFORMATION rules;
    if (!rulesFor(utc.wYear, rules)) return false;
    SYSTEMTIME there;
    if (!SystemTimeToTzSpecificLocalTime(&rules, &utc, &there)) return false;
    if (there.wYear != utc.wYear) {
        TIME_ZONE_INFORMATION localYear;
        SYSTEMTIME again;
        if (rulesFor(there.wYear, localYear) && SystemTimeToTzSpecificLocalTime(&localYear, &utc, &again)) there = again;
    }
    local.year = there.wYear;
    local.month = there.wMonth;
    local.day = there.wDay;
    local.hour = there.wHour;
    local.minute = there.wMinute;
    local.second = there.wSecond;
    return true;
}
