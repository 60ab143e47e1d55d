// The live stream's sessions on a place of the shared service session, the
// way the service's own web front end uses them: a quote session holding
// every watched symbol, pushed a qsd as a price changes, and for each symbol
// and chart interval a chart session of its own with one small series (the
// service allows one series per chart session), pushed a du as the newest
// bar changes, under the plug-in's account. The owner adds and
// removes symbols and series as its watch list changes and pumps what comes
// in short slices; the connection itself echoes the heartbeats. One thread
// at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/settings_record.h"
#include "protocol/service_session.h"
#include "protocol/stream_payload.h"

enum class PumpEnd {
    Open,        // the connection goes on
    Stopped,     // the handler asked to stop
    Closed,      // the service closed it
    Failed,      // the platform failed it, or it brought a frame that never ends
};

class QuoteStream {
public:
    // Takes a place on the service session and opens its quote session.
    // A refusal of the service's (a protocol_error such as "bad auth
    // token") gives its words, and its reason in `refusal`.
    bool Open(const PluginSettings& settings, std::wstring& error, std::string& refusal);
    bool IsOpen() const { return connection_.IsOpen(); }
    // Deletes both sessions and gives the place back; `stuck`: the
    // connection itself went silent, and nothing more is placed on it.
    void Close(bool stuck = false);
    // The session wants the stream on a fresh connection (this one is
    // retired): the owner reopens.
    bool Retiring() const { return connection_.Retiring(); }

    // Adds or removes quote symbols; the fast set is sent again as a whole.
    bool AddQuoteSymbols(const std::vector<std::string>& symbolIds);
    bool RemoveQuoteSymbols(const std::vector<std::string>& symbolIds);
    // Opens a chart session for the series, resolves the symbol as
    // "sds_sym_<number>" there and creates the series "sds_<number>" of its
    // newest few bars; the session's name, empty when a message could not
    // be sent.
    std::string CreateSeries(int number, const std::string& symbolId, const std::string& resolution,
                             bool extendedHours);
    // Deletes the series' chart session (a removed series would not give its
    // slot back).
    bool RemoveSeries(const std::string& chartSession);

    // Waits at most `waitMs` for what the service sends and hands each
    // payload the stream acts on to `onPayload`, read and raw (false from it
    // ends the pump with Stopped).
    using PayloadHandler = std::function<bool(const StreamPayload&, const std::string&)>;
    PumpEnd Pump(std::uint32_t waitMs, const PayloadHandler& onPayload);

    // After a send failed: the error the service sent for the whole
    // connection before it went (a refused token, say), read from what came
    // (waiting at most `waitMs` for the connection to end). False when it
    // sent none.
    bool ErrorBeforeFailure(std::uint32_t waitMs, StreamPayload& error);

    // When anything was last heard on the connection (32-bit tick), and the
    // interval of the service's heartbeats (0 until two have come).
    std::uint32_t LastHeardTick() const { return connection_.LastFrameTick(); }
    std::uint32_t HeartbeatIntervalMs() const { return connection_.HeartbeatIntervalMs(); }
    const std::string& QuoteSession() const { return quoteSession_; }

    static std::string SeriesId(int number);
    static std::string SymbolKey(int number);

private:
    bool Send(const std::string& name, const std::vector<std::string>& parameters);
    // The quote session's message `name` with these subscriptions.
    bool SendSymbols(const std::string& name, const std::vector<std::string>& subscriptions);
    bool SendFastSymbols();

    Channel connection_;
    std::string quoteSession_;
    std::vector<std::string> symbols_;  // the quote session's symbols, as subscribed
    StreamPayload read_;
};
