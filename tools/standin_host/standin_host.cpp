// Stand-in for the AmiBroker host: loads the Velmarquin data plug-in, owns a
// real top-level main window with a message pump (so the plug-in's streaming
// message can be posted to it), and runs a scripted list of export calls given
// on the command line, printing every result in readable form.
//
// The host record layouts below are written here on purpose and are not shared
// with the plug-in's sources, so a layout mistake in the plug-in shows up as a
// wrong value in this program's output instead of being hidden by a common
// header.
//
// Exit codes: 0 success, 1 a command failed or the plug-in broke the host
// contract, 2 usage error or the DLL/an export could not be loaded, 3 the
// process hit an unhandled exception (usually a crash inside the plug-in).

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Host record layouts (little-endian, x64).

struct PluginInfo {
    int32_t structSize;
    int32_t pluginType;
    int32_t version;
    int32_t idCode;
    char name[64];
    char vendor[64];
    int32_t certificate;
    int32_t minHostVersion;
};
static_assert(sizeof(PluginInfo) == 152, "PluginInfo is 152 bytes");
static_assert(offsetof(PluginInfo, idCode) == 12, "PluginInfo id code offset");
static_assert(offsetof(PluginInfo, name) == 16, "PluginInfo name offset");
static_assert(offsetof(PluginInfo, vendor) == 80, "PluginInfo vendor offset");
static_assert(offsetof(PluginInfo, certificate) == 144, "PluginInfo certificate offset");
static_assert(offsetof(PluginInfo, minHostVersion) == 148, "PluginInfo min host offset");

struct Quotation {
    uint64_t dateTime;
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
static_assert(offsetof(Quotation, close) == 8, "Quotation close offset");
static_assert(offsetof(Quotation, openInterest) == 28, "Quotation open interest offset");
static_assert(offsetof(Quotation, aux2) == 36, "Quotation aux2 offset");

struct LegacyQuotation {
    uint32_t date;
    float close;
    float open;
    float high;
    float low;
    int32_t volume;
    int32_t openInterest;
    uint8_t unused[4];
};
static_assert(sizeof(LegacyQuotation) == 32, "LegacyQuotation is 32 bytes");
static_assert(offsetof(LegacyQuotation, volume) == 20, "LegacyQuotation volume offset");
static_assert(offsetof(LegacyQuotation, openInterest) == 24, "LegacyQuotation oi offset");

struct PluginNotification {
    int32_t structSize;
    int32_t reason;
    const char* databasePath;
    HWND mainWindow;
    void* currentStockInfoFormat4;  // newer symbol record, ticker at byte 270
    void* reserved32;               // not used by this host, always null
    void* currentStockInfo;         // older symbol record, ticker at byte 0
};
static_assert(sizeof(PluginNotification) == 48, "PluginNotification is 48 bytes");
static_assert(offsetof(PluginNotification, databasePath) == 8, "notification path offset");
static_assert(offsetof(PluginNotification, mainWindow) == 16, "notification window offset");
static_assert(offsetof(PluginNotification, currentStockInfoFormat4) == 24,
              "notification newer record offset");
static_assert(offsetof(PluginNotification, currentStockInfo) == 40,
              "notification older record offset");

constexpr size_t kStockInfoFormat4TickerOffset = 270;
constexpr size_t kSymbolRecordBytes = 1024;  // zeroed buffer handed as symbol record

struct PluginStatus {
    int32_t structSize;
    int32_t statusCode;
    uint32_t colour;  // 0x00BBGGRR
    char longMessage[256];
    char shortMessage[32];
};
static_assert(sizeof(PluginStatus) == 300, "PluginStatus is 300 bytes");
static_assert(offsetof(PluginStatus, longMessage) == 12, "status long message offset");
static_assert(offsetof(PluginStatus, shortMessage) == 268, "status short message offset");

struct RecentInfo {
    int32_t structSize;
    char ticker[64];
    uint8_t reserved68[8];
    int32_t validFields;
    int32_t statusBits;
    float open;
    float high;
    float low;
    float last;
    int32_t tradeVolume;
    int32_t totalVolume;
    float openInterest;
    float change;
    float prevClose;
    uint8_t reserved120[48];
    int32_t updateDate;
    int32_t updateTime;
    int32_t tradeDate;
    int32_t tradeTime;
    float tradeVolumeF;
    float totalVolumeF;
};
static_assert(sizeof(RecentInfo) == 192, "RecentInfo is 192 bytes");
static_assert(offsetof(RecentInfo, validFields) == 76, "RecentInfo valid fields offset");
static_assert(offsetof(RecentInfo, open) == 84, "RecentInfo open offset");
static_assert(offsetof(RecentInfo, tradeVolume) == 100, "RecentInfo trade volume offset");
static_assert(offsetof(RecentInfo, prevClose) == 116, "RecentInfo previous close offset");
static_assert(offsetof(RecentInfo, updateDate) == 168, "RecentInfo update date offset");
static_assert(offsetof(RecentInfo, totalVolumeF) == 188, "RecentInfo float volume offset");

// ---------------------------------------------------------------------------
// Export signatures.

using GetPluginInfoFn = int (*)(PluginInfo*);
using VoidIntFn = int (*)();
using ConfigureFn = int (*)(const char*, void*);
using SetTimeBaseFn = int (*)(unsigned);
using TickerIntFn = int (*)(const char*);
using GetQuotesExFn = int (*)(const char*, int, int, int, Quotation*, void*);
using GetQuotesFn = int (*)(const char*, int, int, int, LegacyQuotation*);
using NotifyFn = int (*)(PluginNotification*);
using GetRecentInfoFn = RecentInfo* (*)(const char*);
using GetPluginStatusFn = int (*)(PluginStatus*);

constexpr UINT kStreamingMessage = WM_USER + 13000;  // 14024
static_assert(kStreamingMessage == 14024, "streaming message number");

constexpr DWORD kPumpBetweenCommandsMs = 50;
constexpr long long kMaxPumpMs = 600000;
constexpr long long kMaxBars = 1000000;
constexpr int kWatchChartBars = 30;
constexpr size_t kGuardRecords = 4;
constexpr unsigned char kFillByte = 0xA5;

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCrash = 3 };

// ---------------------------------------------------------------------------
// Small owners for the handles this program creates.

class Library {
public:
    Library() = default;
    explicit Library(HMODULE module) : module_(module) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return module_; }
    // Gives up ownership without unloading (the script already did).
    void forget() { module_ = nullptr; }

private:
    HMODULE module_ = nullptr;
};

class WindowClass {
public:
    WindowClass(const wchar_t* name, HINSTANCE instance, WNDPROC proc)
        : name_(name), instance_(instance) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
        wc.lpszClassName = name;
        registered_ = RegisterClassExW(&wc) != 0;
    }
    ~WindowClass() {
        if (registered_) UnregisterClassW(name_, instance_);
    }
    WindowClass(const WindowClass&) = delete;
    WindowClass& operator=(const WindowClass&) = delete;
    bool registered() const { return registered_; }

private:
    const wchar_t* name_;
    HINSTANCE instance_;
    bool registered_ = false;
};

class Window {
public:
    explicit Window(HWND window) : window_(window) {}
    ~Window() {
        if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

// ---------------------------------------------------------------------------
// Text helpers.

std::string toCodePage(const std::wstring& text, UINT codePage) {
    if (text.empty()) return std::string();
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, &out[0], needed, nullptr, nullptr);
    return out;
}

std::string utf8(const std::wstring& text) { return toCodePage(text, CP_UTF8); }

// A command argument in both forms: UTF-16 as typed, ANSI as the plug-in's
// char* parameters expect it.
struct Arg {
    std::wstring wide;
    std::string ansi;
    bool isDash() const { return wide == L"-"; }
};
using Args = std::vector<Arg>;

// Prints a possibly-null C string argument for the call echo lines.
std::string quoted(const char* text) {
    if (text == nullptr) return "null";
    return "\"" + std::string(text) + "\"";
}

// Reads a fixed-size char field, stopping at the first NUL or the field end.
std::string fieldText(const char* field, size_t size, bool* terminated) {
    const void* nul = std::memchr(field, 0, size);
    if (terminated != nullptr) *terminated = nul != nullptr;
    const size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : size;
    return std::string(field, length);
}

// Floats print with the precision a float holds; whole values without a
// fraction so volumes read naturally.
std::string formatFloat(float value) {
    char buffer[64];
    const double v = static_cast<double>(value);
    if (v == static_cast<double>(static_cast<long long>(v)) && v < 1e15 && v > -1e15) {
        std::snprintf(buffer, sizeof(buffer), "%.0f", v);
    } else {
        std::snprintf(buffer, sizeof(buffer), "%.7g", v);
    }
    return buffer;
}

// Parses a whole argument as a decimal or 0x-prefixed hexadecimal integer
// within [minValue, maxValue].
bool parseInteger(const std::wstring& text, long long minValue, long long maxValue,
                  long long& out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (base == 16 && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a') + 10;
        } else if (base == 16 && c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A') + 10;
        } else {
            return false;
        }
        if (magnitude > (0xFFFFFFFFFFFFULL)) return false;  // far beyond any accepted range
        magnitude = magnitude * base + digit;
    }
    if (magnitude > 0x7FFFFFFFFFFFFFFFULL) return false;
    const long long value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (value < minValue || value > maxValue) return false;
    out = value;
    return true;
}

bool equalsIgnoreCase(const std::wstring& a, const wchar_t* b) {
    const size_t length = std::wcslen(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (towlower(a[i]) != towlower(b[i])) return false;
    }
    return true;
}

// Accepts only "http(s)://127.0.0.1[:port]" or "http(s)://localhost[:port]",
// nothing after the authority. Anything else could route a test to a real
// service, so it is refused.
bool isLoopbackOrigin(const std::wstring& origin, std::string& why) {
    std::wstring rest;
    if (origin.size() > 8 && equalsIgnoreCase(origin.substr(0, 8), L"https://")) {
        rest = origin.substr(8);
    } else if (origin.size() > 7 && equalsIgnoreCase(origin.substr(0, 7), L"http://")) {
        rest = origin.substr(7);
    } else {
        why = "it must start with http:// or https://";
        return false;
    }
    for (wchar_t c : rest) {
        const bool allowed = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                             (c >= L'0' && c <= L'9') || c == L'.' || c == L'-' || c == L':';
        if (!allowed) {
            why = "only host[:port] may follow the scheme (no path, user name or other text)";
            return false;
        }
    }
    const size_t colon = rest.find(L':');
    const std::wstring host = rest.substr(0, colon);
    if (host != L"127.0.0.1" && !equalsIgnoreCase(host, L"localhost")) {
        why = "its host must be 127.0.0.1 or localhost";
        return false;
    }
    if (colon != std::wstring::npos) {
        long long port = 0;
        const std::wstring portText = rest.substr(colon + 1);
        bool digitsOnly = !portText.empty() && portText.size() <= 5;
        for (wchar_t c : portText) digitsOnly = digitsOnly && c >= L'0' && c <= L'9';
        if (!digitsOnly || !parseInteger(portText, 1, 65535, port)) {
            why = "its port must be a number from 1 to 65535";
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Packed date-time decoding.

std::string decodeDateTime(uint64_t packed) {
    const unsigned year = static_cast<unsigned>((packed >> 52) & 0xFFF);
    const unsigned month = static_cast<unsigned>((packed >> 48) & 0xF);
    const unsigned day = static_cast<unsigned>((packed >> 43) & 0x1F);
    const unsigned hour = static_cast<unsigned>((packed >> 38) & 0x1F);
    const unsigned minute = static_cast<unsigned>((packed >> 32) & 0x3F);
    const unsigned second = static_cast<unsigned>((packed >> 26) & 0x3F);
    char buffer[48];
    if (hour == 31 && minute == 63 && second == 63) {
        std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u EOD", year, month, day);
    } else {
        std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u", year, month, day,
                      hour, minute, second);
    }
    return buffer;
}

std::string decodeLegacyDate(uint32_t packed) {
    const unsigned year = ((packed >> 24) & 0xFF) + 1900;
    const unsigned month = (packed >> 20) & 0xF;
    const unsigned day = (packed >> 15) & 0x1F;
    const unsigned hour = (packed >> 10) & 0x1F;
    const unsigned minute = (packed >> 4) & 0x3F;
    const unsigned tick = packed & 0xF;
    char buffer[48];
    if (hour == 31 && minute == 63 && tick == 15) {
        std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u EOD", year, month, day);
    } else {
        std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u", year, month, day,
                      hour, minute, tick * 5);
    }
    return buffer;
}

const char* colourName(uint32_t colour) {
    switch (colour) {
        case 0x00008000: return "green";
        case 0x000078B4: return "amber";
        case 0x000000C0: return "red";
        default: return "other";
    }
}

// ---------------------------------------------------------------------------
// Host state shared by the commands.

struct Exports {
    GetPluginInfoFn getPluginInfo = nullptr;
    VoidIntFn init = nullptr;
    VoidIntFn release = nullptr;
    ConfigureFn configure = nullptr;
    FARPROC getExtraData = nullptr;  // resolved to prove it is exported; never called
    SetTimeBaseFn setTimeBase = nullptr;
    TickerIntFn isBackfillComplete = nullptr;
    VoidIntFn getSymbolLimit = nullptr;
    GetQuotesExFn getQuotesEx = nullptr;
    GetQuotesFn getQuotes = nullptr;
    NotifyFn notify = nullptr;
    GetRecentInfoFn getRecentInfo = nullptr;
    GetPluginStatusFn getPluginStatus = nullptr;
};

struct Host {
    Exports api;
    HMODULE module = nullptr;
    HWND mainWindow = nullptr;
    int initCalls = 0;
    int releaseCalls = 0;
    bool unloaded = false;  // the script called FreeLibrary itself
};

long g_streamingCount = 0;  // only touched on the main thread (window procedure)

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kStreamingMessage) {
        ++g_streamingCount;
        if (wParam == 0 && lParam == 0) {
            std::printf("host: streaming message 14024 received\n");
        } else {
            std::printf("host: streaming message 14024 received with unexpected parameters "
                        "wParam=%llu lParam=%lld\n",
                        static_cast<unsigned long long>(wParam), static_cast<long long>(lParam));
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Runs the message loop for about `milliseconds`; the plug-in's posted
// messages are dispatched to the main window from here.
void pumpMessages(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                std::printf("host: WM_QUIT received (exit code %lld) and ignored\n",
                            static_cast<long long>(msg.wParam));
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
    }
}

template <typename Fn>
bool resolveExport(HMODULE module, const char* name, Fn& out) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) {
        std::printf("host: export %s not found in the DLL\n", name);
        return false;
    }
    // Through void(*)() so the conversion to the real signature is explicit.
    out = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return true;
}

bool resolveExports(HMODULE module, Exports& api) {
    bool ok = true;
    ok &= resolveExport(module, "GetPluginInfo", api.getPluginInfo);
    ok &= resolveExport(module, "Init", api.init);
    ok &= resolveExport(module, "Release", api.release);
    ok &= resolveExport(module, "Configure", api.configure);
    ok &= resolveExport(module, "GetExtraData", api.getExtraData);
    ok &= resolveExport(module, "SetTimeBase", api.setTimeBase);
    ok &= resolveExport(module, "IsBackfillComplete", api.isBackfillComplete);
    ok &= resolveExport(module, "GetSymbolLimit", api.getSymbolLimit);
    ok &= resolveExport(module, "GetQuotesEx", api.getQuotesEx);
    ok &= resolveExport(module, "GetQuotes", api.getQuotes);
    ok &= resolveExport(module, "Notify", api.notify);
    ok &= resolveExport(module, "GetRecentInfo", api.getRecentInfo);
    ok &= resolveExport(module, "GetPluginStatus", api.getPluginStatus);
    return ok;
}

const char* nullableAnsi(const Arg& arg) { return arg.isDash() ? nullptr : arg.ansi.c_str(); }

// ---------------------------------------------------------------------------
// Commands. Each returns an exit code; anything but kExitOk stops the script.

int runInfo(Host& host, bool nullPointer) {
    if (nullPointer) {
        const int result = host.api.getPluginInfo(nullptr);
        std::printf("host: GetPluginInfo(null) -> %d\n", result);
        return kExitOk;
    }
    PluginInfo info;
    std::memset(&info, kFillByte, sizeof(info));
    info.structSize = static_cast<int32_t>(sizeof(info));
    const int result = host.api.getPluginInfo(&info);
    std::printf("host: GetPluginInfo -> %d\n", result);
    if (result == 0) return kExitOk;

    bool nameTerminated = false;
    bool vendorTerminated = false;
    const std::string name = fieldText(info.name, sizeof(info.name), &nameTerminated);
    const std::string vendor = fieldText(info.vendor, sizeof(info.vendor), &vendorTerminated);
    const uint32_t id = static_cast<uint32_t>(info.idCode);
    char idChars[5];
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((id >> (24 - 8 * i)) & 0xFF);
        idChars[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    idChars[4] = '\0';
    std::printf("  size: %d\n", info.structSize);
    std::printf("  type: %d\n", info.pluginType);
    std::printf("  version: %d\n", info.version);
    std::printf("  id code: 0x%08X '%s'\n", static_cast<unsigned>(id), idChars);
    std::printf("  name: %s\n", name.c_str());
    std::printf("  vendor: %s\n", vendor.c_str());
    std::printf("  certificate: %d\n", info.certificate);
    std::printf("  min host version: %d\n", info.minHostVersion);

    bool paddingZero = nameTerminated && vendorTerminated;
    for (size_t i = name.size(); paddingZero && i < sizeof(info.name); ++i)
        paddingZero = info.name[i] == 0;
    for (size_t i = vendor.size(); paddingZero && i < sizeof(info.vendor); ++i)
        paddingZero = info.vendor[i] == 0;
    std::printf("  name padding zero: %s\n", paddingZero ? "yes" : "no");
    if (!nameTerminated || !vendorTerminated) {
        std::printf("host: CONTRACT VIOLATION: name or vendor is not NUL-terminated\n");
        return kExitFailed;
    }
    return kExitOk;
}

int runInit(Host& host) {
    const int result = host.api.init();
    ++host.initCalls;
    std::printf("host: Init -> %d\n", result);
    return kExitOk;
}

int runRelease(Host& host) {
    const int result = host.api.release();
    ++host.releaseCalls;
    std::printf("host: Release -> %d\n", result);
    return kExitOk;
}

int runConfigure(Host& host, const Arg& folder) {
    const char* path = nullableAnsi(folder);
    const int result = host.api.configure(path, nullptr);
    std::printf("host: Configure(%s, null) -> %d\n", quoted(path).c_str(), result);
    return kExitOk;
}

// Symbol records carry UTF-8 tickers; each goes into its own zeroed buffer.
std::vector<char> makeSymbolRecord(const std::wstring& ticker, size_t tickerOffset) {
    std::vector<char> record(kSymbolRecordBytes, 0);
    const std::string bytes = utf8(ticker);
    const size_t room = record.size() - tickerOffset - 1;  // keep the terminating NUL
    std::memcpy(record.data() + tickerOffset, bytes.data(), bytes.size() < room ? bytes.size() : room);
    return record;
}

struct NotifyRequest {
    Arg folder;
    int reason = 0;
    bool withWindow = true;
    bool hasOldTicker = false;
    Arg oldTicker;
    bool hasNewTicker = false;
    Arg newTicker;
};

int runNotify(Host& host, const NotifyRequest& request) {
    std::vector<char> oldRecord;
    std::vector<char> newRecord;
    PluginNotification notification = {};
    notification.structSize = static_cast<int32_t>(sizeof(notification));
    notification.reason = request.reason;
    notification.databasePath = nullableAnsi(request.folder);
    notification.mainWindow = request.withWindow ? host.mainWindow : nullptr;
    if (request.hasOldTicker) {
        oldRecord = makeSymbolRecord(request.oldTicker.wide, 0);
        notification.currentStockInfo = oldRecord.data();
    }
    if (request.hasNewTicker) {
        newRecord = makeSymbolRecord(request.newTicker.wide, kStockInfoFormat4TickerOffset);
        notification.currentStockInfoFormat4 = newRecord.data();
    }
    const int result = host.api.notify(&notification);
    std::printf("host: Notify(reason=%d, dbpath=%s, window=%s, StockInfo=%s, StockInfoFormat4=%s)"
                " -> %d\n",
                request.reason, quoted(notification.databasePath).c_str(),
                request.withWindow ? "main" : "null",
                request.hasOldTicker ? ("\"" + utf8(request.oldTicker.wide) + "\"").c_str() : "null",
                request.hasNewTicker ? ("\"" + utf8(request.newTicker.wide) + "\"").c_str() : "null",
                result);
    return kExitOk;
}

int runNotifyNull(Host& host) {
    const int result = host.api.notify(nullptr);
    std::printf("host: Notify(null) -> %d\n", result);
    return kExitOk;
}

// Prints the first 3 and the last 10 rows of a long table.
template <typename RowPrinter>
void printRows(int count, RowPrinter printRow) {
    for (int i = 0; i < count; ++i) {
        if (count > 13 && i == 3) {
            std::printf("  ...\n");
            i = count - 10;
        }
        printRow(i);
    }
}

// Checks that nothing past the `count` written records changed: the records
// the plug-in was not asked to fill and the guard records past the buffer end.
template <typename Record>
int checkUntouched(const std::vector<Record>& buffer, int count, size_t size, const char* api) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (size_t i = static_cast<size_t>(count) * sizeof(Record); i < buffer.size() * sizeof(Record);
         ++i) {
        if (bytes[i] != kFillByte) {
            const size_t record = i / sizeof(Record);
            std::printf("host: CONTRACT VIOLATION: %s changed record %zu %s\n", api, record,
                        record >= size ? "past the end of the buffer" : "beyond the returned count");
            return kExitFailed;
        }
    }
    return kExitOk;
}

struct QuotesRequest {
    Arg ticker;
    int periodicity = 0;
    int bars = 0;
    bool nullBuffer = false;
};

int runQuotesCounted(Host& host, const QuotesRequest& request, int& delivered) {
    const size_t size = static_cast<size_t>(request.bars);
    std::vector<Quotation> buffer(size + kGuardRecords);
    std::memset(buffer.data(), kFillByte, buffer.size() * sizeof(Quotation));
    const char* ticker = nullableAnsi(request.ticker);
    Quotation* target = request.nullBuffer ? nullptr : buffer.data();
    const int count = host.api.getQuotesEx(ticker, request.periodicity, -1, request.bars, target,
                                           nullptr);
    delivered = count;
    std::printf("host: GetQuotesEx(%s, %d, %d%s) -> %d\n", quoted(ticker).c_str(),
                request.periodicity, request.bars, request.nullBuffer ? ", null buffer" : "",
                count);
    if (count < 0 || count > request.bars || (request.nullBuffer && count != 0)) {
        std::printf("host: CONTRACT VIOLATION: count %d outside 0..%d\n", count,
                    request.nullBuffer ? 0 : request.bars);
        return kExitFailed;
    }
    if (count > 0) {
        std::printf("  %6s  %-19s %14s %14s %14s %14s %16s %10s  %s\n", "index", "date-time",
                    "open", "high", "low", "close", "volume", "oi", "raw");
    }
    int result = kExitOk;
    printRows(count, [&](int i) {
        const Quotation& q = buffer[static_cast<size_t>(i)];
        std::printf("  %6d  %-19s %14s %14s %14s %14s %16s %10s  0x%016llX\n", i,
                    decodeDateTime(q.dateTime).c_str(), formatFloat(q.open).c_str(),
                    formatFloat(q.high).c_str(), formatFloat(q.low).c_str(),
                    formatFloat(q.close).c_str(), formatFloat(q.volume).c_str(),
                    formatFloat(q.openInterest).c_str(),
                    static_cast<unsigned long long>(q.dateTime));
    });
    for (int i = 0; i < count; ++i) {
        const Quotation& q = buffer[static_cast<size_t>(i)];
        if (q.aux1 != 0.0f || q.aux2 != 0.0f) {
            std::printf("host: CONTRACT VIOLATION: record %d has auxiliary fields %s, %s\n", i,
                        formatFloat(q.aux1).c_str(), formatFloat(q.aux2).c_str());
            result = kExitFailed;
            break;
        }
    }
    const int untouched = checkUntouched(buffer, count, size, "GetQuotesEx");
    return result != kExitOk ? result : untouched;
}

int runQuotes(Host& host, const QuotesRequest& request) {
    int delivered = 0;
    return runQuotesCounted(host, request, delivered);
}

std::string longStatus(Host& host) {
    PluginStatus status = {};
    status.structSize = static_cast<int32_t>(sizeof(status));
    if (host.api.getPluginStatus(&status) == 0) return {};
    return fieldText(status.longMessage, sizeof(status.longMessage), nullptr);
}

// A chart as the host opens one: GetQuotesEx on the window thread; while the
// plug-in says it is loading or refreshing, the message loop runs until the
// streaming message comes (at most a minute), and the host asks again.
int runChart(Host& host, const QuotesRequest& request) {
    constexpr ULONGLONG kWaitMs = 60000;
    for (int ask = 0; ask < 3; ++ask) {
        const long before = g_streamingCount;
        int delivered = 0;
        const int result = runQuotesCounted(host, request, delivered);
        if (result != kExitOk) return result;
        const std::string status = longStatus(host);
        std::printf("host: status: %s\n", status.c_str());
        if (status.find("loading") == std::string::npos && status.find("refreshing") == std::string::npos) {
            return kExitOk;
        }
        std::printf("host: the plug-in is fetching in the background; pumping messages until it says so\n");
        const ULONGLONG start = GetTickCount64();
        while (g_streamingCount == before && GetTickCount64() - start < kWaitMs) pumpMessages(50);
        if (g_streamingCount == before) {
            std::printf("host: no streaming message within %llu ms\n", kWaitMs);
            return kExitFailed;
        }
        std::printf("host: asking again after %llu ms\n", GetTickCount64() - start);
    }
    return kExitOk;
}

// The quote window with a watch list and one open chart, as the host keeps
// them: every 250 ms GetRecentInfo for each ticker of the list (a line
// whenever a price changed), and at every streaming message the chart asked
// again (its newest bar printed). Runs the message loop meanwhile.
struct WatchRequest {
    DWORD milliseconds = 0;
    std::vector<Arg> tickers;
    Arg chartTicker;
    int periodicity = 0;
};

int runWatch(Host& host, const WatchRequest& request) {
    constexpr DWORD kRefreshMs = 250;
    std::vector<float> shown(request.tickers.size(), 0.0f);
    long chartMessages = g_streamingCount;
    int lines = 0;
    int chartAsks = 0;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < request.milliseconds) {
        std::string line;
        bool changed = false;
        for (size_t i = 0; i < request.tickers.size(); ++i) {
            const RecentInfo* info = host.api.getRecentInfo(request.tickers[i].ansi.c_str());
            RecentInfo r = {};
            if (info != nullptr) std::memcpy(&r, info, sizeof(r));
            const float last = info != nullptr ? r.last : 0.0f;
            changed = changed || last != shown[i];
            shown[i] = last;
            line += "  " + request.tickers[i].ansi + " " + (last > 0 ? formatFloat(last) : std::string("-"));
        }
        const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
        if (changed) {
            std::printf("host: watch +%5.2fs%s\n", seconds, line.c_str());
            ++lines;
        }
        if (g_streamingCount != chartMessages) {
            chartMessages = g_streamingCount;
            std::vector<Quotation> bars(static_cast<size_t>(kWatchChartBars));
            const int count = host.api.getQuotesEx(request.chartTicker.ansi.c_str(), request.periodicity, -1,
                                                   kWatchChartBars, bars.data(), nullptr);
            ++chartAsks;
            if (count > 0) {
                const Quotation& q = bars[static_cast<size_t>(count - 1)];
                std::printf("host: chart +%5.2fs %s newest bar %s close %s high %s low %s\n", seconds,
                            request.chartTicker.ansi.c_str(), decodeDateTime(q.dateTime).c_str(),
                            formatFloat(q.close).c_str(), formatFloat(q.high).c_str(), formatFloat(q.low).c_str());
            }
        }
        pumpMessages(kRefreshMs);
    }
    std::printf("host: watch: %d refreshes with a new price, the chart asked again %d times\n", lines, chartAsks);
    return kExitOk;
}

int runLegacy(Host& host, const QuotesRequest& request) {
    const size_t size = static_cast<size_t>(request.bars);
    std::vector<LegacyQuotation> buffer(size + kGuardRecords);
    std::memset(buffer.data(), kFillByte, buffer.size() * sizeof(LegacyQuotation));
    const char* ticker = nullableAnsi(request.ticker);
    LegacyQuotation* target = request.nullBuffer ? nullptr : buffer.data();
    const int count = host.api.getQuotes(ticker, request.periodicity, -1, request.bars, target);
    std::printf("host: GetQuotes(%s, %d, %d%s) -> %d\n", quoted(ticker).c_str(),
                request.periodicity, request.bars, request.nullBuffer ? ", null buffer" : "",
                count);
    if (count < 0 || count > request.bars || (request.nullBuffer && count != 0)) {
        std::printf("host: CONTRACT VIOLATION: count %d outside 0..%d\n", count,
                    request.nullBuffer ? 0 : request.bars);
        return kExitFailed;
    }
    if (count > 0) {
        std::printf("  %6s  %-19s %14s %14s %14s %14s %12s %10s  %s\n", "index", "date",
                    "close", "open", "high", "low", "volume", "oi", "raw");
    }
    printRows(count, [&](int i) {
        const LegacyQuotation& q = buffer[static_cast<size_t>(i)];
        std::printf("  %6d  %-19s %14s %14s %14s %14s %12d %10d  0x%08X\n", i,
                    decodeLegacyDate(q.date).c_str(), formatFloat(q.close).c_str(),
                    formatFloat(q.open).c_str(), formatFloat(q.high).c_str(),
                    formatFloat(q.low).c_str(), static_cast<int>(q.volume),
                    static_cast<int>(q.openInterest), static_cast<unsigned>(q.date));
    });
    // Bytes 28-31 of written records are left alone by the plug-in, so only
    // the records past the returned count are checked.
    return checkUntouched(buffer, count, size, "GetQuotes");
}

int runStatus(Host& host, bool nullPointer) {
    if (nullPointer) {
        const int result = host.api.getPluginStatus(nullptr);
        std::printf("host: GetPluginStatus(null) -> %d\n", result);
        return kExitOk;
    }
    PluginStatus status = {};
    status.structSize = static_cast<int32_t>(sizeof(status));
    const int result = host.api.getPluginStatus(&status);
    std::printf("host: GetPluginStatus -> %d\n", result);
    if (result == 0) return kExitOk;
    bool longTerminated = false;
    bool shortTerminated = false;
    const std::string longMessage =
        fieldText(status.longMessage, sizeof(status.longMessage), &longTerminated);
    const std::string shortMessage =
        fieldText(status.shortMessage, sizeof(status.shortMessage), &shortTerminated);
    const uint32_t c = status.colour;
    std::printf("  size: %d\n", status.structSize);
    std::printf("  status code: %d\n", status.statusCode);
    std::printf("  colour: %u,%u,%u %s (0x%08X)\n", c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF,
                colourName(c), static_cast<unsigned>(c));
    std::printf("  short message: %s\n", shortMessage.c_str());
    std::printf("  long message: %s\n", longMessage.c_str());
    if (!longTerminated || !shortTerminated) {
        std::printf("host: CONTRACT VIOLATION: status message not NUL-terminated\n");
        return kExitFailed;
    }
    return kExitOk;
}

void printReservedBytes(const char* label, const uint8_t* bytes, size_t size) {
    bool allZero = true;
    for (size_t i = 0; i < size; ++i) allZero = allZero && bytes[i] == 0;
    if (allZero) {
        std::printf("  %s: zero\n", label);
        return;
    }
    std::printf("  %s:", label);
    for (size_t i = 0; i < size; ++i) std::printf(" %02X", static_cast<unsigned>(bytes[i]));
    std::printf("\n");
}

int runRecent(Host& host, const Arg& tickerArg) {
    const char* ticker = nullableAnsi(tickerArg);
    const RecentInfo* info = host.api.getRecentInfo(ticker);
    if (info == nullptr) {
        std::printf("host: GetRecentInfo(%s) -> null\n", quoted(ticker).c_str());
        return kExitOk;
    }
    // The record lives in the plug-in and may be rewritten by its worker;
    // print from one snapshot.
    RecentInfo r;
    std::memcpy(&r, info, sizeof(r));
    bool tickerTerminated = false;
    const std::string recordTicker = fieldText(r.ticker, sizeof(r.ticker), &tickerTerminated);
    const bool servable = r.structSize == 192 && (r.statusBits & 1) != 0 && r.last > 0.0f;
    std::printf("host: GetRecentInfo(%s) -> record\n", quoted(ticker).c_str());
    std::printf("  size: %d\n", r.structSize);
    std::printf("  ticker: %s\n", recordTicker.c_str());
    printReservedBytes("bytes 68-75", r.reserved68, sizeof(r.reserved68));
    std::printf("  valid fields: %d\n", r.validFields);
    std::printf("  status bits: 0x%X\n", static_cast<unsigned>(r.statusBits));
    std::printf("  open: %s\n", formatFloat(r.open).c_str());
    std::printf("  high: %s\n", formatFloat(r.high).c_str());
    std::printf("  low: %s\n", formatFloat(r.low).c_str());
    std::printf("  last: %s\n", formatFloat(r.last).c_str());
    std::printf("  trade volume: %d\n", r.tradeVolume);
    std::printf("  total volume: %d\n", r.totalVolume);
    std::printf("  open interest: %s\n", formatFloat(r.openInterest).c_str());
    std::printf("  change: %s\n", formatFloat(r.change).c_str());
    std::printf("  previous close: %s\n", formatFloat(r.prevClose).c_str());
    printReservedBytes("bytes 120-167", r.reserved120, sizeof(r.reserved120));
    std::printf("  update date: %d\n", r.updateDate);
    std::printf("  update time: %06d\n", r.updateTime);
    std::printf("  trade date: %d\n", r.tradeDate);
    std::printf("  trade time: %06d\n", r.tradeTime);
    std::printf("  trade volume (float): %s\n", formatFloat(r.tradeVolumeF).c_str());
    std::printf("  total volume (float): %s\n", formatFloat(r.totalVolumeF).c_str());
    std::printf("  servable: %s\n", servable ? "yes" : "no");
    if (!tickerTerminated) {
        std::printf("host: CONTRACT VIOLATION: recent-info ticker is not NUL-terminated\n");
        return kExitFailed;
    }
    return kExitOk;
}

// Creates a folder and any missing parents.
bool createFolders(const std::wstring& folder) {
    if (folder.empty()) return false;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':') {
        if (!createFolders(folder.substr(0, slash))) return false;
    }
    return CreateDirectoryW(folder.c_str(), nullptr) != 0 ||
           GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring fullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH * 4) return path;
    return std::wstring(buffer, length);
}

std::wstring moduleFolder(HMODULE module) {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) return std::wstring();
    std::wstring path(buffer, length);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Writes the three service origins into one INI file and reads them back.
bool writeServiceSection(const std::wstring& iniPath, const std::wstring& origin) {
    static const wchar_t* const kKeys[] = {L"SymbolSearchOrigin", L"WebOrigin", L"DataOrigin"};
    for (const wchar_t* key : kKeys) {
        if (!WritePrivateProfileStringW(L"Service", key, origin.c_str(), iniPath.c_str())) {
            std::printf("host: cannot write %s to %s (error %lu)\n", utf8(key).c_str(),
                        utf8(iniPath).c_str(), static_cast<unsigned long>(GetLastError()));
            return false;
        }
        wchar_t check[512];
        GetPrivateProfileStringW(L"Service", key, L"", check, 512, iniPath.c_str());
        if (origin != check) {
            std::printf("host: %s in %s did not read back as written\n", utf8(key).c_str(),
                        utf8(iniPath).c_str());
            return false;
        }
    }
    std::printf("host: Service origins set to %s in %s\n", utf8(origin).c_str(),
                utf8(iniPath).c_str());
    return true;
}

int runService(Host& host, const Arg& folderArg, const Arg& origin) {
    const std::wstring folder = fullPath(folderArg.wide);
    if (!createFolders(folder)) {
        std::printf("host: cannot create folder %s (error %lu)\n", utf8(folder).c_str(),
                    static_cast<unsigned long>(GetLastError()));
        return kExitFailed;
    }
    const std::wstring dllFolder = moduleFolder(host.module);
    if (dllFolder.empty()) {
        std::printf("host: cannot find the DLL's folder\n");
        return kExitFailed;
    }
    if (!writeServiceSection(folder + L"\\Velmarquin.ini", origin.wide)) return kExitFailed;
    if (!writeServiceSection(dllFolder + L"\\Velmarquin.ini", origin.wide)) return kExitFailed;
    return kExitOk;
}

int runTimeBase(Host& host, unsigned seconds) {
    const int result = host.api.setTimeBase(seconds);
    std::printf("host: SetTimeBase(%u) -> %d\n", seconds, result);
    return kExitOk;
}

int runBackfill(Host& host, const Arg& tickerArg) {
    const char* ticker = nullableAnsi(tickerArg);
    const int result = host.api.isBackfillComplete(ticker);
    std::printf("host: IsBackfillComplete(%s) -> %d\n", quoted(ticker).c_str(), result);
    return kExitOk;
}

int runLimit(Host& host) {
    const int result = host.api.getSymbolLimit();
    std::printf("host: GetSymbolLimit -> %d\n", result);
    return kExitOk;
}

// A careless host: FreeLibrary without Release. Says whether the DLL is
// still mapped afterwards (a worker thread that holds its own reference
// keeps it so until it ends).
int runUnload(Host& host) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(host.module, path, MAX_PATH);
    const BOOL freed = FreeLibrary(host.module);
    host.unloaded = true;
    HMODULE still = nullptr;
    const bool mapped = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path, &still) != 0;
    std::printf("host: FreeLibrary without Release -> %s; the DLL is %s\n", freed ? "ok" : "failed",
                mapped ? "still mapped" : "unmapped");
    return kExitOk;
}

// A host that ends its process at once, without Release or FreeLibrary.
int runExit(Host&) {
    std::printf("host: ExitProcess(0) without Release\n");
    std::fflush(stdout);
    ExitProcess(0);
}

int runPump(Host&, DWORD milliseconds) {
    std::printf("host: pumping messages for %lu ms\n", static_cast<unsigned long>(milliseconds));
    pumpMessages(milliseconds);
    return kExitOk;
}

int runStreamingCount(Host&) {
    std::printf("host: streaming messages so far: %ld\n", g_streamingCount);
    return kExitOk;
}

// ---------------------------------------------------------------------------
// Command table: each parser checks its arguments and binds them to the
// command, so the whole script is validated before the plug-in is touched.

using Action = std::function<int(Host&)>;
using Parser = bool (*)(const Args&, Action&, std::string&);

bool parseInt32(const Arg& arg, const char* what, int& out, std::string& error) {
    long long value = 0;
    if (!parseInteger(arg.wide, INT32_MIN, INT32_MAX, value)) {
        error = std::string(what) + " must be a 32-bit integer, got \"" + utf8(arg.wide) + "\"";
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool parseQuotesArgs(const Args& a, QuotesRequest& request, std::string& error) {
    request.ticker = a[0];
    if (!parseInt32(a[1], "periodicity", request.periodicity, error)) return false;
    long long bars = 0;
    if (!parseInteger(a[2].wide, 0, kMaxBars, bars)) {
        error = "bars must be 0.." + std::to_string(kMaxBars);
        return false;
    }
    request.bars = static_cast<int>(bars);
    if (a.size() == 4) {
        if (a[3].wide != L"nullbuf") {
            error = "the optional fourth argument can only be nullbuf";
            return false;
        }
        request.nullBuffer = true;
    }
    return true;
}

// "-" or nothing: a null pointer instead of a record.
bool parseOptionalNull(const Args& a, bool& nullPointer, std::string& error) {
    nullPointer = false;
    if (a.empty()) return true;
    if (!a[0].isDash()) {
        error = "the only optional argument is - (null pointer)";
        return false;
    }
    nullPointer = true;
    return true;
}

bool parseInfo(const Args& a, Action& out, std::string& error) {
    bool nullPointer = false;
    if (!parseOptionalNull(a, nullPointer, error)) return false;
    out = [nullPointer](Host& h) { return runInfo(h, nullPointer); };
    return true;
}

bool parseInit(const Args&, Action& out, std::string&) {
    out = runInit;
    return true;
}

bool parseRelease(const Args&, Action& out, std::string&) {
    out = runRelease;
    return true;
}

bool parseConfigure(const Args& a, Action& out, std::string&) {
    const Arg folder = a[0];
    out = [folder](Host& h) { return runConfigure(h, folder); };
    return true;
}

bool parseNotify(const Args& a, Action& out, std::string& error) {
    NotifyRequest request;
    request.folder = a[0];
    if (!parseInt32(a[1], "reason bits", request.reason, error)) return false;
    if (a.size() == 3) {
        request.hasOldTicker = true;
        request.oldTicker = a[2];
    }
    out = [request](Host& h) { return runNotify(h, request); };
    return true;
}

// The right-click on the plug-in's status field: the popup menu opens at the
// mouse and its command runs before Notify returns.
bool parseRightClick(const Args&, Action& out, std::string&) {
    NotifyRequest request;
    request.folder = Arg{L"-", "-"};
    request.reason = 8;
    out = [request](Host& h) { return runNotify(h, request); };
    return true;
}

bool parseNotifyEx(const Args& a, Action& out, std::string& error) {
    NotifyRequest request;
    request.folder = a[0];
    if (!parseInt32(a[1], "reason bits", request.reason, error)) return false;
    if (a[2].wide == L"main") {
        request.withWindow = true;
    } else if (a[2].wide == L"null") {
        request.withWindow = false;
    } else {
        error = "window must be main or null";
        return false;
    }
    request.hasOldTicker = !a[3].isDash();
    request.oldTicker = a[3];
    request.hasNewTicker = !a[4].isDash();
    request.newTicker = a[4];
    out = [request](Host& h) { return runNotify(h, request); };
    return true;
}

bool parseNotifyNull(const Args&, Action& out, std::string&) {
    out = runNotifyNull;
    return true;
}

bool parseChart(const Args& a, Action& out, std::string& error) {
    QuotesRequest request;
    if (!parseQuotesArgs(a, request, error)) return false;
    out = [request](Host& h) { return runChart(h, request); };
    return true;
}

Arg makeArg(const wchar_t* text);

bool parseWatch(const Args& a, Action& out, std::string& error) {
    long long value = 0;
    if (!parseInteger(a[0].wide, 0, kMaxPumpMs, value)) {
        error = "watch time must be 0.." + std::to_string(kMaxPumpMs) + " ms";
        return false;
    }
    WatchRequest request;
    request.milliseconds = static_cast<DWORD>(value);
    std::wstring list = a[1].wide;
    for (size_t begin = 0; begin <= list.size();) {
        const size_t comma = std::min(list.find(L',', begin), list.size());
        if (comma > begin) request.tickers.push_back(makeArg(list.substr(begin, comma - begin).c_str()));
        begin = comma + 1;
    }
    if (request.tickers.empty() || request.tickers.size() > 64) {
        error = "the watch list takes 1 to 64 tickers, comma-separated";
        return false;
    }
    request.chartTicker = a[2];
    if (!parseInteger(a[3].wide, 1, 2147483647, value)) {
        error = "periodicity must be a positive number of seconds";
        return false;
    }
    request.periodicity = static_cast<int>(value);
    out = [request](Host& h) { return runWatch(h, request); };
    return true;
}

bool parseQuotes(const Args& a, Action& out, std::string& error) {
    QuotesRequest request;
    if (!parseQuotesArgs(a, request, error)) return false;
    out = [request](Host& h) { return runQuotes(h, request); };
    return true;
}

bool parseLegacy(const Args& a, Action& out, std::string& error) {
    QuotesRequest request;
    if (!parseQuotesArgs(a, request, error)) return false;
    out = [request](Host& h) { return runLegacy(h, request); };
    return true;
}

bool parseStatus(const Args& a, Action& out, std::string& error) {
    bool nullPointer = false;
    if (!parseOptionalNull(a, nullPointer, error)) return false;
    out = [nullPointer](Host& h) { return runStatus(h, nullPointer); };
    return true;
}

bool parseRecent(const Args& a, Action& out, std::string&) {
    const Arg ticker = a[0];
    out = [ticker](Host& h) { return runRecent(h, ticker); };
    return true;
}

bool parseService(const Args& a, Action& out, std::string& error) {
    std::string why;
    if (a[0].wide.empty() || a[0].isDash()) {
        error = "service needs a database folder";
        return false;
    }
    if (!isLoopbackOrigin(a[1].wide, why)) {
        error = "refusing origin \"" + utf8(a[1].wide) + "\": " + why;
        return false;
    }
    const Arg folder = a[0];
    const Arg origin = a[1];
    out = [folder, origin](Host& h) { return runService(h, folder, origin); };
    return true;
}

bool parseTimeBase(const Args& a, Action& out, std::string& error) {
    long long value = 0;
    if (!parseInteger(a[0].wide, 0, 0xFFFFFFFFLL, value)) {
        error = "time base must be 0..4294967295";
        return false;
    }
    const unsigned seconds = static_cast<unsigned>(value);
    out = [seconds](Host& h) { return runTimeBase(h, seconds); };
    return true;
}

bool parseBackfill(const Args& a, Action& out, std::string&) {
    const Arg ticker = a[0];
    out = [ticker](Host& h) { return runBackfill(h, ticker); };
    return true;
}

bool parseLimit(const Args&, Action& out, std::string&) {
    out = runLimit;
    return true;
}

bool parsePump(const Args& a, Action& out, std::string& error) {
    long long value = 0;
    if (!parseInteger(a[0].wide, 0, kMaxPumpMs, value)) {
        error = "pump time must be 0.." + std::to_string(kMaxPumpMs) + " ms";
        return false;
    }
    const DWORD milliseconds = static_cast<DWORD>(value);
    out = [milliseconds](Host& h) { return runPump(h, milliseconds); };
    return true;
}

bool parseStreaming(const Args&, Action& out, std::string&) {
    out = runStreamingCount;
    return true;
}

bool parseUnload(const Args&, Action& out, std::string&) {
    out = runUnload;
    return true;
}

bool parseExit(const Args&, Action& out, std::string&) {
    out = runExit;
    return true;
}

struct CommandEntry {
    const char* name;
    size_t minArgs;
    size_t maxArgs;
    const char* synopsis;
    Parser parse;
};

const CommandEntry kCommands[] = {
    {"info", 0, 1, "info [-]                      GetPluginInfo (- passes null)", parseInfo},
    {"init", 0, 0, "init                          Init", parseInit},
    {"release", 0, 0, "release                       Release", parseRelease},
    {"configure", 1, 1, "configure <dbFolder|->        Configure(dbFolder, null): the configuration window", parseConfigure},
    {"notify", 2, 3,
     "notify <dbFolder|-> <reasonBits> [ticker]\n"
     "                                Notify with the main window; ticker in the older\n"
     "                                symbol record (offset 0)",
     parseNotify},
    {"notifyex", 5, 5,
     "notifyex <dbFolder|-> <reasonBits> <main|null> <oldTicker|-> <newTicker|->\n"
     "                                Notify with a chosen window and symbol records\n"
     "                                (new: ticker at offset 270)",
     parseNotifyEx},
    {"rightclick", 0, 0, "rightclick                    Notify(reason 8): the status field's popup menu",
     parseRightClick},
    {"notifynull", 0, 0, "notifynull                    Notify(null)", parseNotifyNull},
    {"quotes", 3, 4,
     "quotes <ticker|-> <periodicity> <bars> [nullbuf]\n"
     "                                GetQuotesEx into <bars> Quotation records",
     parseQuotes},
    {"chart", 3, 3,
     "chart <ticker> <periodicity> <bars>\n"
     "                                GetQuotesEx as the host opens a chart: while the\n"
     "                                plug-in is loading, pump until the streaming\n"
     "                                message, then ask again",
     parseChart},
    {"watch", 4, 4,
     "watch <ms> <t1,t2,...> <chartTicker> <periodicity>\n"
     "                                the quote window's watch list read every 250 ms\n"
     "                                (a line when a price changed) and the chart asked\n"
     "                                again at each streaming message, for <ms>",
     parseWatch},
    {"legacy", 3, 4,
     "legacy <ticker|-> <periodicity> <bars> [nullbuf]\n"
     "                                GetQuotes into <bars> LegacyQuotation records",
     parseLegacy},
    {"status", 0, 1, "status [-]                    GetPluginStatus (- passes null)", parseStatus},
    {"recent", 1, 1, "recent <ticker|->             GetRecentInfo", parseRecent},
    {"service", 2, 2,
     "service <dbFolder> <origin>   point the plug-in at a loopback test server\n"
     "                                (origin http(s)://127.0.0.1[:port] or localhost)",
     parseService},
    {"timebase", 1, 1, "timebase <seconds>            SetTimeBase", parseTimeBase},
    {"backfill", 1, 1, "backfill <ticker|->           IsBackfillComplete", parseBackfill},
    {"limit", 0, 0, "limit                         GetSymbolLimit", parseLimit},
    {"pump", 1, 1, "pump <ms>                     run the message loop (at most 600000 ms)",
     parsePump},
    {"streaming", 0, 0, "streaming                     print the streaming messages counted so far",
     parseStreaming},
    {"unload", 0, 0,
     "unload                        FreeLibrary without Release (only pump, streaming\n"
     "                                and exit may follow)",
     parseUnload},
    {"exit", 0, 0, "exit                          ExitProcess(0) at once, without Release", parseExit},
};

void printUsage() {
    std::printf("usage: standin_host <plugin.dll> [command [args...]]...\n"
                "A '-' in place of a ticker or folder passes a null pointer; an optional\n"
                "argument that is a command name starts the next command instead.\n"
                "Commands:\n");
    for (const CommandEntry& entry : kCommands) std::printf("  %s\n", entry.synopsis);
    std::printf("Exit codes: 0 ok, 1 command failed, 2 usage or load error, 3 crash.\n");
}

const CommandEntry* findCommand(const std::wstring& name) {
    for (const CommandEntry& entry : kCommands) {
        if (utf8(name) == entry.name) return &entry;
    }
    return nullptr;
}

bool isCommandName(const std::wstring& word) { return findCommand(word) != nullptr; }

// Splits the words after the DLL path into commands with their arguments.
// A command takes between minArgs and maxArgs words; optional arguments are
// taken only when the next word is not itself a command name.
bool parseScript(const std::vector<Arg>& words, std::vector<Action>& script) {
    size_t i = 0;
    while (i < words.size()) {
        const CommandEntry* entry = findCommand(words[i].wide);
        if (entry == nullptr) {
            std::printf("host: unknown command \"%s\"\n", utf8(words[i].wide).c_str());
            return false;
        }
        ++i;
        Args args;
        while (args.size() < entry->maxArgs && i < words.size() &&
               (args.size() < entry->minArgs || !isCommandName(words[i].wide))) {
            args.push_back(words[i]);
            ++i;
        }
        if (args.size() < entry->minArgs) {
            std::printf("host: %s needs %zu argument(s)\n", entry->name, entry->minArgs);
            return false;
        }
        Action action;
        std::string error;
        if (!entry->parse(args, action, error)) {
            std::printf("host: %s: %s\n", entry->name, error.c_str());
            return false;
        }
        script.push_back(action);
    }
    return true;
}

Arg makeArg(const wchar_t* text) {
    Arg arg;
    arg.wide = text != nullptr ? text : L"";
    arg.ansi = toCodePage(arg.wide, CP_ACP);
    return arg;
}

// A crash anywhere in the process (usually in the plug-in, on the host's
// thread or its worker) is reported on stdout with the faulting module
// instead of leaving the test with a debugger session or a silent exit.
LONG WINAPI reportCrash(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const void* address = record->ExceptionAddress;
    HMODULE module = nullptr;
    wchar_t moduleName[MAX_PATH] = L"?";
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(address), &module)) {
        GetModuleFileNameW(module, moduleName, MAX_PATH);
    }
    const unsigned long long offset =
        module != nullptr ? reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module)
                          : reinterpret_cast<uintptr_t>(address);
    std::printf("host: CRASH: exception 0x%08lX at %s+0x%llX (thread %lu)\n",
                static_cast<unsigned long>(record->ExceptionCode), utf8(moduleName).c_str(),
                offset, static_cast<unsigned long>(GetCurrentThreadId()));
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), kExitCrash);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(reportCrash);

    if (argc < 2) {
        printUsage();
        return kExitUsage;
    }
    const std::wstring first = argv[1];
    if (first == L"-h" || first == L"--help" || first == L"help") {
        printUsage();
        return kExitOk;
    }

    std::vector<Arg> words;
    for (int i = 2; i < argc; ++i) words.push_back(makeArg(argv[i]));
    std::vector<Action> script;
    if (!parseScript(words, script)) {
        printUsage();
        return kExitUsage;
    }

    const std::wstring dllPath = argv[1];
    Library library(LoadLibraryW(dllPath.c_str()));
    if (library.get() == nullptr) {
        std::printf("host: cannot load DLL %s (error %lu)\n", utf8(dllPath).c_str(),
                    static_cast<unsigned long>(GetLastError()));
        return kExitUsage;
    }
    Host host;
    host.module = library.get();
    if (!resolveExports(host.module, host.api)) return kExitUsage;
    std::printf("host: loaded %s\n", utf8(dllPath).c_str());

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WindowClass windowClass(L"VelmarquinStandInHost", instance, MainWindowProc);
    if (!windowClass.registered()) {
        std::printf("host: cannot register the main window class (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return kExitUsage;
    }
    Window mainWindow(CreateWindowExW(0, L"VelmarquinStandInHost", L"Velmarquin stand-in host",
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 640, 480,
                                      nullptr, nullptr, instance, nullptr));
    if (mainWindow.get() == nullptr) {
        std::printf("host: cannot create the main window (error %lu); is a display available?\n",
                    static_cast<unsigned long>(GetLastError()));
        return kExitUsage;
    }
    host.mainWindow = mainWindow.get();
    std::printf("host: main window 0x%llX\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(host.mainWindow)));

    int exitCode = kExitOk;
    for (const Action& action : script) {
        exitCode = action(host);
        pumpMessages(kPumpBetweenCommandsMs);
        if (exitCode != kExitOk) break;
    }

    // The real host always releases a plug-in it initialised before unloading
    // it; unloading with the worker thread still running would pull its code
    // out from under it.
    if (host.unloaded) {
        library.forget();
    } else if (host.initCalls > host.releaseCalls) {
        std::printf("host: calling Release before unloading the plug-in\n");
        runRelease(host);
        pumpMessages(kPumpBetweenCommandsMs);
    }
    std::printf("host: streaming messages received: %ld\n", g_streamingCount);
    std::printf("host: exit code %d\n", exitCode);
    return exitCode;
}
