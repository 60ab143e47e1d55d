// One row of a cache file, read as the C library's scan
// "%lld,%lf,%lf,%lf,%lf,%lf,%lf" reads it. Pure; any thread.
#pragma once

// Returns the number of fields converted (time, then up to six values). A
// row as the cache writes it (seven plain numbers, nothing else) is
// converted directly, which is many times faster than the scan under Wine
// and gives the same correctly rounded values; any other row (hand-edited,
// damaged, fewer fields) goes to the scan itself, so it reads exactly as it
// always did.
int ScanCacheRow(const char* begin, const char* end, long long& time, double (&v)[6]);
