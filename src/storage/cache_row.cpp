#include "storage/cache_row.h"

#include <charconv>
#include <cstdio>
#include <string>

namespace {

// True when `at` begins a plain decimal number: an optional minus, then a
// digit or a point.
bool StartsPlainNumber(const char* at, const char* end) {
    if (at < end && *at == '-') ++at;
    return at < end && ((*at >= '0' && *at <= '9') || *at == '.');
}

}  // namespace

int ScanCacheRow(const char* begin, const char* end, long long& time, double (&v)[6]) {
    if (StartsPlainNumber(begin, end)) {
        const std::from_chars_result first = std::from_chars(begin, end, time);
        bool whole = first.ec == std::errc();
        const char* at = first.ptr;
        for (double& value : v) {
            if (!whole || at == end || *at != ',' || !StartsPlainNumber(at + 1, end)) {
                whole = false;
                break;
            }
            const std::from_chars_result next = std::from_chars(at + 1, end, value);
            whole = next.ec == std::errc();
            at = next.ptr;
        }
        if (whole && at == end) return 7;
    }
    time = 0;
    for (double& value : v) value = 0;
    const std::string line(begin, end);
    return std::sscanf(line.c_str(), "%lld,%lf,%lf,%lf,%lf,%lf,%lf", &time, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
}
