// Host-facing speed: each figure is the median of several runs. Runs under
// Wine inside with-double.sh, like the tests; nothing here asserts a time.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/state.h"
#include "polling/poll_cycle.h"
#include "protocol/exchange_calendar.h"
#include "protocol/history_fetch.h"
#include "protocol/host_time.h"
#include "protocol/service_session.h"
#include "foundation/text.h"
#include "storage/disk_cache.h"
#include "support/plugin_exports.h"
#include "support/series_oracle.h"
#include "support/service_double_client.h"
#include "support/test_support.h"

namespace {

double MedianMs(int runs, const std::function<void()>& body) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string SeriesPayload(int count) {
    std::string items;
    char item[160];
    for (int i = 0; i < count; ++i) {
        std::snprintf(item, sizeof(item), "%s{\"i\":%d,\"v\":[%d.0,172.94,173.67,171.35,172.62,59825372.0]}",
                      i ? "," : "", i, 1700000000 + i * 60);
        items += item;
    }
    return "{\"m\":\"timescale_update\",\"p\":[\"cs_1\",{\"sds_1\":{\"node\":\"x\",\"s\":[" + items +
           "],\"ns\":{\"d\":\"\",\"indexes\":[]},\"t\":\"s1\"}}]}";
}

// CPU time of this process so far, in milliseconds.
double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

void WriteSettings(const std::wstring& folder, const std::wstring& origin, int pollSeconds) {
    const std::string o = testing_support::Narrow(origin);
    testing_support::WriteFileBytes(folder + L"\\Velmarquin.ini",
                                    "[TradingView]\r\nTimeoutMs=20000\r\nPollSeconds=" + std::to_string(pollSeconds) +
                                        "\r\n[Service]\r\nSymbolSearchOrigin=" + o + "\r\nWebOrigin=" + o +
                                        "\r\nDataOrigin=" + o + "\r\n");
}

int NotifyLoaded(const Exports& dll, const std::string& database) {
    HostNotification n = {};
    n.size = sizeof(n);
    n.reason = 1;
    n.databasePath = database.c_str();
    return dll.Notify(&n);
}

// The calls the host makes while the user waits, through a private copy of the DLL.
void HostFacingFigures(const testing_support::ServiceDouble& service) {
    using testing_support::PluginCopy;
    // Start-up: loading the DLL, then Init with the settings of a database
    // that has been used before (the usual start of the host).
    std::vector<double> loads, inits, releases;
    for (int run = 0; run < 7; ++run) {
        auto start = std::chrono::steady_clock::now();
        PluginCopy plugin;
        loads.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        Exports dll(plugin);
        WriteSettings(plugin.Folder(), service.Origin(), 5);
        start = std::chrono::steady_clock::now();
        dll.Init();
        inits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        start = std::chrono::steady_clock::now();
        dll.Release();
        releases.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("LoadLibrary of a private copy: %.2f ms\n", median(loads));
    std::printf("Init (settings read, worker started): %.2f ms\n", median(inits));
    std::printf("Release with nothing polling: %.2f ms\n", median(releases));

    PluginCopy plugin;
    Exports dll(plugin);
    WriteSettings(plugin.DatabaseFolder(), service.Origin(), 3600);
    const std::string database = testing_support::Narrow(plugin.DatabaseFolder());
    dll.Init();
    NotifyLoaded(dll, database);
    service.SetScenario(
        R"({"ws":{"seed":9,"now":1710547200,"history":30000,"max_per_request":5000,"bar_limit":0}})");
    std::vector<char> quotes(30000 * 40);
    const int got = dll.GetQuotesEx("NASDAQ:AAPL", 60, 0, 30000, quotes.data(), nullptr);
    // Let the first poll of the new ticker end; with PollSeconds 3600 nothing is due afterwards.
    Sleep(3000);

    constexpr int kCalls = 20000;
    std::vector<std::uint8_t> status(300);
    const double statusMs = MedianMs(5, [&] {
        for (int i = 0; i < kCalls; ++i) dll.GetPluginStatus(status.data());
    });
    std::printf("GetPluginStatus: %.2f us per call\n", statusMs * 1000.0 / kCalls);
    const double recentMs = MedianMs(5, [&] {
        for (int i = 0; i < kCalls; ++i) dll.GetRecentInfo("NASDAQ:AAPL");
    });
    std::printf("GetRecentInfo, ticker known: %.2f us per call\n", recentMs * 1000.0 / kCalls);
    const double unknownMs = MedianMs(5, [&] {
        for (int i = 0; i < kCalls; ++i) dll.GetRecentInfo("NASDAQ:NONE");
    });
    std::printf("GetRecentInfo, ticker unknown: %.2f us per call\n", unknownMs * 1000.0 / kCalls);
    const double hitMs = MedianMs(9, [&] { dll.GetQuotesEx("NASDAQ:AAPL", 60, 0, 30000, quotes.data(), nullptr); });
    std::printf("GetQuotesEx, cache hit of 30000 bars (%d delivered first): %.1f ms\n", got, hitMs);

    // The worker with one active ticker that is not due: its CPU time is the
    // whole process's, measured while this thread sleeps.
    const double cpuStart = ProcessCpuMs();
    Sleep(10000);
    const double cpuMs = ProcessCpuMs() - cpuStart;
    std::printf("Worker while nothing is due: %.2f ms CPU per second (process total over 10 s)\n", cpuMs / 10.0);
    dll.Release();
}

void Reload(const Exports& dll, const std::string& database, HWND window, int reason) {
    HostNotification n = {};
    n.size = sizeof(n);
    n.reason = reason;
    n.databasePath = database.c_str();
    n.mainWindow = window;
    dll.Notify(&n);
}

// The host's window thread: a cache miss answers at once while the download
// runs in the background; a stale file is delivered at once; with background
// downloads off the same miss waits for the whole download.
void WindowThreadFigures(const testing_support::ServiceDouble& service) {
    using testing_support::PluginCopy;
    PluginCopy plugin;
    Exports dll(plugin);
    WriteSettings(plugin.DatabaseFolder(), service.Origin(), 3600);
    const std::string database = testing_support::Narrow(plugin.DatabaseFolder());
    testing_support::HostWindow window;
    dll.Init();
    Reload(dll, database, window.Get(), 1);
    service.SetScenario(R"({"ws":{"seed":9,"now":1710547200,"history":30000,"max_per_request":5000,"bar_limit":0}})");
    std::vector<char> quotes(30000 * 40);
    auto since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<double> answered, deliverable;
    for (const char* ticker : {"NASDAQ:AAPL", "NASDAQ:MSFT", "NASDAQ:TSLA", "NYSE:IBM", "XETR:SAP"}) {
        window.TakeStreaming();
        const auto start = std::chrono::steady_clock::now();
        dll.GetQuotesEx(ticker, 60, 0, 30000, quotes.data(), nullptr);
        answered.push_back(since(start));
        while (window.TakeStreaming() == 0 && since(start) < 60000) Sleep(1);
        const int got = dll.GetQuotesEx(ticker, 60, 0, 30000, quotes.data(), nullptr);
        if (got == 30000) deliverable.push_back(since(start));
    }
    auto median = [](std::vector<double> v) {
        if (v.empty()) return -1.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("GetQuotesEx on the window thread, cache miss (30000 one-minute bars): answered in %.2f ms, the bars "
                "deliverable after %.0f ms\n",
                median(answered), median(deliverable));

    // Stale: the same files two days old.
    PluginSettings defaults;
    std::vector<double> stale;
    for (const char* ticker : {"NASDAQ:AAPL", "NASDAQ:MSFT", "NASDAQ:TSLA", "NYSE:IBM", "XETR:SAP"}) {
        std::wstring name;
        for (unsigned char byte : WideToUtf8(CacheKey(testing_support::Widen(ticker), 60, defaults))) {
            static const wchar_t kHex[] = L"0123456789ABCDEF";
            name += kHex[byte >> 4];
            name += kHex[byte & 15];
        }
        const std::wstring file = plugin.DatabaseFolder() + L"\\VelmarquinCache\\bars_" + name + L".cache";
        HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME old;
        GetSystemTimeAsFileTime(&old);
        ULARGE_INTEGER t{{old.dwLowDateTime, old.dwHighDateTime}};
        t.QuadPart -= 2ULL * 86400 * 10000000ULL;
        old = {t.LowPart, t.HighPart};
        if (h != INVALID_HANDLE_VALUE) {
            SetFileTime(h, nullptr, nullptr, &old);
            CloseHandle(h);
        }
        window.TakeStreaming();
        const auto start = std::chrono::steady_clock::now();
        dll.GetQuotesEx(ticker, 60, 0, 30000, quotes.data(), nullptr);
        stale.push_back(since(start));
        while (window.TakeStreaming() == 0 && since(start) < 60000) Sleep(1);  // let the refresh land
    }
    std::printf("GetQuotesEx on the window thread, stale cache file of 30000 bars: answered in %.1f ms\n",
                median(stale));

    // Background downloads off: the window thread waits for the download.
    WriteSettings(plugin.DatabaseFolder(), service.Origin(), 3600);
    testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini",
                                    testing_support::ReadFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini") +
                                        "[Velmarquin]\r\nBackgroundDownloads=0\r\n");
    Reload(dll, database, window.Get(), 4);
    std::vector<double> waited;
    for (const char* ticker : {"NASDAQ:QQQ", "AMEX:SPY", "NASDAQ:VFIAX", "BMV:AAPL", "CBOE:VIX"}) {
        const auto start = std::chrono::steady_clock::now();
        dll.GetQuotesEx(ticker, 60, 0, 30000, quotes.data(), nullptr);
        waited.push_back(since(start));
    }
    std::printf("GetQuotesEx on the window thread with background downloads off, cache miss: %.0f ms\n",
                median(waited));
    dll.Release();
}

// Live data, streaming and polling side by side: a private copy of the DLL
// per mode, the quote window asking for its tickers as the host does.
struct LiveMode {
    const char* name;
    bool streaming;
};

std::string LiveSettings(const std::wstring& origin, bool streaming) {
    const std::string o = testing_support::Narrow(origin);
    return "[TradingView]\r\nTimeoutMs=20000\r\nPollSeconds=5\r\n[Velmarquin]\r\nStreaming=" +
           std::string(streaming ? "1" : "0") + "\r\n[Service]\r\nSymbolSearchOrigin=" + o + "\r\nWebOrigin=" + o +
           "\r\nDataOrigin=" + o + "\r\n";
}

// From the double pushing a new price to GetRecentInfo showing it.
double PushLatencyMs(const testing_support::ServiceDouble& service, bool streaming, int runs) {
    using testing_support::PluginCopy;
    service.SetScenario(R"({"ws":{"seed":4,"now":1710547200,"stream":{"quote_ms":0,"bar_ms":0}}})");
    PluginCopy plugin;
    Exports dll(plugin);
    testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini", LiveSettings(service.Origin(), streaming));
    dll.Init();
    NotifyLoaded(dll, testing_support::Narrow(plugin.DatabaseFolder()));
    auto lastOf = [&dll]() {
        const void* record = dll.GetRecentInfo("NASDAQ:AAPL");
        return record != nullptr ? reinterpret_cast<const RecentInfo*>(record)->last : 0.0f;
    };
    const auto start = std::chrono::steady_clock::now();
    auto since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
    };
    while (lastOf() <= 0 && since(start) < 20000) Sleep(5);
    Sleep(1500);  // the stream's series and the first polls settle
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const float price = static_cast<float>(500.25 + run);
        const auto pushed = std::chrono::steady_clock::now();
        if (!service.SetPrice("NASDAQ:AAPL", price)) break;
        while (lastOf() != price && since(pushed) < 20000) Sleep(0);
        times.push_back(since(pushed));
        Sleep(static_cast<DWORD>(run * 37 % 400));  // not in step with the polls
    }
    dll.Release();
    std::sort(times.begin(), times.end());
    return times.empty() ? -1.0 : times[times.size() / 2];
}

struct LiveLoad {
    double medianAgeMs = 0;
    size_t connections = 0;        // opened during the windows
    size_t allConnections = 0;     // opened since the tickers became active
    double cpuPercent = 0;
};

// 64 active tickers, each price changed at the double every second for
// `windowMs`: the median age of a ticker's price in the quote window (time
// since GetRecentInfo last showed a new one, sampled every 100 ms). Then
// `windowMs` more with only the double's own pushes (one a second a ticker)
// and nothing else in the process: its CPU. And the connections opened over
// both windows.
LiveLoad SixtyFourTickers(const testing_support::ServiceDouble& service, bool streaming, DWORD windowMs) {
    using testing_support::PluginCopy;
    std::string symbols;
    for (int i = 1; i <= 64; ++i) {
        symbols += std::string(i > 1 ? "," : "") + "\"XS:S" + std::to_string(i) + "\":{\"type\":\"stock\",\"price\":" +
                   std::to_string(20 + i) + "}";
    }
    service.SetScenario(R"({"symbols":{)" + symbols +
                        R"(},"ws":{"seed":5,"now":1710547200,"stream":{"quote_ms":1000,"bar_ms":1000}}})");
    PluginCopy plugin;
    Exports dll(plugin);
    testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini", LiveSettings(service.Origin(), streaming));
    dll.Init();
    NotifyLoaded(dll, testing_support::Narrow(plugin.DatabaseFolder()));
    std::vector<std::string> tickers;
    for (int i = 1; i <= 64; ++i) tickers.push_back("XS:S" + std::to_string(i));
    for (const std::string& t : tickers) dll.GetRecentInfo(t.c_str());
    Sleep(8000);  // the first round of polls, or the stream's subscriptions, done

    const size_t opensBefore = service.Events("ws_open", "connection").size();
    std::vector<float> shown(tickers.size(), 0.0f);
    std::vector<ULONGLONG> changedAt(tickers.size(), GetTickCount64());
    std::vector<double> ages;
    const ULONGLONG start = GetTickCount64();
    ULONGLONG nextChange = start;
    int round = 0;
    while (GetTickCount64() - start < windowMs) {
        if (GetTickCount64() >= nextChange) {
            ++round;
            for (size_t i = 0; i < tickers.size(); ++i) {
                service.SetPrice(tickers[i], 20.0 + static_cast<double>(i) + 0.01 * round);
            }
            nextChange += 1000;
        }
        const ULONGLONG now = GetTickCount64();
        for (size_t i = 0; i < tickers.size(); ++i) {
            const void* record = dll.GetRecentInfo(tickers[i].c_str());
            const float last = record != nullptr ? reinterpret_cast<const RecentInfo*>(record)->last : 0.0f;
            if (last != shown[i]) {
                shown[i] = last;
                changedAt[i] = now;
            }
            ages.push_back(static_cast<double>(now - changedAt[i]));
        }
        Sleep(100);
    }
    LiveLoad load;
    const double cpuStart = ProcessCpuMs();
    Sleep(windowMs);
    load.cpuPercent = (ProcessCpuMs() - cpuStart) / static_cast<double>(windowMs) * 100.0;
    load.allConnections = service.Events("ws_open", "connection").size();
    load.connections = load.allConnections - opensBefore;
    dll.Release();
    std::sort(ages.begin(), ages.end());
    load.medianAgeMs = ages.empty() ? -1.0 : ages[ages.size() / 2];
    return load;
}

void LiveDataFigures(const testing_support::ServiceDouble& service) {
    const LiveMode modes[] = {{"streaming", true}, {"polling (PollSeconds 5)", false}};
    for (const LiveMode& mode : modes) {
        std::printf("Live data, %s: a pushed price shown by GetRecentInfo after %.1f ms\n", mode.name,
                    PushLatencyMs(service, mode.streaming, mode.streaming ? 25 : 7));
    }
    constexpr DWORD kWindowMs = 30000;
    for (const LiveMode& mode : modes) {
        const LiveLoad load = SixtyFourTickers(service, mode.streaming, kWindowMs);
        std::printf("Live data, %s, 64 tickers changing every second: median price age %.0f ms; connections opened: "
                    "%zu in all, %zu in the two 30 s windows (%zu per 5 minutes at that rate); process CPU at one push "
                    "a second a ticker %.2f %% of one core\n",
                    mode.name, load.medianAgeMs, load.allConnections, load.connections, load.connections * 5,
                    load.cpuPercent);
    }
}

// A log line with the size limit against a line written as before it (open,
// append, close), same process, same file.
void LogLineFigure() {
    const std::wstring path = JoinPath(ModuleFolder(), L"Velmarquin.log");
    const std::string line = "2024-03-15 09:30:07.123 [tid=4412] STATUS: Live quote OK: NASDAQ:AAPL\r\n";
    constexpr int kLines = 2000;
    const double withLimit = MedianMs(7, [&] {
        for (int i = 0; i < kLines; ++i) LogLine(L"STATUS: Live quote OK: NASDAQ:AAPL");
    });
    const double plain = MedianMs(7, [&] {
        for (int i = 0; i < kLines; ++i) {
            HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
        }
    });
    std::printf("LogLine: %.1f us per line with the size limit; %.1f us opening, appending and closing alone\n",
                withLimit * 1000.0 / kLines, plain * 1000.0 / kLines);
}

// One poll cycle of a known ticker against the double (latest bars, in-process).
void PollCycleFigure() {
    const std::wstring ticker = L"NASDAQ:MSFT";
    const double pollMs = MedianMs(9, [&] {
        {
            PluginState& s = State();
            std::lock_guard<std::mutex> lock(s.stateLock);
            s.symbolCache["NASDAQ:MSFT"].lastPollTick = 0;  // due again
        }
        std::wstring error;
        PollTicker(ticker, 300, false, error);
    });
    std::wstring status;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        status = s.statusText;
    }
    std::printf("PollTicker, latest bars of a 5-minute chart from the double: %.1f ms (status \"%ls\")\n", pollMs,
                status.c_str());
}

// GetRecentInfo as the quote window calls it for a streamed ticker (prices
// pushed every 100 ms meanwhile), through this build and the build before
// the shared session, in the same run.
void StreamedRecentInfoFigures(const testing_support::ServiceDouble& service) {
    struct Build {
        const char* name;
        std::wstring dll;
    };
    std::vector<Build> builds = {{"this build", testing_support::ExeFolder() + L"\\Velmarquin.dll"}};
    const std::wstring baseline = testing_support::ExeFolder() + L"\\..\\baseline\\Velmarquin.dll";
    if (GetFileAttributesW(baseline.c_str()) != INVALID_FILE_ATTRIBUTES) builds.push_back({"the build before (107cd8a)", baseline});
    for (const Build& build : builds) {
        service.SetScenario(R"({"ws":{"seed":5,"now":1710547200,"stream":{"quote_ms":100,"bar_ms":100}}})");
        testing_support::PluginCopy plugin(build.dll);
        Exports dll(plugin);
        testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini", LiveSettings(service.Origin(), true));
        dll.Init();
        NotifyLoaded(dll, testing_support::Narrow(plugin.DatabaseFolder()));
        for (int i = 0; i < 100 && dll.GetRecentInfo("NASDAQ:AAPL") == nullptr; ++i) Sleep(100);
        constexpr int kCalls = 20000;
        const double ms = MedianMs(7, [&] {
            for (int i = 0; i < kCalls; ++i) dll.GetRecentInfo("NASDAQ:AAPL");
        });
        std::printf("GetRecentInfo, a streamed ticker (pushes every 100 ms), %s: %.2f us per call\n", build.name,
                    ms * 1000.0 / kCalls);
        // The status line of that ticker (this build adds its timeliness and the account to it).
        std::vector<std::uint8_t> status(300);
        const double statusMs = MedianMs(7, [&] {
            for (int i = 0; i < kCalls; ++i) dll.GetPluginStatus(status.data());
        });
        std::printf("GetPluginStatus, the same ticker, %s: %.2f us per call (\"%s\")\n", build.name,
                    statusMs * 1000.0 / kCalls, reinterpret_cast<const char*>(status.data() + 12));
        dll.Release();
    }
}

// A whole database as the host's threads reach it: 500 tickers, 10000 daily
// bars each, from 8 host threads at once, with 50 ms added to every reply;
// then the same after a restart with the cache files two days old. Both
// designs in one run: the shared session against the double's real limits,
// and the connection of its own for every conversation (the build before
// it, bench/build_baseline.sh) against the double with its limits lifted.
struct DatabaseRun {
    double wallMs = 0;
    int delivered = 0;
    long long opened = 0, maxOpen = 0, refused = 0, signIns = 0, searches = 0, bytes = 0;
};

constexpr int kDatabaseTickers = 500;
constexpr int kDatabaseBars = 10000;

std::string DatabaseSettings(const std::wstring& origin) {
    const std::string o = testing_support::Narrow(origin);
    return "[TradingView]\r\nTimeoutMs=60000\r\nPollSeconds=3600\r\nUsername=trader\r\nPassword=pw\r\n"
           "[Velmarquin]\r\nBackgroundDownloads=0\r\nConnections=4\r\n[Service]\r\nSymbolSearchOrigin=" + o +
           "\r\nWebOrigin=" + o + "\r\nDataOrigin=" + o + "\r\n";
}

std::string DatabaseScenario(long long now, long long anchor, bool limitsLifted) {
    return "{\"signin\":{\"username\":\"trader\",\"password\":\"pw\",\"token\":\"tok\"},\"search_any\":true,"
           "\"ws\":{\"seed\":40,\"history\":12000,\"reply_delay_ms\":50,\"now\":" + std::to_string(now) +
           ",\"history_anchor\":" + std::to_string(anchor) +
           (limitsLifted ? ",\"max_open_connections\":0,\"min_connection_gap_ms\":0,\"max_sessions\":0" : "") + "}}";
}

// Sets every cache file of `folder` back `hours`.
void AgeCacheFiles(const std::wstring& folder, int hours) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\bars_*.cache").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        testing_support::SetFileAge(folder + L"\\" + found.cFileName, hours);
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

// One start of a DLL (a fresh copy of `dll`) on `database`: the tickers
// from 8 host threads, then Release.
DatabaseRun RunDatabase(const testing_support::ServiceDouble& service, const std::wstring& dll,
                        const std::wstring& database, const std::vector<std::string>& tickers) {
    testing_support::PluginCopy plugin(dll);
    Exports exports(plugin);
    exports.Init();
    NotifyLoaded(exports, testing_support::Narrow(database));
    std::atomic<int> next{0};
    std::atomic<int> delivered{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            std::vector<char> quotes(static_cast<size_t>(kDatabaseBars) * 40);
            for (int i = next++; i < static_cast<int>(tickers.size()); i = next++) {
                const int got = exports.GetQuotesEx(tickers[static_cast<size_t>(i)].c_str(), 86400, 0, kDatabaseBars,
                                                    quotes.data(), nullptr);
                if (got == kDatabaseBars) ++delivered;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    DatabaseRun run;
    run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.delivered = delivered;
    run.opened = service.Stat("ws_opened");
    run.maxOpen = service.Stat("max_open_at_once");
    run.refused = service.Stat("ws_refused_429");
    run.signIns = service.Stat("signins");
    run.searches = service.Stat("searches");
    run.bytes = service.Stat("bytes_sent");
    exports.Release();
    return run;
}

void PrintDatabaseRun(const char* design, const char* what, const DatabaseRun& r) {
    std::printf("Database, %s, %s: %.1f s; %d of %d delivered whole; connections opened %lld (at most %lld at once), "
                "upgrades refused 429: %lld; sign-ins %lld; symbol searches %lld; %.1f MB from the service\n",
                design, what, r.wallMs / 1000.0, r.delivered, kDatabaseTickers, r.opened, r.maxOpen, r.refused,
                r.signIns, r.searches, static_cast<double>(r.bytes) / 1e6);
}

// One chart's cold download of 10000 daily bars (a search included), the
// median of five tickers, through a fresh DLL.
double OneChartColdMs(const testing_support::ServiceDouble& service, const std::wstring& dll, bool limitsLifted) {
    const long long now = static_cast<long long>(std::time(nullptr));
    service.SetScenario(DatabaseScenario(now, now + 10 * 86400, limitsLifted));
    testing_support::PluginCopy plugin(dll);
    Exports exports(plugin);
    testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini", DatabaseSettings(service.Origin()));
    exports.Init();
    NotifyLoaded(exports, testing_support::Narrow(plugin.DatabaseFolder()));
    std::vector<char> quotes(static_cast<size_t>(kDatabaseBars) * 40);
    int index = 0;
    const double ms = MedianMs(5, [&] {
        const std::string ticker = "ONE" + std::to_string(index++);
        exports.GetQuotesEx(ticker.c_str(), 86400, 0, kDatabaseBars, quotes.data(), nullptr);
    });
    exports.Release();
    return ms;
}

void DatabaseFigures(const testing_support::ServiceDouble& service) {
    struct Design {
        const char* name;
        std::wstring dll;
        bool limitsLifted;
    };
    std::vector<Design> designs = {{"shared session (Connections=4), the service's limits", L"", false}};
    const std::wstring baseline = testing_support::ExeFolder() + L"\\..\\baseline\\Velmarquin.dll";
    if (GetFileAttributesW(baseline.c_str()) != INVALID_FILE_ATTRIBUTES) {
        designs.push_back({"a connection per conversation (before), limits lifted", baseline, true});
    } else {
        std::printf("Database: no baseline DLL (bench/build_baseline.sh): the design before is not measured\n");
    }
    std::vector<std::string> tickers;
    for (int i = 0; i < kDatabaseTickers; ++i) tickers.push_back("B" + std::to_string(1000 + i));
    for (Design& design : designs) {
        if (design.dll.empty()) design.dll = testing_support::ExeFolder() + L"\\Velmarquin.dll";
        std::printf("Database, %s: one chart's cold download of 10000 daily bars %.0f ms\n", design.name,
                    OneChartColdMs(service, design.dll, design.limitsLifted));
        testing_support::TempFolder database;
        testing_support::WriteFileBytes(database.Join(L"Velmarquin.ini"), DatabaseSettings(service.Origin()));
        const long long now = static_cast<long long>(std::time(nullptr));
        const long long anchor = now + 10 * 86400;
        service.SetScenario(DatabaseScenario(now, anchor, design.limitsLifted));
        const DatabaseRun cold = RunDatabase(service, design.dll, database.Path(), tickers);
        PrintDatabaseRun(design.name, "empty cache", cold);
        // A restart a day later: every file stale, the service a day on.
        AgeCacheFiles(database.Join(L"VelmarquinCache"), 48);
        service.SetScenario(DatabaseScenario(now + 86400, anchor, design.limitsLifted));
        const DatabaseRun warm = RunDatabase(service, design.dll, database.Path(), tickers);
        PrintDatabaseRun(design.name, "restart, files two days old", warm);
        std::printf("Database, %s: after the restart %.1f %% of the cold run's bytes, %.1f %% of its wall time\n",
                    design.name, 100.0 * static_cast<double>(warm.bytes) / static_cast<double>(std::max(1LL, cold.bytes)),
                    100.0 * warm.wallMs / std::max(1.0, cold.wallMs));
    }
}

}  // namespace

// "velmarquin_bench live" measures the live data alone, "velmarquin_bench
// log" the log line alone, "velmarquin_bench database" the whole database.
int main(int argc, char** argv) {
    testing_support::ServiceDouble service;
    if (argc > 1 && std::string(argv[1]) == "live") {
        LiveDataFigures(service);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "log") {
        LogLineFigure();
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "database") {
        DatabaseFigures(service);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "recent") {
        StreamedRecentInfoFigures(service);
        return 0;
    }
    testing_support::TempFolder database;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.databaseFolder = database.Path();
        s.origins.symbolSearch = s.origins.web = s.origins.data = service.Origin();
        s.settings.TimeoutMs = 20000;
    }
    StartServiceSession();
    const PluginSettings settings = CopySettings();

    // The reader on the service's own 285 KB one-minute frame, and the
    // reader as first written (each object copied, values scanned with
    // strtod) on the same frame, in the same run.
    const std::string& real = testing_support::RealFrames().at(0);
    const double realMs = MedianMs(15, [&] {
        std::vector<Bar> bars;
        ParseSeriesPayload(real, 60, settings, bars);
    });
    const double referenceMs = MedianMs(15, [&] {
        std::vector<Bar> bars;
        OracleSeriesBars(real, 60, settings, bars);
    });
    auto mbps = [](size_t bytes, double ms) { return static_cast<double>(bytes) / 1e6 / (ms / 1000.0); };
    std::printf("ParseSeriesPayload, the real 2637-bar one-minute frame (%zu bytes): %.2f ms, %.1f MB/s\n", real.size(),
                realMs, mbps(real.size(), realMs));
    std::printf("  the reader as first written, same frame: %.2f ms, %.1f MB/s\n", referenceMs,
                mbps(real.size(), referenceMs));

    // Daily bars dated by the exchange's calendar (its time zone through the
    // platform) against the trader's local calendar, on the real daily frame.
    const std::string& daily = testing_support::RealFrames().at(34);
    const ExchangeCalendar calendar(ExchangeSession{"America/New_York", "0930-1600", ""}, settings);
    const double exchangeMs = MedianMs(15, [&] {
        std::vector<Bar> bars;
        ParseSeriesPayload(daily, 86400, settings, bars, &calendar);
    });
    const double localMs = MedianMs(15, [&] {
        std::vector<Bar> bars;
        ParseSeriesPayload(daily, 86400, settings, bars);
    });
    std::printf("ParseSeriesPayload, the real 368-bar daily frame: %.3f ms by the exchange's calendar, %.3f ms by the "
                "local one\n",
                exchangeMs, localMs);

    const std::string payload = SeriesPayload(5000);
    const double parseMs = MedianMs(9, [&] {
        std::vector<Bar> bars;
        ParseSeriesPayload(payload, 60, settings, bars);
    });
    std::printf("ParseSeriesPayload, 5000-bar payload (%zu bytes): %.2f ms, %.1f MB/s\n", payload.size(), parseMs,
                mbps(payload.size(), parseMs));

    std::vector<Bar> merged;
    const double mergeMs = MedianMs(5, [&] {
        merged.clear();
        for (int round = 0; round < 6; ++round) ParseSeriesPayload(payload, 60, settings, merged);
    });
    std::printf("ParseSeriesPayload, six 5000-bar payloads merged into one list: %.2f ms\n", mergeMs);

    // An anonymous request for 30000 one-minute bars: the service stops at
    // 5000 and says so ("limit").
    if (!service.Available() || !service.SetScenario(R"({"ws":{"seed":9,"now":1710547200,"history":30000}})")) {
        std::printf("service double not available: download figures skipped\n");
        return 1;
    }
    std::vector<Bar> bars;
    std::wstring error;
    const double limitedMs = MedianMs(5, [&] {
        ClearCache();
        FetchBars(L"NASDAQ:AAPL", 60, 30000, bars, error);
    });
    size_t asked = 0;
    for (const std::string& text : service.Events("ws_message", "text")) {
        asked += text.find("\"request_more_data\"") != std::string::npos;
    }
    std::printf("FetchBars, anonymous 30000 one-minute bars (the service's 5000-bar limit): %.1f ms (%zu bars, %.1f "
                "requests for more per download)\n",
                limitedMs, bars.size(), static_cast<double>(asked) / 5.0);

    // A signed-in account's whole history: a first request and five rounds.
    service.SetScenario(R"({"ws":{"seed":9,"now":1710547200,"history":30000,"max_per_request":5000,"bar_limit":0}})");
    const double downloadMs = MedianMs(5, [&] {
        ClearCache();
        FetchBars(L"NASDAQ:AAPL", 60, 30000, bars, error);
    });
    std::printf("FetchBars, 30000 one-minute bars from the double in six rounds: %.1f ms (%zu bars)\n", downloadMs,
                bars.size());

    const std::wstring path = CacheFilePath(L"NASDAQ:AAPL", 60, settings);
    const double loadMs = MedianMs(9, [&] { LoadCachedBars(path, 60, settings, bars); });
    std::printf("LoadCachedBars, 30000-bar file: %.2f ms (%zu bars)\n", loadMs, bars.size());

    const double hitMs = MedianMs(9, [&] { FetchBars(L"NASDAQ:AAPL", 60, 30000, bars, error); });
    std::printf("FetchBars, cache hit of 30000 bars: %.2f ms (%zu bars)\n", hitMs, bars.size());

    PollCycleFigure();
    LogLineFigure();
    HostFacingFigures(service);
    WindowThreadFigures(service);
    LiveDataFigures(service);
    StreamedRecentInfoFigures(service);
    DatabaseFigures(service);
    return 0;
}
