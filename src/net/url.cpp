#include "net/url.h"

#include <cwctype>

namespace {

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return i == a.size() && b[i] == L'\0';
}

// Leading decimal digits (after optional blanks and sign) kept in 16 bits,
// as a decimal conversion followed by a narrowing would give.
std::uint16_t PortValue(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - L'0');
    }
    if (negative) value = 0u - value;
    return static_cast<std::uint16_t>(value & 0xFFFFu);
}

}  // namespace

bool ParseUrl(const std::wstring& url, ParsedUrl& parsed, std::wstring& error) {
    const size_t separator = url.find(L"://");
    if (url.size() < 3 || separator == std::wstring::npos) {
        error = L"Invalid URL";
        return false;
    }
    parsed.secure = EqualsNoCase(url.substr(0, separator), L"https");
    parsed.port = parsed.secure ? 443 : 80;

    const size_t authorityStart = separator + 3;
    const size_t slash = url.find(L'/', authorityStart);
    std::wstring authority;
    if (slash == std::wstring::npos) {
        authority = url.substr(authorityStart);
        parsed.path = L"/";
    } else {
        authority = url.substr(authorityStart, slash - authorityStart);
        parsed.path = url.substr(slash);
    }

    const size_t colon = authority.find(L':');
    if (colon == std::wstring::npos) {
        parsed.host = authority;
    } else {
        parsed.host = authority.substr(0, colon);
        parsed.port = PortValue(authority.substr(colon + 1));
        if (parsed.port == 0) parsed.port = parsed.secure ? 443 : 80;
    }
    return !parsed.host.empty();
}
