// Byte layouts of the host records that the exports fill or read.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

struct PluginInfo {
    std::int32_t structSize;
    std::int32_t pluginType;
    std::int32_t version;
    std::int32_t idCode;
    char name[64];
    char vendor[64];
    std::int32_t certificate;
    std::int32_t minHostVersion;
};
static_assert(sizeof(PluginInfo) == 152, "PluginInfo is 152 bytes");

struct PluginStatus {
    std::int32_t structSize;
    std::int32_t statusCode;
    std::uint32_t color;  // 0x00BBGGRR
    char longMessage[256];
    char shortMessage[32];
};
static_assert(sizeof(PluginStatus) == 300, "PluginStatus is 300 bytes");
static_assert(offsetof(PluginStatus, shortMessage) == 268, "PluginStatus layout");

// The empty value GetExtraData returns: a type code, then 8 value bytes.
struct HostValue {
    std::int32_t type;
    std::uint8_t value[8];
};
static_assert(sizeof(HostValue) == 12, "HostValue is 12 bytes");

#pragma pack(pop)

struct Quotation {
    std::uint64_t dateTime;
    float close;
    float open;
    float high;
    float low;
    float volume;
    float openInterest;
    float aux1;
    float aux2;
};
static_assert(sizeof(Quotation) == 40, "Quotation is 40 bytes");

struct LegacyQuotation {
    std::uint32_t date;
    float close;
    float open;
    float high;
    float low;
    std::int32_t volume;
    std::int32_t openInterest;
    std::uint8_t unused[4];
};
static_assert(sizeof(LegacyQuotation) == 32, "LegacyQuotation is 32 bytes");

// The notification record, read field by field at fixed offsets.
struct PluginNotification {
    std::int32_t structSize;
    std::int32_t reason;
    const char* databasePath;
    void* mainWindow;
    const void* currentSymbolFormat4;  // ticker at byte offset 270
    const void* reserved32;
    const void* currentSymbol;  // ticker at byte offset 0
};
static_assert(offsetof(PluginNotification, databasePath) == 8, "PluginNotification layout");
static_assert(offsetof(PluginNotification, mainWindow) == 16, "PluginNotification layout");
static_assert(offsetof(PluginNotification, currentSymbolFormat4) == 24, "PluginNotification layout");
static_assert(offsetof(PluginNotification, currentSymbol) == 40, "PluginNotification layout");
