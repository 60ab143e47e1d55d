// Building JSON strings and form bodies, and the substring scanners that
// read the few fields the plug-in needs from the service's replies. No JSON
// tree is built. Pure functions over UTF-8 bytes; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

std::string JsonQuote(const std::string& utf8);
// Percent-encodes UTF-8 bytes: letters, digits and "-._~" pass, the rest is %XX.
std::string FormEncodeUtf8(const std::string& utf8);

std::string JsonStringField(const std::string& json, const std::string& key, size_t start = 0);
std::string JsonNumberField(const std::string& json, const std::string& key);
bool JsonArrayField(const std::string& json, const std::string& key, std::string& inner);
// The same without a copy: `inner` is a view into `json`.
bool JsonArrayView(std::string_view json, const std::string& key, std::string_view& inner);
std::vector<std::string> SplitJsonObjects(const std::string& inner);
std::vector<double> ParseNumberList(const std::string& text);
std::string FirstContractSymbol(const std::string& reply);

// The index of the quote that closes the string opened at `open` (a
// backslash escapes the next byte), or the text's size when it never closes.
size_t JsonStringEnd(const std::string& text, size_t open);
// The top-level elements of an array's inner text, each as raw JSON text
// (strings keep their quotes); strings and nesting are followed.
std::vector<std::string> JsonArrayElements(const std::string& inner);
// The text of the object that starts at `open` (a "{"), through its closing
// brace; nesting and strings are followed. To the end of the text when it
// never closes.
std::string ObjectAt(const std::string& text, size_t open);
// The value of a key of the object's own (not of an object or array nested
// in it), when that value is a string: raw, escapes kept. Empty otherwise.
std::string TopLevelStringField(const std::string& object, const std::string& key);
