#include "protocol/host_time.h"

#include <ctime>
#include <mutex>

namespace {

// The C library's local-time conversions serialise every thread of the
// process on one lock, and some runtimes read the time-zone settings on each
// call: a history of 10000 daily bars converts 10000 times, and a database's
// tickers do it from several host threads at once. The same instants recur
// (every ticker of an exchange has the same bar times), so each conversion
// is remembered in a small direct-mapped table of its own.
template <typename Value>
class ConversionMemo {
public:
    bool Find(std::int64_t key, Value& value) {
        std::lock_guard<std::mutex> guard(lock_);
        const Slot& slot = slots_[Index(key)];
        if (!slot.used || slot.key != key) return false;
        value = slot.value;
        return true;
    }
    void Keep(std::int64_t key, const Value& value) {
        std::lock_guard<std::mutex> guard(lock_);
        slots_[Index(key)] = Slot{key, value, true};
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        for (Slot& slot : slots_) slot.used = false;
    }

private:
    static constexpr int kBits = 13;
    struct Slot {
        std::int64_t key = 0;
        Value value{};
        bool used = false;
    };
    static size_t Index(std::int64_t key) {
        return static_cast<size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >> (64 - kBits));
    }
    std::mutex lock_;
    Slot slots_[1u << kBits];
};

ConversionMemo<std::tm>& LocalTimes() {
    static ConversionMemo<std::tm> memo;
    return memo;
}

ConversionMemo<std::int64_t>& LocalInstants() {
    static ConversionMemo<std::int64_t> memo;
    return memo;
}

bool LocalTime(std::int64_t seconds, std::tm& out) {
    if (LocalTimes().Find(seconds, out)) return true;
#ifdef _WIN32
    const __time64_t t = seconds;
    const bool ok = _localtime64_s(&out, &t) == 0;
#else
    const std::time_t t = static_cast<std::time_t>(seconds);
    const bool ok = localtime_r(&t, &out) != nullptr;
#endif
    if (ok) LocalTimes().Keep(seconds, out);
    return ok;
}

}  // namespace

void ForgetLocalTimeConversions() {
    LocalTimes().Clear();
    LocalInstants().Clear();
}

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
    std::int64_t remembered = 0;
    if (LocalInstants().Find(static_cast<std::int64_t>(packed), remembered)) return remembered;
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
    const std::int64_t unix = static_cast<std::int64_t>(_mktime64(&local));
#else
    const std::int64_t unix = static_cast<std::int64_t>(std::mktime(&local));
#endif
    LocalInstants().Keep(static_cast<std::int64_t>(packed), unix);
    return unix;
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
