#include "protocol/search_reply.h"

#include "protocol/json_text.h"

namespace {

void RemoveAll(std::string& text, const std::string& tag) {
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at)) text.erase(at, tag.size());
}

std::string WithoutHighlight(std::string text) {
    RemoveAll(text, "<em>");
    RemoveAll(text, "</em>");
    return text;
}

const char kSpace[] = " \t\r\n";

// Where the matches of a v3 reply begin: just after the "[" of its "symbols"
// key; npos when the reply has none.
size_t ListOfMatches(const std::string& body) {
    const size_t key = body.find("\"symbols\"");
    if (key == std::string::npos) return std::string::npos;
    const size_t colon = body.find_first_not_of(kSpace, key + 9);
    if (colon == std::string::npos || body[colon] != ':') return std::string::npos;
    const size_t bracket = body.find_first_not_of(kSpace, colon + 1);
    if (bracket == std::string::npos || body[bracket] != '[') return std::string::npos;
    return bracket + 1;
}

}  // namespace

std::string ObjectAt(const std::string& text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            i = JsonStringEnd(text, i);
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return text.substr(open, i + 1 - open);
        }
    }
    return text.substr(open);
}

std::string TopLevelStringField(const std::string& object, const std::string& key) {
    int depth = 0;
    for (size_t i = 0; i < object.size(); ++i) {
        const char c = object[i];
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const size_t close = JsonStringEnd(object, i);
            if (close == object.size()) return {};
            const bool named = depth == 1 && object.compare(i + 1, close - i - 1, key) == 0 &&
                               close - i - 1 == key.size();
            const size_t colon = object.find_first_not_of(kSpace, close + 1);
            if (named && colon != std::string::npos && object[colon] == ':') {
                const size_t value = object.find_first_not_of(kSpace, colon + 1);
                if (value == std::string::npos || object[value] != '"') return {};
                const size_t end = JsonStringEnd(object, value);
                return end == object.size() ? std::string() : object.substr(value + 1, end - value - 1);
            }
            i = close;
        }
    }
    return {};
}

SearchReply FirstMatchSymbolId(const std::string& body, std::string& symbolId) {
    // The v3 shape wraps the list in an object; any other object (an error
    // reply, say) is read as the one match, as a plain list's first one is.
    size_t open = body.find_first_not_of(kSpace);
    if (open == std::string::npos) return SearchReply::NoMatch;
    const size_t list = body[open] == '{' ? ListOfMatches(body) : std::string::npos;
    if (list != std::string::npos) {
        open = body.find_first_not_of(kSpace, list);
        if (open == std::string::npos || body[open] != '{') return SearchReply::NoMatch;
    } else {
        open = body.find('{');
        if (open == std::string::npos) return SearchReply::NoMatch;
    }
    const std::string match = ObjectAt(body, open);

    std::string symbol = TopLevelStringField(match, "symbol");
    if (TopLevelStringField(match, "type") == "futures") {
        const std::string contract = FirstContractSymbol(match);
        if (!contract.empty()) symbol = contract;
    }
    symbol = WithoutHighlight(symbol);
    std::string exchange = WithoutHighlight(TopLevelStringField(match, "prefix"));
    if (exchange.empty()) exchange = WithoutHighlight(TopLevelStringField(match, "exchange"));
    if (exchange.empty() || symbol.empty()) return SearchReply::Incomplete;
    symbolId = exchange + ":" + symbol;
    return SearchReply::Resolved;
}
