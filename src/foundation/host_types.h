// Byte layouts shared with the host: the 32-byte bar and the 192-byte
// real-time quote record. Plain data, no Windows header, so the pure
// protocol code and the fuzz targets can use them too.
#pragma once

#include <cstddef>
#include <cstdint>

// One price bar: packed date-time, then six single-precision values.
struct Bar {
    std::uint64_t dateTime = 0;
    float open = 0;
    float high = 0;
    float low = 0;
    float close = 0;
    float volume = 0;
    float openInterest = 0;
};
static_assert(sizeof(Bar) == 32, "Bar is 32 bytes");
static_assert(offsetof(Bar, open) == 8 && offsetof(Bar, openInterest) == 28, "Bar layout");

// The host's real-time quote record.
struct RecentInfo {
    std::int32_t structSize = 0;
    char name[64] = {};
    std::uint8_t reserved68[8] = {};
    std::int32_t validFields = 0;  // 9 for records built by this plug-in
    std::int32_t statusBits = 0;   // 0x607F for records built here; bit 0 = usable
    float open = 0;
    float high = 0;
    float low = 0;
    float last = 0;
    std::int32_t tradeVolume = 0;
    std::int32_t totalVolume = 0;
    float openInterest = 0;
    float change = 0;
    float prevClose = 0;
    std::uint8_t reserved120[48] = {};
    std::int32_t updateDate = 0;  // YYYYMMDD
    std::int32_t updateTime = 0;  // HHMMSS
    std::int32_t tradeDate = 0;   // YYYYMMDD
    std::int32_t tradeTime = 0;   // HHMMSS
    float tradeVolumeF = 0;
    float totalVolumeF = 0;
};
static_assert(sizeof(RecentInfo) == 192, "RecentInfo is 192 bytes");
static_assert(offsetof(RecentInfo, validFields) == 76, "RecentInfo layout");
static_assert(offsetof(RecentInfo, statusBits) == 80, "RecentInfo layout");
static_assert(offsetof(RecentInfo, open) == 84, "RecentInfo layout");
static_assert(offsetof(RecentInfo, tradeVolume) == 100, "RecentInfo layout");
static_assert(offsetof(RecentInfo, prevClose) == 116, "RecentInfo layout");
static_assert(offsetof(RecentInfo, updateDate) == 168, "RecentInfo layout");
static_assert(offsetof(RecentInfo, tradeTime) == 180, "RecentInfo layout");
static_assert(offsetof(RecentInfo, totalVolumeF) == 188, "RecentInfo layout");

constexpr std::int32_t kRecentInfoSize = 192;
constexpr std::int32_t kRecentValidFields = 9;
constexpr std::int32_t kRecentStatusBits = 0x607F;
