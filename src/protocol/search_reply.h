// Reads the service identifier out of a symbol-search reply, in both shapes
// the search answers with: a plain array of matches, or an object
// {"symbols_remaining":N,"symbols":[...]}. Pure; any thread.
#pragma once

#include <string>

enum class SearchReply {
    Resolved,    // `symbolId` holds EXCHANGE:SYMBOL
    NoMatch,     // no match object at all (an empty list)
    Incomplete,  // the first match lacks an exchange or a symbol
};

// The first match names the identifier: its "prefix" (else its "exchange"),
// ":" and its "symbol" (for a futures root, the symbol of its first
// contract), highlighting tags <em> and </em> removed, JSON escapes kept.
SearchReply FirstMatchSymbolId(const std::string& body, std::string& symbolId);
