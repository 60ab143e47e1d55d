// From a host ticker to the service's exchange-qualified symbol identifier:
// the market guess, the candidate markets, the search text, the symbol
// search and the candidate loop that the history fetch and the poll cycle
// share. No state; any thread (the search is one HTTPS request per try).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/settings_record.h"
#include "net/http_client.h"

std::wstring ClassifyTicker(const std::wstring& ticker, const std::wstring& fallback);
std::vector<std::wstring> MarketCandidates(const std::wstring& ticker, const std::wstring& marketSetting);
std::wstring BuildSearchText(const std::wstring& ticker, const std::wstring& market);

// True and the UTF-8 identifier exchange:symbol, or false and an error text.
// `failure` tells an unreachable search (Transport) from an answer without a match.
bool ResolveSymbolId(const std::wstring& searchText, const std::wstring& market, const std::wstring& userAgent,
                     std::int32_t timeoutMs, std::string& symbolId, std::wstring& error,
                     HttpFailure* failure = nullptr);

// What a caller of the candidate loop says along the way.
struct CandidateLoopHooks {
    std::function<void(const std::wstring& market, const std::wstring& searchText)> beforeTry;
    std::function<void(const std::wstring& market, const std::wstring& error)> afterFailure;
    std::wstring finalError;  // reported when every candidate failed
    HttpFailure* lastFailure = nullptr;  // set to how the last search failed, when given
    // Asked before each search: false ends the loop (the plug-in stops, a
    // download is abandoned) with "Symbol search abandoned".
    std::function<bool()> keepGoing;
};

// A ticker holding ":" is its own identifier. Otherwise each candidate market
// is tried in order; an explicit Market stops at the first failure, and so
// does a search that cannot be reached at all.
bool ResolveTickerSymbol(const std::wstring& ticker, const PluginSettings& settings, const CandidateLoopHooks& hooks,
                         std::string& symbolId, std::wstring& error);

// The same, first asking the symbol map (no search at all for a ticker it
// knows under this Market setting) and keeping what a search found in it
// (unless the hooks' keepGoing says the result is no longer wanted).
// `fromMap`, when given, says whether the map answered.
bool ResolveMappedSymbol(const std::wstring& ticker, const PluginSettings& settings, const CandidateLoopHooks& hooks,
                         std::string& symbolId, std::wstring& error, bool* fromMap = nullptr);
// The service refused `symbolId` for this ticker: the map forgets it, and
// the next request searches again.
void ForgetRefusedSymbol(const std::wstring& ticker, const PluginSettings& settings, const std::string& symbolId);
// Whether a conversation's error text is the service refusing the symbol
// itself (an unknown or wrong identifier), not a passing failure.
bool IsSymbolRefusal(const std::wstring& errorText);
