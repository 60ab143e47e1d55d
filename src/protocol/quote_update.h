// What one quote-data frame (qsd) says: the symbol as subscribed, its status
// and whichever of the quote's values it carries. The first qsd of a symbol
// carries tens of keys, later ones only what changed. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct QuoteUpdate {
    std::string subscribed;  // "n": the text the symbol was subscribed with (raw)
    std::string status;      // "s": "ok", "error", "permission_denied", ...
    std::string errmsg;
    bool hasLast = false, hasChange = false, hasVolume = false;
    double last = 0, change = 0, volume = 0;
    std::int64_t epoch = 0;  // the quote's time, 0 when the frame names none usable
    std::string timeKey;     // the key the time came from
    std::string session;     // "current_session", when carried
    std::string updateMode;  // "update_mode", when carried (the first full frame)
};

// False when the payload is no qsd.
bool ReadQuoteUpdate(const std::string& payload, QuoteUpdate& update);

// The quote's time in Unix seconds from the first usable time field, 0 (and
// `key` empty) when none lies between 2000 and 2100.
std::int64_t PickQuoteTimestamp(const std::string& payload, std::string& key);

// The parameters of quote_set_fields for `quoteSession`: the session, then
// the 29 fields every quote conversation asks for.
std::vector<std::string> QuoteFieldsParameters(const std::string& quoteSession);

// The data's delay in words, from a quote's "update_mode": "in real time
// (streaming)", "delayed by about 15 minutes (delayed_streaming_900)", or
// the mode itself when it says nothing known. UTF-16 for the window.
std::wstring DescribeUpdateMode(const std::string& updateMode);
// The same in a few words for the status line: "real time", "delayed 15
// min", "end of day", or the mode itself (ASCII only); empty for none.
std::string ShortUpdateMode(const std::string& updateMode);
