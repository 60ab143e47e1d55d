// A cache-file row of arbitrary bytes: the fast reader gives exactly what the
// C library's scan gives, field count, time and values bit for bit. The same
// bytes as a symbol map file: what is read is written back the same; and as
// a bar (a time and six floats): the fast row writer gives exactly what the
// C library's print gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/cache_row.h"
#include "storage/symbol_map_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A row never holds its line end or a NUL (the scan would stop there).
    std::string row(reinterpret_cast<const char*>(data), size);
    for (char& c : row) {
        if (c == '\n' || c == '\0') c = ' ';
    }
    long long time = 0;
    double v[6] = {0, 0, 0, 0, 0, 0};
    const int fields = ScanCacheRow(row.data(), row.data() + row.size(), time, v);

    long long scannedTime = 0;
    double scanned[6] = {0, 0, 0, 0, 0, 0};
    const int expected = std::sscanf(row.c_str(), "%lld,%lf,%lf,%lf,%lf,%lf,%lf", &scannedTime, &scanned[0],
                                     &scanned[1], &scanned[2], &scanned[3], &scanned[4], &scanned[5]);
    if (fields != expected) std::abort();
    if (fields >= 1 && time != scannedTime) std::abort();
    for (int i = 0; i + 1 < fields; ++i) {
        if (std::memcmp(&v[i], &scanned[i], sizeof(double)) != 0) std::abort();
    }
    if (size >= 32) {
        long long barTime = 0;
        float values[6];
        std::memcpy(&barTime, data, sizeof(barTime));
        std::memcpy(values, data + 8, sizeof(values));
        char fast[kCacheRowCapacity];
        char printed[kCacheRowCapacity];
        const std::size_t n = FormatCacheRow(barTime, values, fast);
        const int expected = std::snprintf(printed, sizeof(printed), "%lld,%.10f,%.10f,%.10f,%.10f,%.10f,%.10f\r\n",
                                           barTime, static_cast<double>(values[0]), static_cast<double>(values[1]),
                                           static_cast<double>(values[2]), static_cast<double>(values[3]),
                                           static_cast<double>(values[4]), static_cast<double>(values[5]));
        const bool fits = expected > 0 && static_cast<std::size_t>(expected) < sizeof(printed);
        if (fits != (n != 0)) std::abort();
        if (n != 0 && (n != static_cast<std::size_t>(expected) || std::memcmp(fast, printed, n) != 0)) std::abort();
    }
    const std::string file(reinterpret_cast<const char*>(data), size);
    for (const std::string& text : {file, std::string(kSymbolMapHeader) + "\r\n" + file}) {
        const SymbolMapEntries entries = ParseSymbolMap(text);
        if (ParseSymbolMap(FormatSymbolMap(entries)) != entries) std::abort();
    }
    return 0;
}
