#include "protocol/symbol_routing.h"

#include <algorithm>
#include <cwctype>
#include <initializer_list>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/json_text.h"
#include "protocol/search_reply.h"
#include "storage/symbol_map.h"

namespace {

const wchar_t* const kContinuousFutures[] = {L"ES1!", L"NQ1!", L"YM1!", L"RTY1!", L"NG1!",
                                             L"HO1!", L"RB1!", L"ZB1!", L"ZN1!",  L"ZF1!"};
const wchar_t* const kCurrencies[] = {L"USD", L"EUR", L"GBP", L"JPY", L"CHF", L"CAD", L"AUD", L"NZD",
                                      L"SEK", L"NOK", L"DKK", L"HKD", L"SGD", L"ZAR", L"TRY", L"MXN",
                                      L"PLN", L"CZK", L"HUF", L"ILS", L"RUB", L"INR", L"BRL", L"THB",
                                      L"KRW", L"TWD", L"CNH", L"CNY", L"PHP", L"IDR"};
const wchar_t* const kIndexAliases[] = {L"SPX",  L"SPX500", L"US500", L"SP500", L"SPXUSD",   L"NDX",  L"NAS100",
                                        L"US100", L"DJI",   L"DJ30",  L"US30",  L"RUT",      L"RTY",  L"VIX",
                                        L"DAX",  L"GER40",  L"FTSE",  L"NIKKEI", L"JP225",   L"HANGSENG",
                                        L"HSI",  L"CAC40",  L"IBEX",  L"AEX",   L"SMI"};
const wchar_t* const kCryptoBases[] = {L"BTC",  L"ETH",  L"SOL", L"XRP",   L"ADA", L"DOGE", L"DOT",
                                       L"LTC",  L"BCH",  L"BNB", L"AVAX",  L"LINK", L"MATIC", L"TRX",
                                       L"TON",  L"SHIB", L"ATOM", L"UNI",  L"SUI", L"FIL"};
const wchar_t* const kStablecoins[] = {L"USDT", L"USDC", L"BUSD"};
const wchar_t* const kCryptoQuotes[] = {L"USD", L"USDT", L"USDC", L"BTC", L"ETH"};
const wchar_t* const kAllMarkets[] = {L"stock", L"etf", L"fund", L"index", L"crypto", L"forex", L"futures"};

template <size_t N>
bool InTable(const wchar_t* const (&table)[N], const std::wstring& text) {
    return std::any_of(std::begin(table), std::end(table), [&](const wchar_t* entry) { return text == entry; });
}

template <size_t N>
bool ContainsAny(const wchar_t* const (&table)[N], const std::wstring& text) {
    return std::any_of(std::begin(table), std::end(table),
                       [&](const wchar_t* entry) { return text.find(entry) != std::wstring::npos; });
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& unit : text) unit = static_cast<wchar_t>(std::towupper(unit));
    return text;
}

std::wstring WithoutSeparators(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c != L'/' && c != L' ' && c != L'-' && c != L'_') out.push_back(c);
    }
    return out;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::wstring ClassifyTicker(const std::wstring& ticker, const std::wstring& fallback) {
    const std::wstring f = LowerTrimWide(fallback);
    const std::wstring otherwise = f.empty() ? L"stock" : f;
    if (ticker.empty() || ticker.find(L':') != std::wstring::npos) return otherwise;
    const std::wstring u = Upper(ticker);
    const std::wstring c = WithoutSeparators(u);
    if (InTable(kContinuousFutures, u)) return L"futures";
    if (!u.empty() && u.back() == L'!') return L"futures";
    if (c.size() == 6 && InTable(kCurrencies, c.substr(0, 3)) && InTable(kCurrencies, c.substr(3))) return L"forex";
    if (InTable(kIndexAliases, u) || InTable(kIndexAliases, c)) return L"index";
    if (c.size() >= 4 && ContainsAny(kStablecoins, c)) return L"crypto";
    for (const wchar_t* base : kCryptoBases) {
        if (StartsWith(c, base) && c.size() >= 6 && ContainsAny(kCryptoQuotes, c)) return L"crypto";
    }
    return otherwise;
}

std::vector<std::wstring> MarketCandidates(const std::wstring& ticker, const std::wstring& marketSetting) {
    const std::wstring m = LowerTrimWide(marketSetting);
    if (!m.empty() && m != L"auto" && m != L"stock") return {m};
    std::vector<std::wstring> list;
    const std::wstring guess = ClassifyTicker(ticker, L"auto");
    if (!guess.empty() && guess != L"auto") list.push_back(guess);
    for (const wchar_t* market : kAllMarkets) {
        if (std::find(list.begin(), list.end(), market) == list.end()) list.emplace_back(market);
    }
    return list;
}

std::wstring BuildSearchText(const std::wstring& ticker, const std::wstring& market) {
    const std::wstring t = LowerTrimWide(market);
    if (t == L"futures") return Upper(ticker);
    std::wstring text = TrimWide(ticker);
    if (t == L"forex" || t == L"crypto" || t == L"index") text = WithoutSeparators(text);
    if (t == L"index" && !text.empty() && text[0] == L'^') text.erase(0, 1);
    return Upper(text);
}

bool ResolveSymbolId(const std::wstring& searchText, const std::wstring& market, const std::wstring& userAgent,
                     std::int32_t timeoutMs, std::string& symbolId, std::wstring& error, HttpFailure* failure) {
    if (failure != nullptr) *failure = HttpFailure::None;
    const std::wstring t = LowerTrimWide(market);
    const std::wstring url = CopyServiceOrigins().symbolSearch + L"/symbol_search?text=" +
                             Utf8ToWide(FormEncodeUtf8(WideToUtf8(searchText))) + L"&type=" + t;
    const bool debug = IsDebugLoggingOn();
    if (debug) LogLine(L"Resolving symbol: " + searchText + L" market=" + t);

    std::string body;
    if (!HttpGet(url, userAgent, timeoutMs, body, error, failure)) return false;
    if (debug) LogLine(L"Symbol search response head: " + Utf8ToWide(body.substr(0, std::min<size_t>(300, body.size()))));

    const SearchReply reply = FirstMatchSymbolId(body, symbolId);
    if (reply == SearchReply::NoMatch) {
        error = L"Empty TradingView symbol search response";
        return false;
    }
    if (reply == SearchReply::Incomplete) {
        error = L"TradingView symbol resolution failed";
        LogLine(L"ERROR: " + error);
        return false;
    }
    if (debug) LogLine(L"Resolved symbol id: " + Utf8ToWide(symbolId));
    return true;
}

bool ResolveTickerSymbol(const std::wstring& ticker, const PluginSettings& settings, const CandidateLoopHooks& hooks,
                         std::string& symbolId, std::wstring& error) {
    if (ticker.find(L':') != std::wstring::npos) {
        symbolId = WideToUtf8(ticker);
        return true;
    }
    const bool automatic = LowerTrimWide(settings.Market) == L"auto";
    for (const std::wstring& market : MarketCandidates(ticker, settings.Market)) {
        if (hooks.keepGoing && !hooks.keepGoing()) {
            error = L"Symbol search abandoned";
            return false;
        }
        const std::wstring searchText = BuildSearchText(ticker, market);
        if (hooks.beforeTry) hooks.beforeTry(market, searchText);
        std::wstring tryError;
        HttpFailure failure = HttpFailure::None;
        if (ResolveSymbolId(searchText, market, settings.UserAgent, settings.TimeoutMs, symbolId, tryError, &failure)) {
            return true;
        }
        if (hooks.afterFailure) hooks.afterFailure(market, tryError);
        if (hooks.lastFailure != nullptr) *hooks.lastFailure = failure;
        // An explicit market tries once; a search that cannot be reached at
        // all would only wait the whole time-out again for every market.
        if (!automatic || failure == HttpFailure::Transport) {
            error = tryError;
            return false;
        }
    }
    error = hooks.finalError;
    return false;
}

bool ResolveMappedSymbol(const std::wstring& ticker, const PluginSettings& settings, const CandidateLoopHooks& hooks,
                         std::string& symbolId, std::wstring& error, bool* fromMap) {
    if (fromMap != nullptr) *fromMap = false;
    if (ticker.find(L':') == std::wstring::npos && LookUpSymbol(ticker, settings.Market, symbolId)) {
        if (fromMap != nullptr) *fromMap = true;
        return true;
    }
    if (!ResolveTickerSymbol(ticker, settings, hooks, symbolId, error)) return false;
    const bool wanted = !hooks.keepGoing || hooks.keepGoing();
    if (wanted && ticker.find(L':') == std::wstring::npos) RememberSymbol(ticker, settings.Market, symbolId);
    return true;
}

void ForgetRefusedSymbol(const std::wstring& ticker, const PluginSettings& settings, const std::string& symbolId) {
    if (ticker.find(L':') == std::wstring::npos) ForgetSymbol(ticker, settings.Market, symbolId);
}

bool IsSymbolRefusal(const std::wstring& errorText) {
    return errorText.rfind(L"TradingView symbol error:", 0) == 0 ||
           errorText.find(L"no_such_symbol") != std::wstring::npos;
}
