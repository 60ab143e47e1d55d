// The functions the host calls. Each forwards to the plug-in code and turns
// any escaping exception into the export's defined result.
#include <windows.h>

#include "foundation/host_types.h"
#include "foundation/path.h"
#include "plugin/entry_points.h"
#include "plugin/host_records.h"
#include "plugin/notify.h"
#include "plugin/quote_delivery.h"
#include "plugin/recent_info.h"
#include "plugin/status.h"

#define VELMARQUIN_EXPORT extern "C" __declspec(dllexport)

namespace {
template <typename Result, typename Body>
Result Guarded(Result fallback, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetPluginModule(module);
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}

VELMARQUIN_EXPORT int GetPluginInfo(PluginInfo* info) {
    return Guarded(0, [&] { return FillPluginInfo(info); });
}

VELMARQUIN_EXPORT int Init() { return Guarded(1, [] { return PluginInit(); }); }

VELMARQUIN_EXPORT int Release() { return Guarded(1, [] { return PluginRelease(); }); }

VELMARQUIN_EXPORT int Configure(const char* databasePath, void* /*site*/) {
    return Guarded(1, [&] { return PluginConfigure(databasePath); });
}

VELMARQUIN_EXPORT HostValue GetExtraData(const char*, const char*, int, int, void* (*)(unsigned int)) {
    return EmptyHostValue();
}

VELMARQUIN_EXPORT int SetTimeBase(unsigned int timeBase) { return CheckTimeBase(timeBase); }

VELMARQUIN_EXPORT int IsBackfillComplete(const char* ticker) {
    return Guarded(1, [&] { return BackfillComplete(ticker); });
}

VELMARQUIN_EXPORT int GetSymbolLimit() { return 4096; }

VELMARQUIN_EXPORT int GetQuotesEx(const char* ticker, int periodicity, int /*lastValid*/, int size, Quotation* quotes,
                                   void* /*context*/) {
    return Guarded(0, [&] { return DeliverQuotesEx(ticker, periodicity, size, quotes); });
}

VELMARQUIN_EXPORT int GetQuotes(const char* ticker, int periodicity, int /*lastValid*/, int size,
                                LegacyQuotation* quotes) {
    return Guarded(0, [&] { return DeliverQuotes(ticker, periodicity, size, quotes); });
}

VELMARQUIN_EXPORT int Notify(PluginNotification* notification) {
    return Guarded(1, [&] { return HandleNotify(notification); });
}

VELMARQUIN_EXPORT RecentInfo* GetRecentInfo(const char* ticker) {
    return Guarded(static_cast<RecentInfo*>(nullptr), [&] { return ServeRecentInfo(ticker); });
}

VELMARQUIN_EXPORT int GetPluginStatus(PluginStatus* status) {
    return Guarded(0, [&] { return FillPluginStatus(status); });
}
