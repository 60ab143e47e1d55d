// The user's options (section "TradingView" of Velmarquin.ini, and the
// plug-in's own section "Velmarquin" for options beyond it) and the service
// origins (section "Service"). Plain values; copied whole.
#pragma once

#include <cstdint>
#include <string>

inline const wchar_t kDefaultUserAgent[] =
    L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    L"Chrome/125.0 Safari/537.36";

struct PluginSettings {
    std::wstring Market = L"auto";
    std::wstring Username;
    std::wstring Password;
    std::wstring UserAgent = kDefaultUserAgent;
    std::int32_t TimeoutMs = 8000;
    std::int32_t PollSeconds = 5;
    bool ExtendedHours = true;
    bool AdjustContracts = true;
    bool UseSettlementAsClose = false;
    std::wstring ResolutionOverride = L"auto";
    std::int32_t IntradayTimeShiftMinutes = 0;
    std::int32_t EodTimeShiftDays = 0;
    std::wstring BulkSymbols;
    bool DebugLogging = false;
    // Section "Velmarquin": an absent key means its default.
    bool BackgroundDownloads = true;  // the host's window thread never waits on the network
    bool Streaming = false;           // live data over one connection instead of polls
    std::int32_t Connections = 2;     // data connections open at once, the stream's included (1 to 4)
    // The browser's session cookie of the account ("sessionid", and its
    // "sessionid_sign"): when set, it signs in instead of the password.
    // Stored protected, as the password is.
    std::wstring SessionCookie;
    std::wstring SessionCookieSign;
};

// The Connections setting as used: within 1 to 4.
inline std::int32_t ConnectionsValue(std::int32_t setting) { return setting < 1 ? 1 : setting > 4 ? 4 : setting; }

// Where the three service endpoints live: scheme, host and optional port,
// without a trailing slash. Read from section "Service"; never written.
struct ServiceOrigins {
    std::wstring symbolSearch = L"https://symbol-search.tradingview.com";
    std::wstring web = L"https://www.tradingview.com";
    std::wstring data = L"https://data.tradingview.com";
};

// The time-out handed to the network: a TimeoutMs of 0 or below (a
// non-numeric value reads as 0) would mean "no time-out" to WinHTTP, so it
// counts as the default 8000 ms. The stored setting stays as read.
inline std::int32_t EffectiveTimeoutMs(std::int32_t setting) { return setting > 0 ? setting : 8000; }
