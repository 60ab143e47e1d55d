// A cache-file row of arbitrary bytes: the fast reader gives exactly what the
// C library's scan gives, field count, time and values bit for bit. The same
// bytes as a symbol map file: what is read is written back the same.
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
    const std::string file(reinterpret_cast<const char*>(data), size);
    for (const std::string& text : {file, std::string(kSymbolMapHeader) + "\r\n" + file}) {
        const SymbolMapEntries entries = ParseSymbolMap(text);
        if (ParseSymbolMap(FormatSymbolMap(entries)) != entries) std::abort();
    }
    return 0;
}
