#include "protocol/host_time.h"

#include <ctime>

namespace {
bool LocalTime(std::int64_t seconds, std::tm& out) {
#ifdef _WIN32
    const __time64_t t = seconds;
    return _localtime64_s(&out, &t) == 0;
#else
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, &out) != nullptr;
#endif
}
}  // namespace

int PackedYmd(std::uint64_t packed) {
    return static_cast<int>((packed >> 52) & 0xFFF) * 10000 + static_cast<int>((packed >> 48) & 0xF) * 100 +
           static_cast<int>((packed >> 43) & 0x1F);
}

int PackedHms(std::uint64_t packed) {
    return static_cast<int>((packed >> 38) & 0x1F) * 10000 + static_cast<int>((packed >> 32) & 0x3F) * 100 +
           static_cast<int>((packed >> 26) & 0x3F);
}

std::uint64_t PackDateTime(int year, int month, int day, int hour, int minute, int second) {
    return (static_cast<std::uint64_t>(year & 0xFFF) << 52) | (static_cast<std::uint64_t>(month & 0xF) << 48) |
           (static_cast<std::uint64_t>(day & 0x1F) << 43) | (static_cast<std::uint64_t>(hour & 0x1F) << 38) |
           (static_cast<std::uint64_t>(minute & 0x3F) << 32) | (static_cast<std::uint64_t>(second & 0x3F) << 26);
}

std::int64_t UnixFromPackedLocal(std::uint64_t packed) {
    std::tm local{};
    local.tm_year = static_cast<int>((packed >> 52) & 0xFFF) - 1900;
    local.tm_mon = static_cast<int>((packed >> 48) & 0xF) - 1;
    local.tm_mday = static_cast<int>((packed >> 43) & 0x1F);
    const int hour = static_cast<int>((packed >> 38) & 0x1F);
    const int minute = static_cast<int>((packed >> 32) & 0x3F);
    const int second = static_cast<int>((packed >> 26) & 0x3F);
    local.tm_hour = hour == 31 ? 0 : hour;
    local.tm_min = minute == 63 ? 0 : minute;
    local.tm_sec = second == 63 ? 0 : second;
    local.tm_isdst = -1;
#ifdef _WIN32
    return static_cast<std::int64_t>(_mktime64(&local));
#else
    return static_cast<std::int64_t>(std::mktime(&local));
#endif
}

std::uint64_t ToHostDateTime(std::int64_t unixSeconds, bool daily, const PluginSettings& settings) {
    // 64-bit arithmetic: a huge shift setting cannot overflow.
    const std::int64_t shift = daily ? static_cast<std::int64_t>(settings.EodTimeShiftDays) * 86400
                                     : static_cast<std::int64_t>(settings.IntradayTimeShiftMinutes) * 60;
    std::tm local{};
    if (!LocalTime(unixSeconds + shift, local)) return 0;
    const int year = local.tm_year + 1900;
    if (daily) return PackDateTime(year, local.tm_mon + 1, local.tm_mday, 31, 63, 63);
    return PackDateTime(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}
