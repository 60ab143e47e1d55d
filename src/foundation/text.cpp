#include "foundation/text.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// One UTF-16 unit per byte, sign-extended: 0x80..0xFF become U+FF80..U+FFFF.
std::wstring SignExtendBytes(const char* bytes, size_t length) {
    std::wstring out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<wchar_t>(static_cast<short>(static_cast<signed char>(bytes[i]))));
    }
    return out;
}

std::wstring MultiByteToWide(UINT codePage, const char* bytes, int length) {
    const int units = MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<size_t>(units), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, bytes, length, &out[0], units);
    if (written <= 0) return {};
    out.resize(static_cast<size_t>(written));
    return out;
}

std::string WideToMultiByte(UINT codePage, const wchar_t* text, int length) {
    const int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    const int written = WideCharToMultiByte(codePage, 0, text, length, &out[0], bytes, nullptr, nullptr);
    if (written <= 0) return {};
    out.resize(static_cast<size_t>(written));
    return out;
}

}  // namespace

std::wstring AnsiToWide(const char* text) {
    if (text == nullptr || text[0] == '\0') return {};
    const size_t length = std::strlen(text);
    if (length > 0x7FFFFFFF) return SignExtendBytes(text, length);
    std::wstring out = MultiByteToWide(CP_ACP, text, static_cast<int>(length));
    if (out.empty()) return SignExtendBytes(text, length);
    return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    if (utf8.empty()) return {};
    if (utf8.size() > 0x7FFFFFFF) return SignExtendBytes(utf8.data(), utf8.size());
    std::wstring out = MultiByteToWide(CP_UTF8, utf8.data(), static_cast<int>(utf8.size()));
    if (out.empty()) return SignExtendBytes(utf8.data(), utf8.size());
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) return {};
    const int length = static_cast<int>(text.size());
    std::string out = WideToMultiByte(CP_UTF8, text.data(), length);
    if (out.empty()) out = WideToMultiByte(CP_ACP, text.data(), length);
    return out;
}
