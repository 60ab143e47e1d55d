#include "protocol/quote_stream.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"

namespace {

// The newest bars a series keeps: the forming bar and the two before it.
constexpr int kSeriesBars = 3;

// The service never splits a frame across messages, and what the stream is
// sent is small. A frame still unfinished after this many messages, or this
// many bytes waiting, will never finish (a length no frame can have): the
// connection is given up rather than everything behind it held for ever.
constexpr int kUnfinishedMessages = 16;
constexpr size_t kMaxWaitingBytes = 16u << 20;

std::string SessionName(const char* prefix) {
    return prefix + std::to_string((TickCount64() * 2654435761u) & 0xFFFFFFu);
}

}  // namespace

std::string QuoteStream::SeriesId(int number) { return "sds_" + std::to_string(number); }
std::string QuoteStream::SymbolKey(int number) { return "sds_sym_" + std::to_string(number); }

bool QuoteStream::Send(const std::string& name, const std::vector<std::string>& parameters) {
    return SendMessage(connection_, name, parameters);
}

bool QuoteStream::Open(const PluginSettings& settings, std::wstring& error) {
    Close();
    frames_ = FrameBuffer();
    symbols_.clear();
    heartbeatIntervalMs_ = 0;
    lastHeartbeatTick_ = 0;
    messagesWithFrameUnfinished_ = 0;
    if (!connection_.Connect(settings.UserAgent, settings.TimeoutMs, error)) return false;
    lastHeardTick_ = TickCount32();
    quoteSession_ = SessionName("qs_stream_");
    chartSession_ = SessionName("cs_stream_");
    const std::string q = JsonQuote(quoteSession_);
    const std::string c = JsonQuote(chartSession_);
    const bool sent = Send("set_auth_token", {JsonQuote("unauthorized_user_token")}) &&
                      Send("set_locale", {JsonQuote("en"), JsonQuote("US")}) &&
                      Send("quote_create_session", {q}) && Send("quote_set_fields", QuoteFieldsParameters(quoteSession_)) &&
                      Send("chart_create_session", {c, JsonQuote("")}) &&
                      Send("switch_timezone", {c, JsonQuote("Etc/UTC")});
    if (!sent) {
        error = L"Failed to open the TradingView stream sessions";
        Close();
        return false;
    }
    return true;
}

void QuoteStream::Close() {
    if (connection_.IsOpen()) connection_.Close();
}

bool QuoteStream::SendSymbols(const std::string& name, const std::vector<std::string>& subscriptions) {
    std::vector<std::string> parameters = {JsonQuote(quoteSession_)};
    for (const std::string& subscription : subscriptions) parameters.push_back("\"" + subscription + "\"");
    return Send(name, parameters);
}

bool QuoteStream::SendFastSymbols() { return SendSymbols("quote_fast_symbols", symbols_); }

bool QuoteStream::AddQuoteSymbols(const std::vector<std::string>& symbolIds) {
    if (symbolIds.empty()) return true;
    std::vector<std::string> subscriptions;
    for (const std::string& id : symbolIds) {
        subscriptions.push_back(QuoteSubscription(id));
        if (std::find(symbols_.begin(), symbols_.end(), subscriptions.back()) == symbols_.end()) {
            symbols_.push_back(subscriptions.back());
        }
    }
    return SendSymbols("quote_add_symbols", subscriptions) && SendFastSymbols();
}

bool QuoteStream::RemoveQuoteSymbols(const std::vector<std::string>& symbolIds) {
    if (symbolIds.empty()) return true;
    std::vector<std::string> subscriptions;
    for (const std::string& id : symbolIds) {
        subscriptions.push_back(QuoteSubscription(id));
        symbols_.erase(std::remove(symbols_.begin(), symbols_.end(), subscriptions.back()), symbols_.end());
    }
    return SendSymbols("quote_remove_symbols", subscriptions) && SendFastSymbols();
}

bool QuoteStream::CreateSeries(int number, const std::string& symbolId, const std::string& resolution,
                               bool extendedHours) {
    const std::string c = JsonQuote(chartSession_);
    const std::string symbol = "={\"symbol\":" + JsonQuote(symbolId) + ",\"adjustment\":\"splits\",\"session\":\"" +
                               (extendedHours ? "extended" : "regular") + "\"}";
    return Send("resolve_symbol", {c, JsonQuote(SymbolKey(number)), JsonQuote(symbol)}) &&
           Send("create_series", {c, JsonQuote(SeriesId(number)), JsonQuote("s1"), JsonQuote(SymbolKey(number)),
                                  JsonQuote(resolution), std::to_string(kSeriesBars)});
}

bool QuoteStream::RemoveSeries(int number) {
    return Send("remove_series", {JsonQuote(chartSession_), JsonQuote(SeriesId(number))});
}

PumpEnd QuoteStream::Pump(std::uint32_t waitMs, const PayloadHandler& onPayload) {
    if (!connection_.IsOpen()) return PumpEnd::Failed;
    const std::uint32_t deadline = TickCount32() + waitMs;
    std::string message;
    std::string payload;
    for (;;) {
        const std::uint32_t now = TickCount32();
        const std::uint32_t left = BeforeDeadline(now, deadline) ? deadline - now : 0;
        switch (connection_.Poll(message, left)) {
            case ReceiveStatus::Pending:
            case ReceiveStatus::DeadlinePassed: return PumpEnd::Open;
            case ReceiveStatus::Closed: return PumpEnd::Closed;
            case ReceiveStatus::Failed: return PumpEnd::Failed;
            case ReceiveStatus::Message: break;
        }
        lastHeardTick_ = TickCount32();
        frames_.Append(message);
        while (frames_.Next(payload)) {
            if (IsEchoPayload(payload)) {
                if (payload.compare(0, 3, "~h~") == 0) {
                    if (lastHeartbeatTick_ != 0) heartbeatIntervalMs_ = lastHeardTick_ - lastHeartbeatTick_;
                    lastHeartbeatTick_ = lastHeardTick_;
                }
                if (!EchoPayload(connection_, payload)) return PumpEnd::Failed;
                continue;
            }
            ReadStreamPayload(payload, read_);
            if (read_.kind != StreamPayloadKind::Other && onPayload && !onPayload(read_, payload)) return PumpEnd::Stopped;
        }
        messagesWithFrameUnfinished_ = frames_.Pending() == 0 ? 0 : messagesWithFrameUnfinished_ + 1;
        if (messagesWithFrameUnfinished_ >= kUnfinishedMessages || frames_.Pending() > kMaxWaitingBytes) {
            return PumpEnd::Unreadable;
        }
        if (!BeforeDeadline(TickCount32(), deadline)) return PumpEnd::Open;
    }
}
