// The text rules of text.h that need no platform call (trimming,
// lower-casing, number formatting), apart so that the pure layers built for
// fuzzing can use them too.
#include "foundation/text.h"

#include <cwchar>
#include <cwctype>

std::wstring TrimWide(std::wstring_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return std::wstring(text.substr(begin, end - begin));
}

std::wstring LowerTrimWide(std::wstring_view text) {
    std::wstring out = TrimWide(text);
    for (wchar_t& unit : out) unit = static_cast<wchar_t>(std::towlower(unit));
    return out;
}

std::wstring FormatFloat(double value) {
    wchar_t buffer[352];
    const int n = std::swprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), L"%f", value);
    if (n <= 0) return L"0.000000";
    return std::wstring(buffer, static_cast<size_t>(n));
}
