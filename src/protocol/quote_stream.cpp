#include "protocol/quote_stream.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"

namespace {

// The newest bars a series keeps: the forming bar and the two before it.
constexpr int kSeriesBars = 3;

}  // namespace

std::string QuoteStream::SeriesId(int number) { return "sds_" + std::to_string(number); }
std::string QuoteStream::SymbolKey(int number) { return "sds_sym_" + std::to_string(number); }

bool QuoteStream::Send(const std::string& name, const std::vector<std::string>& parameters) {
    return SendMessage(connection_, name, parameters);
}

bool QuoteStream::Open(const PluginSettings& settings, std::wstring& error, std::string& refusal) {
    Close();
    refusal.clear();
    symbols_.clear();
    if (!OpenChannel(ChannelRequestFor(settings, Priority::Host), connection_, error)) return false;
    quoteSession_ = connection_.NewSession("qs_stream_");
    const std::string q = JsonQuote(quoteSession_);
    const bool sent = Send("set_locale", {JsonQuote("en"), JsonQuote("US")}) && Send("quote_create_session", {q}) &&
                      Send("quote_set_fields", QuoteFieldsParameters(quoteSession_));
    if (!sent) {
        StreamPayload said;
        if (ErrorBeforeFailure(250, said)) {
            const bool protocol = said.kind == StreamPayloadKind::ProtocolError;
            if (protocol) refusal = said.reason;
            error = (protocol ? L"TradingView protocol error: " : L"TradingView critical error: ") + Utf8ToWide(said.reason);
        } else {
            error = L"Failed to open the TradingView stream sessions";
        }
        Close();
        return false;
    }
    return true;
}

void QuoteStream::Close(bool stuck) {
    if (stuck) connection_.RetireIfSilent(0);
    connection_.Close();
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

std::string QuoteStream::CreateSeries(int number, const std::string& symbolId, const std::string& resolution,
                                      bool extendedHours) {
    const std::string chartSession = connection_.NewSession("cs_stream_");
    const std::string c = JsonQuote(chartSession);
    const std::string symbol = "={\"symbol\":" + JsonQuote(symbolId) + ",\"adjustment\":\"splits\",\"session\":\"" +
                               (extendedHours ? "extended" : "regular") + "\"}";
    const bool sent = Send("chart_create_session", {c, JsonQuote("")}) && Send("switch_timezone", {c, JsonQuote("Etc/UTC")}) &&
                      Send("resolve_symbol", {c, JsonQuote(SymbolKey(number)), JsonQuote(symbol)}) &&
                      Send("create_series", {c, JsonQuote(SeriesId(number)), JsonQuote("s1"), JsonQuote(SymbolKey(number)),
                                             JsonQuote(resolution), std::to_string(kSeriesBars)});
    return sent ? chartSession : std::string();
}

bool QuoteStream::RemoveSeries(const std::string& chartSession) { return connection_.DeleteSession(chartSession); }

PumpEnd QuoteStream::Pump(std::uint32_t waitMs, const PayloadHandler& onPayload) {
    if (!connection_.IsOpen()) return PumpEnd::Failed;
    const std::uint32_t deadline = TickCount32() + waitMs;
    std::vector<std::string> batch;
    for (;;) {
        ChannelEnd end = ChannelEnd::Open;
        switch (connection_.Next(batch, deadline, end)) {
            case Channel::Wait::DeadlinePassed: return PumpEnd::Open;
            case Channel::Wait::Ended: return end == ChannelEnd::PeerClosed ? PumpEnd::Closed : PumpEnd::Failed;
            case Channel::Wait::Message: break;
        }
        for (const std::string& payload : batch) {
            ReadStreamPayload(payload, read_);
            if (read_.kind != StreamPayloadKind::Other && onPayload && !onPayload(read_, payload)) return PumpEnd::Stopped;
        }
        if (!BeforeDeadline(TickCount32(), deadline)) return PumpEnd::Open;
    }
}

bool QuoteStream::ErrorBeforeFailure(std::uint32_t waitMs, StreamPayload& error) {
    bool found = false;
    Pump(waitMs, [&](const StreamPayload& p, const std::string&) {
        if (p.kind != StreamPayloadKind::ProtocolError && p.kind != StreamPayloadKind::CriticalError) return true;
        error = p;
        found = true;
        return false;
    });
    return found;
}
