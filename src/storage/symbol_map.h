// The symbol map: the service identifier a symbol search found for a
// ticker (under the Market setting that found it), kept in the file
// "symbols.map" of the cache folder so that a restart does not search again.
// Read at first use for a cache folder, written atomically after a change
// (several changes close together in one write), gone with the cache. An
// identifier the service refuses is taken out. Any thread; its lock is its
// own, never held with another, and no file is read or written under it.
#pragma once

#include <string>

bool LookUpSymbol(const std::wstring& ticker, const std::wstring& market, std::string& symbolId);
void RememberSymbol(const std::wstring& ticker, const std::wstring& market, const std::string& symbolId);
// Takes the ticker out when it still maps to `symbolId`.
void ForgetSymbol(const std::wstring& ticker, const std::wstring& market, const std::string& symbolId);
// The cache folder was deleted: the map starts empty.
void DropSymbolMap();
