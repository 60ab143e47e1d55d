// Host-facing speed: each figure is the median of several runs. Runs under
// Wine inside with-double.sh, like the tests; nothing here asserts a time.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/state.h"
#include "protocol/history_fetch.h"
#include "protocol/host_time.h"
#include "storage/disk_cache.h"
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

}  // namespace

int main() {
    testing_support::ServiceDouble service;
    testing_support::TempFolder database;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.databaseFolder = database.Path();
        s.origins.symbolSearch = s.origins.web = s.origins.data = service.Origin();
        s.settings.TimeoutMs = 20000;
    }
    const PluginSettings settings = CopySettings();

    const std::string payload = SeriesPayload(5000);
    const double parseMs = MedianMs(9, [&] {
        std::vector<Bar> bars;
        ParseSeriesPayload(payload, 60, settings, bars);
    });
    std::printf("ParseSeriesPayload, 5000-bar payload (%zu bytes): %.2f ms, %.1f MB/s\n", payload.size(), parseMs,
                static_cast<double>(payload.size()) / 1e6 / (parseMs / 1000.0));

    std::vector<Bar> merged;
    const double mergeMs = MedianMs(5, [&] {
        merged.clear();
        for (int round = 0; round < 6; ++round) ParseSeriesPayload(payload, 60, settings, merged);
    });
    std::printf("ParseSeriesPayload, six 5000-bar payloads merged into one list: %.2f ms\n", mergeMs);

    if (!service.Available() ||
        !service.SetScenario(R"({"ws":{"seed":9,"now":1710547200,"history":30000,"max_per_request":5000}})")) {
        std::printf("service double not available: download figures skipped\n");
        return 1;
    }
    std::vector<Bar> bars;
    std::wstring error;
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
    return 0;
}
