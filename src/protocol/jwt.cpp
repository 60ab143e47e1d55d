#include "protocol/jwt.h"

#include <cstdlib>

#include "foundation/base64.h"
#include "protocol/json_text.h"

namespace {

// A token's payload is a few hundred bytes; anything far larger is not one.
constexpr size_t kLongestPayload = 16384;

}  // namespace

std::int64_t JwtExpiry(const std::string& token) {
    const size_t first = token.find('.');
    if (first == std::string::npos) return 0;
    const size_t second = token.find('.', first + 1);
    if (second == std::string::npos || second - first - 1 > kLongestPayload) return 0;
    std::string payload;
    if (!Base64Decode(token.substr(first + 1, second - first - 1), payload)) return 0;
    if (payload.empty() || payload.front() != '{') return 0;
    const std::string exp = JsonNumberField(payload, "exp");
    if (exp.empty()) return 0;
    const long long value = std::strtoll(exp.c_str(), nullptr, 10);
    // Unix seconds of this century only: a value in milliseconds or nonsense
    // counts as none, and the token is renewed only when the service says so.
    return value > 946684800LL && value < 4102444800LL ? static_cast<std::int64_t>(value) : 0;
}
