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

// The text of the object that starts at `open` (a "{"), through its closing
// brace; nesting and strings are followed. To the end of the text when it
// never closes.
std::string ObjectAt(const std::string& text, size_t open);

// The value of a key of the object's own (not of an object or array nested
// in it), when that value is a string: raw, escapes kept. Empty otherwise.
std::string TopLevelStringField(const std::string& object, const std::string& key);
