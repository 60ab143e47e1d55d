#include "storage/cache_row.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

namespace {

// "%.10f" of a float (widened to double, as the print sees it), rounded half
// to even at the tenth decimal; 0 when the value is not a finite float whose
// whole part fits 64 bits.
std::size_t FixedTen(float value, char* out, std::size_t capacity) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    const int exponentField = static_cast<int>((bits >> 23) & 0xFF);
    if (exponentField == 0xFF || capacity < 40) return 0;  // infinity or not a number
    std::uint64_t mantissa = bits & 0x7FFFFF;
    int exponent = -149;
    if (exponentField != 0) {
        mantissa |= 0x800000;
        exponent = exponentField - 150;
    }
    // value = mantissa * 2^exponent, exactly.
    constexpr std::uint64_t kTen10 = 10000000000ULL;
    std::uint64_t whole = 0;
    std::uint64_t tenths = 0;  // the ten decimals, as one number
    if (exponent >= 0) {
        if (exponent > 39) return 0;
        whole = mantissa << exponent;
    } else {
        const int k = -exponent;
        whole = k < 64 ? mantissa >> k : 0;
        const std::uint64_t rest = k < 64 ? mantissa & ((1ULL << k) - 1) : mantissa;
        // rest / 2^k of a unit, in ten decimals: rest * 10^10 < 2^58.
        const std::uint64_t scaled = rest * kTen10;
        if (k < 64) {
            tenths = scaled >> k;
            const std::uint64_t remainder = scaled & ((1ULL << k) - 1);
            const std::uint64_t half = 1ULL << (k - 1);
            if (remainder > half || (remainder == half && (tenths & 1) != 0)) ++tenths;
        }
        // With k of 64 or more the fraction is below half of the tenth
        // decimal's unit: the ten decimals are zero.
        if (tenths >= kTen10) {
            ++whole;
            tenths -= kTen10;
        }
    }
    char* at = out;
    if ((bits >> 31) != 0) *at++ = '-';
    at = std::to_chars(at, out + capacity, whole).ptr;
    *at++ = '.';
    for (int digit = 9; digit >= 0; --digit) {
        at[digit] = static_cast<char>('0' + tenths % 10);
        tenths /= 10;
    }
    return static_cast<std::size_t>(at + 10 - out);
}

}  // namespace

std::size_t FormatCacheRow(long long time, const float (&v)[6], char* out) {
    char* at = out;
    char* const end = out + kCacheRowCapacity;
    at = std::to_chars(at, end, time).ptr;
    for (float value : v) {
        *at++ = ',';
        std::size_t n = FixedTen(value, at, static_cast<std::size_t>(end - at));
        if (n == 0) {
            const int printed = std::snprintf(at, static_cast<std::size_t>(end - at), "%.10f", static_cast<double>(value));
            if (printed <= 0 || printed >= end - at) return 0;
            n = static_cast<std::size_t>(printed);
        }
        at += n;
        if (end - at < 48) return 0;
    }
    *at++ = '\r';
    *at++ = '\n';
    return static_cast<std::size_t>(at - out);
}
