#include "protocol/jwt.h"

#include <cstdlib>

#include "protocol/json_text.h"

namespace {

int Base64UrlValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-' || c == '+') return 62;
    if (c == '_' || c == '/') return 63;
    return -1;
}

// Decodes base64url (padding optional); false for any other character.
bool DecodeBase64Url(const std::string& text, std::string& out) {
    out.clear();
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int value = Base64UrlValue(c);
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

// A token's payload is a few hundred bytes; anything far larger is not one.
constexpr size_t kLongestPayload = 16384;

}  // namespace

std::int64_t JwtExpiry(const std::string& token) {
    const size_t first = token.find('.');
    if (first == std::string::npos) return 0;
    const size_t second = token.find('.', first + 1);
    if (second == std::string::npos || second - first - 1 > kLongestPayload) return 0;
    std::string payload;
    if (!DecodeBase64Url(token.substr(first + 1, second - first - 1), payload)) return 0;
    if (payload.empty() || payload.front() != '{') return 0;
    const std::string exp = JsonNumberField(payload, "exp");
    if (exp.empty()) return 0;
    const long long value = std::strtoll(exp.c_str(), nullptr, 10);
    // Unix seconds of this century only: a value in milliseconds or nonsense
    // counts as none, and the token is renewed only when the service says so.
    return value > 946684800LL && value < 4102444800LL ? static_cast<std::int64_t>(value) : 0;
}
