// The plug-in's exports as the host sees them, resolved from a private copy.
#pragma once

#include <cstdint>
#include <string>

#include "support/test_support.h"
#include "support/ui_driver.h"

// The host's 40-byte quotation record and its older 32-byte one.
struct HostQuotation {
    std::uint64_t dateTime;
    float close, open, high, low, volume, openInterest, aux1, aux2;
};
static_assert(sizeof(HostQuotation) == 40, "host quotation");
struct HostLegacyQuotation {
    std::uint32_t date;
    float close, open, high, low;
    std::int32_t volume, openInterest;
    std::uint8_t unused[4];
};
static_assert(sizeof(HostLegacyQuotation) == 32, "legacy quotation");

struct HostValueBytes {
    std::uint8_t bytes[12];
};

// The host's notification record.
struct HostNotification {
    std::int32_t size;
    std::int32_t reason;
    const char* databasePath;
    HWND mainWindow;
    const void* format4Symbol;
    const void* reserved;
    const void* olderSymbol;
};
static_assert(sizeof(HostNotification) == 48, "notification record");

struct Exports {
    using GetPluginInfoFn = int (*)(void*);
    using VoidIntFn = int (*)();
    using ConfigureFn = int (*)(const char*, void*);
    using GetExtraDataFn = HostValueBytes (*)(const char*, const char*, int, int, void* (*)(unsigned int));
    using SetTimeBaseFn = int (*)(unsigned int);
    using TickerIntFn = int (*)(const char*);
    using GetQuotesExFn = int (*)(const char*, int, int, int, void*, void*);
    using GetQuotesFn = int (*)(const char*, int, int, int, void*);
    using NotifyFn = int (*)(void*);
    using GetRecentInfoFn = void* (*)(const char*);
    using GetPluginStatusFn = int (*)(void*);

    explicit Exports(const testing_support::PluginCopy& plugin)
        : GetPluginInfo(plugin.Get<GetPluginInfoFn>("GetPluginInfo")),
          Init(plugin.Get<VoidIntFn>("Init")),
          Release(plugin.Get<VoidIntFn>("Release")),
          Configure(plugin.Get<ConfigureFn>("Configure")),
          GetExtraData(plugin.Get<GetExtraDataFn>("GetExtraData")),
          SetTimeBase(plugin.Get<SetTimeBaseFn>("SetTimeBase")),
          IsBackfillComplete(plugin.Get<TickerIntFn>("IsBackfillComplete")),
          GetSymbolLimit(plugin.Get<VoidIntFn>("GetSymbolLimit")),
          GetQuotesEx(plugin.Get<GetQuotesExFn>("GetQuotesEx")),
          GetQuotes(plugin.Get<GetQuotesFn>("GetQuotes")),
          Notify(plugin.Get<NotifyFn>("Notify")),
          GetRecentInfo(plugin.Get<GetRecentInfoFn>("GetRecentInfo")),
          GetPluginStatus(plugin.Get<GetPluginStatusFn>("GetPluginStatus")) {}

    // Configure as the host's configure button calls it: the settings are
    // loaded, the configuration window opens, and here it is cancelled as
    // soon as it appears. Returns Configure's result.
    int ConfigureAndCancel(const char* databasePath) const {
        ui_driver::ModalCall cancel([] {
            HWND window = ui_driver::WaitFor([] { return ui_driver::FindShownTopLevel(L"VelmarquinConfigWindow"); });
            if (window != nullptr) SendMessageW(ui_driver::FindById(window, IDCANCEL), BM_CLICK, 0, 0);
        });
        return Configure(databasePath, nullptr);
    }

    GetPluginInfoFn GetPluginInfo;
    VoidIntFn Init;
    VoidIntFn Release;
    ConfigureFn Configure;
    GetExtraDataFn GetExtraData;
    SetTimeBaseFn SetTimeBase;
    TickerIntFn IsBackfillComplete;
    VoidIntFn GetSymbolLimit;
    GetQuotesExFn GetQuotesEx;
    GetQuotesFn GetQuotes;
    NotifyFn Notify;
    GetRecentInfoFn GetRecentInfo;
    GetPluginStatusFn GetPluginStatus;
};

// The 300-byte status record, read at its offsets.
struct StatusBytes {
    std::uint8_t raw[300];
    std::uint32_t Color() const { return raw[8] | (raw[9] << 8) | (raw[10] << 16) | (static_cast<std::uint32_t>(raw[11]) << 24); }
    const char* LongMessage() const { return reinterpret_cast<const char*>(raw + 12); }
    // The status itself, without what the plug-in adds at its end in
    // brackets (" [delayed 15 min; anonymous]"), and that addition.
    std::string Text() const {
        const std::string whole = LongMessage();
        const size_t at = whole.rfind(" [");
        return at == std::string::npos ? whole : whole.substr(0, at);
    }
    std::string Detail() const {
        const std::string whole = LongMessage();
        const size_t at = whole.rfind(" [");
        return at == std::string::npos ? std::string() : whole.substr(at + 2, whole.size() - at - 3);
    }
    const char* ShortMessage() const { return reinterpret_cast<const char*>(raw + 268); }
};
