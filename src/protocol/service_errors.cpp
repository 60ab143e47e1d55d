#include "protocol/service_errors.h"

#include <cstdint>
#include <vector>

#include "protocol/json_text.h"

namespace {

struct ErrorKind {
    const char* name;  // the message name in quotes
    size_t reasonIndex;
    const char* text;
};

// critical_error first: it ends every conversation with this exact text,
// whatever else the payload holds.
const ErrorKind kKinds[] = {{"\"protocol_error\"", 0, "TradingView protocol error: "},
                            {"\"symbol_error\"", 2, "TradingView symbol error: "},
                            {"\"series_error\"", 3, "TradingView series error: "}};

bool IsString(const std::string& element) { return element.size() >= 2 && element.front() == '"'; }

std::string Unquoted(const std::string& element) { return element.substr(1, element.size() - 2); }

std::string ReasonAt(const std::string& payload, size_t index) {
    std::string inner;
    if (!JsonArrayField(payload, "p", inner)) return {};
    const std::vector<std::string> p = JsonArrayElements(inner);
    if (index < p.size() && IsString(p[index])) return Unquoted(p[index]);
    for (size_t i = p.size(); i > 0; --i) {
        if (IsString(p[i - 1])) return Unquoted(p[i - 1]);
    }
    return {};
}

}  // namespace

std::string ServiceErrorReason(const std::string& payload) {
    for (const ErrorKind& kind : kKinds) {
        if (payload.find(kind.name) != std::string::npos) return ReasonAt(payload, kind.reasonIndex);
    }
    return ReasonAt(payload, payload.find("\"critical_error\"") != std::string::npos ? 1 : SIZE_MAX);
}

std::string ServiceErrorText(const std::string& payload) {
    if (payload.size() >= 14 && payload.find("critical_error") != std::string::npos) return "TradingView critical error";
    for (const ErrorKind& kind : kKinds) {
        if (payload.find(kind.name) != std::string::npos) return kind.text + ReasonAt(payload, kind.reasonIndex);
    }
    return {};
}
