// The text of the symbol map file: which service identifier a symbol search
// found for a ticker under a Market setting. A header line, then one line
// per ticker: market, tab, ticker, tab, identifier (UTF-8, CR LF). Pure
// functions, no Windows header; any thread.
#pragma once

#include <map>
#include <string>

inline constexpr char kSymbolMapHeader[] = "VelmarquinSymbols 1";

// Key: market + '\t' + ticker.
using SymbolMapEntries = std::map<std::string, std::string>;

std::string SymbolMapKey(const std::string& market, const std::string& ticker);
// The entries of a file's text; nothing for a text without the header.
// Damaged lines are skipped.
SymbolMapEntries ParseSymbolMap(const std::string& text);
std::string FormatSymbolMap(const SymbolMapEntries& entries);
