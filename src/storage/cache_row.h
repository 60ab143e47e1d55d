// One row of a cache file, read as the C library's scan
// "%lld,%lf,%lf,%lf,%lf,%lf,%lf" reads it, and written as its print
// "%lld,%.10f,%.10f,%.10f,%.10f,%.10f,%.10f\r\n" writes it. Pure; any thread.
#pragma once

#include <cstddef>

// Returns the number of fields converted (time, then up to six values). A
// row as the cache writes it (seven plain numbers, nothing else) is
// converted directly, which is many times faster than the scan under Wine
// and gives the same correctly rounded values; any other row (hand-edited,
// damaged, fewer fields) goes to the scan itself, so it reads exactly as it
// always did.
int ScanCacheRow(const char* begin, const char* end, long long& time, double (&v)[6]);

// The row of a bar, byte for byte what the C library's print gives (values
// rounded half to even at the tenth decimal, as it rounds), into `out` of
// at least kCacheRowCapacity bytes; returns its length, 0 when it does not fit.
// The prices of a bar are floats: their decimal digits are worked out
// exactly in integers, which is many times faster than the print under
// Wine; any other value (a huge one, not a number) goes to the print itself.
constexpr std::size_t kCacheRowCapacity = 512;
std::size_t FormatCacheRow(long long time, const float (&v)[6], char* out);
