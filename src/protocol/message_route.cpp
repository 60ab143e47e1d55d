#include "protocol/message_route.h"

#include <algorithm>
#include <cstring>

namespace {

// The raw contents of the JSON string that starts at `at` (its opening
// quote), escapes kept; false when it does not end within `limit` bytes.
bool StringAt(const std::string& text, size_t at, size_t limit, std::string& out) {
    if (at >= text.size() || text[at] != '"') return false;
    const size_t end = std::min(text.size(), at + 1 + limit);
    for (size_t i = at + 1; i < end; ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            out.assign(text, at + 1, i - at - 1);
            return true;
        }
    }
    return false;
}

size_t SkipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr && text[at] != '\0') ++at;
    return at;
}

// The position just after `"key"` and its colon, looked for in the first
// `within` bytes, or npos.
size_t AfterKey(const std::string& text, const char* key, size_t within) {
    const std::string needle = std::string("\"") + key + "\"";
    const size_t at = text.find(needle);
    if (at == std::string::npos || at > within) return std::string::npos;
    const size_t colon = SkipBlanks(text, at + needle.size());
    return colon < text.size() && text[colon] == ':' ? SkipBlanks(text, colon + 1) : std::string::npos;
}

// Service messages begin with their name and parameters; a session name
// is short. Anything further in is not a routing field.
constexpr size_t kHeadBytes = 256;
constexpr size_t kLongestName = 128;

}  // namespace

MessageRoute ReadMessageRoute(const std::string& payload) {
    MessageRoute route;
    if (payload.empty() || payload.front() != '{') return route;
    const size_t name = AfterKey(payload, "m", kHeadBytes);
    if (name == std::string::npos || !StringAt(payload, name, kLongestName, route.name)) return route;
    const size_t p = AfterKey(payload, "p", kHeadBytes);
    if (p != std::string::npos && p < payload.size() && payload[p] == '[') {
        StringAt(payload, SkipBlanks(payload, p + 1), kLongestName, route.session);
    }
    if (route.name == "protocol_error") {
        route.kind = RouteKind::ProtocolError;
    } else if (route.name == "critical_error") {
        route.kind = RouteKind::CriticalError;
    } else if (!route.session.empty()) {
        route.kind = RouteKind::Session;
    }
    return route;
}
