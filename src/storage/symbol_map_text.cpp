#include "storage/symbol_map_text.h"

#include <cstring>

namespace {

// A value the file can hold: not empty, and neither a tab nor a line end in it.
bool Storable(const std::string& value) {
    return !value.empty() && value.find_first_of("\t\r\n") == std::string::npos && value.size() <= 512;
}

}  // namespace

std::string SymbolMapKey(const std::string& market, const std::string& ticker) { return market + '\t' + ticker; }

SymbolMapEntries ParseSymbolMap(const std::string& text) {
    SymbolMapEntries entries;
    const size_t headerLength = std::strlen(kSymbolMapHeader);
    if (text.compare(0, headerLength, kSymbolMapHeader) != 0) return entries;
    size_t pos = text.find('\n');
    while (pos != std::string::npos && pos + 1 < text.size()) {
        const size_t begin = pos + 1;
        const size_t end = text.find('\n', begin);
        // A last line without its line end was cut: it is not used.
        if (end == std::string::npos) break;
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = end;
        const size_t first = line.find('\t');
        const size_t second = first == std::string::npos ? std::string::npos : line.find('\t', first + 1);
        if (second == std::string::npos) continue;
        const std::string market = line.substr(0, first);
        const std::string ticker = line.substr(first + 1, second - first - 1);
        const std::string id = line.substr(second + 1);
        if (market.empty() || !Storable(ticker) || !Storable(id) || id.find(':') == std::string::npos) continue;
        entries[SymbolMapKey(market, ticker)] = id;
    }
    return entries;
}

std::string FormatSymbolMap(const SymbolMapEntries& entries) {
    std::string text = std::string(kSymbolMapHeader) + "\r\n";
    for (const auto& entry : entries) {
        const size_t tab = entry.first.find('\t');
        if (tab == std::string::npos || !Storable(entry.second)) continue;
        if (!Storable(entry.first.substr(tab + 1)) || entry.first.substr(0, tab).empty()) continue;
        text += entry.first + '\t' + entry.second + "\r\n";
    }
    return text;
}
