// What one payload of a long-lived stream says: a quote update, the bars of
// the stream's chart series, the answer to a symbol or series request, or
// an error of the session. Only the few fields the stream needs are read;
// no JSON tree is built. Pure functions over UTF-8 payloads; any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protocol/quote_update.h"

enum class StreamPayloadKind {
    Other,            // heartbeat, hello, quote_completed, series_timeframe, study frames ...
    Quote,            // qsd: `quote`
    SeriesData,       // timescale_update or du: `members` (series id, object text)
    SeriesLoading,    // series_loading: `id` is the series
    SeriesCompleted,  // series_completed: `id` is the series
    SymbolResolved,   // symbol_resolved: `id` is the symbol key
    SymbolError,      // symbol_error: `id` is the symbol key, `reason`
    SeriesError,      // series_error: `id` is the series, `reason`
    SeriesLimit,      // critical_error refusing one more series in the session
    CriticalError,    // any other critical_error: `reason`
    ProtocolError,    // protocol_error: `reason` (the service closes the connection)
};

struct StreamPayload {
    StreamPayloadKind kind = StreamPayloadKind::Other;
    std::string session;  // the session the message names (its first parameter), raw
    std::string id;       // the series or symbol key, raw
    std::string reason;   // raw, escapes kept
    QuoteUpdate quote;
    std::vector<std::pair<std::string, std::string>> members;
};

// Reads `payload` into `out` (cleared first); Other for anything the stream
// does not act on, text that is not JSON included.
void ReadStreamPayload(const std::string& payload, StreamPayload& out);

// The text a symbol is subscribed with (raw JSON string contents, escapes
// kept): the symbol with its adjustment.
std::string QuoteSubscription(const std::string& symbolId);

// The symbol a qsd's "n" names (raw, as read): the plain "EXCH:SYM", or the
// "symbol" member of the JSON form ("={...}"), which the service echoes
// re-serialised (other spacing, other key order). Empty when it names none.
std::string SubscribedSymbol(const std::string& subscribed);
