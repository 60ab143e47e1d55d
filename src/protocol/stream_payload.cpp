#include "protocol/stream_payload.h"

#include "protocol/json_text.h"
#include "protocol/service_errors.h"

namespace {

bool IsString(const std::string& element) { return element.size() >= 2 && element.front() == '"'; }

std::string Unquoted(const std::string& element) {
    return IsString(element) ? element.substr(1, element.size() - 2) : std::string();
}

// The members of an object's text ("{...}"), each as its key (raw) and its
// value's JSON text. Members whose key is not a string are skipped.
std::vector<std::pair<std::string, std::string>> ObjectMembers(const std::string& object) {
    std::vector<std::pair<std::string, std::string>> members;
    const size_t open = object.find('{');
    const size_t close = object.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close <= open) return members;
    for (const std::string& member : JsonArrayElements(object.substr(open + 1, close - open - 1))) {
        if (member.empty() || member.front() != '"') continue;
        const size_t keyEnd = JsonStringEnd(member, 0);
        if (keyEnd >= member.size()) continue;
        const size_t colon = member.find_first_not_of(" \t\r\n", keyEnd + 1);
        if (colon == std::string::npos || member[colon] != ':') continue;
        const size_t value = member.find_first_not_of(" \t\r\n", colon + 1);
        if (value == std::string::npos) continue;
        members.emplace_back(member.substr(1, keyEnd - 1), member.substr(value));
    }
    return members;
}

struct Named {
    const char* name;
    StreamPayloadKind kind;
};

const Named kNamed[] = {{"qsd", StreamPayloadKind::Quote},
                        {"timescale_update", StreamPayloadKind::SeriesData},
                        {"du", StreamPayloadKind::SeriesData},
                        {"series_loading", StreamPayloadKind::SeriesLoading},
                        {"series_completed", StreamPayloadKind::SeriesCompleted},
                        {"symbol_resolved", StreamPayloadKind::SymbolResolved},
                        {"symbol_error", StreamPayloadKind::SymbolError},
                        {"series_error", StreamPayloadKind::SeriesError},
                        {"critical_error", StreamPayloadKind::CriticalError},
                        {"protocol_error", StreamPayloadKind::ProtocolError}};

}  // namespace

void ReadStreamPayload(const std::string& payload, StreamPayload& out) {
    out = StreamPayload();
    if (payload.empty() || payload.front() != '{') return;
    // Every service message begins with its name.
    const std::string name = JsonStringField(payload.substr(0, 64), "m", 0);
    StreamPayloadKind kind = StreamPayloadKind::Other;
    for (const Named& named : kNamed) {
        if (name == named.name) kind = named.kind;
    }
    if (kind == StreamPayloadKind::Other) return;
    std::string inner;
    if (!JsonArrayField(payload, "p", inner)) return;
    const std::vector<std::string> p = JsonArrayElements(inner);
    if (p.empty()) return;
    out.kind = kind;
    out.session = Unquoted(p[0]);
    switch (kind) {
        case StreamPayloadKind::Quote:
            ReadQuoteUpdate(payload, out.quote);
            break;
        case StreamPayloadKind::SeriesData:
            if (p.size() >= 2) out.members = ObjectMembers(p[1]);
            break;
        case StreamPayloadKind::SeriesLoading:
        case StreamPayloadKind::SeriesCompleted:
        case StreamPayloadKind::SymbolResolved:
            if (p.size() >= 2) out.id = Unquoted(p[1]);
            break;
        case StreamPayloadKind::SymbolError:
        case StreamPayloadKind::SeriesError:
            if (p.size() >= 2) out.id = Unquoted(p[1]);
            out.reason = ServiceErrorReason(payload);
            break;
        case StreamPayloadKind::CriticalError:
            out.reason = ServiceErrorReason(payload);
            if (payload.find("exceed limit of series") != std::string::npos) out.kind = StreamPayloadKind::SeriesLimit;
            break;
        case StreamPayloadKind::ProtocolError:
            out.reason = ServiceErrorReason(payload);
            break;
        case StreamPayloadKind::SeriesLimit:
        case StreamPayloadKind::Other:
            break;
    }
}

std::string QuoteSubscription(const std::string& symbolId) {
    const std::string quoted = JsonQuote("={\"symbol\":" + JsonQuote(symbolId) + ",\"adjustment\":\"splits\"}");
    return quoted.substr(1, quoted.size() - 2);
}

std::string SubscribedSymbol(const std::string& subscribed) {
    if (subscribed.empty() || subscribed.front() != '=') return subscribed;
    // The JSON form arrives escaped inside the "n" string: \" for each quote.
    std::string json;
    json.reserve(subscribed.size());
    for (size_t i = 1; i < subscribed.size(); ++i) {
        if (subscribed[i] == '\\' && i + 1 < subscribed.size()) ++i;
        json.push_back(subscribed[i]);
    }
    return TopLevelStringField(json, "symbol");
}
