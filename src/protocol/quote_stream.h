// One long-lived connection to the data host, the way the service's own web
// front end uses it: a quote session holding every watched symbol, pushed a
// qsd as a price changes, and a chart session with one small series per
// symbol and chart interval, pushed a du as the newest bar changes. Never
// signed in. The owner adds and removes symbols and series as its watch list
// changes and pumps the connection in short slices; heartbeats are echoed
// here. One thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/settings_record.h"
#include "net/websocket_client.h"
#include "protocol/framing.h"
#include "protocol/stream_payload.h"

enum class PumpEnd {
    Open,        // the connection goes on
    Stopped,     // the handler asked to stop
    Closed,      // the service closed it
    Failed,      // the platform failed it
    Unreadable,  // a frame that never completes holds up everything behind it
};

class QuoteStream {
public:
    // Connects and opens both sessions.
    bool Open(const PluginSettings& settings, std::wstring& error);
    bool IsOpen() const { return connection_.IsOpen(); }
    // Closes with the close handshake (bounded by its own wait).
    void Close();

    // Adds or removes quote symbols; the fast set is sent again as a whole.
    bool AddQuoteSymbols(const std::vector<std::string>& symbolIds);
    bool RemoveQuoteSymbols(const std::vector<std::string>& symbolIds);
    // Resolves the symbol as "sds_sym_<number>" and creates the series
    // "sds_<number>" of its newest few bars.
    bool CreateSeries(int number, const std::string& symbolId, const std::string& resolution, bool extendedHours);
    bool RemoveSeries(int number);

    // Waits at most `waitMs` for what the service sends and hands each
    // payload the stream acts on to `onPayload`, read and raw (false from it
    // ends the pump with Stopped).
    using PayloadHandler = std::function<bool(const StreamPayload&, const std::string&)>;
    PumpEnd Pump(std::uint32_t waitMs, const PayloadHandler& onPayload);

    // When anything was last heard (32-bit tick), and the interval of the
    // service's heartbeats (0 until two have come).
    std::uint32_t LastHeardTick() const { return lastHeardTick_; }
    std::uint32_t HeartbeatIntervalMs() const { return heartbeatIntervalMs_; }
    const std::string& ChartSession() const { return chartSession_; }

    static std::string SeriesId(int number);
    static std::string SymbolKey(int number);

private:
    bool Send(const std::string& name, const std::vector<std::string>& parameters);
    // The quote session's message `name` with these subscriptions.
    bool SendSymbols(const std::string& name, const std::vector<std::string>& subscriptions);
    bool SendFastSymbols();

    WebSocketClient connection_;
    FrameBuffer frames_;
    std::string quoteSession_;
    std::string chartSession_;
    std::vector<std::string> symbols_;  // the quote session's symbols, as subscribed
    std::uint32_t lastHeardTick_ = 0;
    std::uint32_t lastHeartbeatTick_ = 0;
    std::uint32_t heartbeatIntervalMs_ = 0;
    int messagesWithFrameUnfinished_ = 0;
    StreamPayload read_;
};
