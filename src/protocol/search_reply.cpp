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
