#include "protocol/live_quote_poll.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "foundation/volume.h"
#include "protocol/exchange_calendar.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"
#include "protocol/session_loop.h"
#include "storage/memory_cache.h"

namespace {

constexpr size_t kLoggedPayloadBytes = 900;

bool SendQuoteMessages(Channel& connection, const std::string& quoteSession, const std::string& symbolId) {
    const std::string q = JsonQuote(quoteSession);
    return SendMessage(connection, "quote_create_session", {q}) &&
           SendMessage(connection, "set_locale", {JsonQuote("en"), JsonQuote("US")}) &&
           SendMessage(connection, "quote_set_fields", QuoteFieldsParameters(quoteSession)) &&
           SendMessage(connection, "quote_add_symbols",
                       {q, JsonQuote("={\"symbol\":" + JsonQuote(symbolId) + ",\"adjustment\":\"splits\"}")}) &&
           SendMessage(connection, "quote_fast_symbols", {q, JsonQuote(symbolId)});
}

double NumberOrZero(const std::string& text) { return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr); }

std::string OrEmptyMark(const std::string& text) { return text.empty() ? "(empty)" : text; }

void StoreSessionText(const std::string& key, const std::string& session) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.symbolCache[key].sessionText = session;
}

}  // namespace

void ApplyQuoteToRecentInfo(RecentInfo& record, double last, double change, double volume, std::int64_t epoch,
                            const PluginSettings& settings) {
    record.validFields = kRecentValidFields;
    record.statusBits = kRecentStatusBits;
    if (last > 0) record.last = static_cast<float>(last);
    record.change = static_cast<float>(change);
    if (last > 0) record.prevClose = static_cast<float>(last - change);
    if (record.open <= 0) record.open = record.prevClose > 0 ? record.prevClose : record.last;
    if (record.high <= 0 || record.last > record.high) record.high = record.last;
    if (record.low <= 0 || record.low > record.last) record.low = record.last;
    record.tradeVolume = record.totalVolume = VolumeAsInt32(volume);
    record.tradeVolumeF = record.totalVolumeF = VolumeAsFloat(volume);
    if (epoch > 0) {
        // Always the intraday shift: a quote is a moment, whatever the chart.
        const std::uint64_t packed = ToHostDateTime(epoch, false, settings);
        if (packed != 0) {
            record.tradeDate = PackedYmd(packed);
            record.tradeTime = PackedHms(packed);
        }
    }
}

void ApplyQuoteUpdate(RecentInfo& record, const QuoteUpdate& update, const PluginSettings& settings) {
    ApplyQuoteToRecentInfo(record, update.hasLast ? update.last : static_cast<double>(record.last),
                           update.hasChange ? update.change : static_cast<double>(record.change),
                           update.hasVolume ? update.volume : static_cast<double>(record.totalVolumeF), update.epoch,
                           settings);
}

bool PollLiveQuote(const std::wstring& ticker, const std::string& symbolId, const PluginSettings& settings,
                   RecentInfo& quote, std::wstring& errorText, const ExchangeCalendar* tradingDays,
                   Priority priority) {
    const std::string key = WideToUtf8(ticker);
    const std::string id = symbolId.empty() ? key : symbolId;
    if (id.empty()) {
        errorText = L"Missing symbol id";
        return false;
    }
    const auto opening = [&](Channel& channel) { return SendQuoteMessages(channel, channel.NewSession("qs_"), id); };
    std::string chosen;
    std::wstring failure;
    SessionHandlers handlers;
    handlers.onPayload = [&](const std::string& payload) {
        // A refused token or a dead session: no quote will come.
        failure = Utf8ToWide(ServiceErrorText(payload));
        if (!failure.empty()) return SessionStep::Finish;
        if (payload.size() < 9 || payload.find("\"m\":\"qsd\"") == std::string::npos) return SessionStep::Continue;
        // Any status but "ok" ("error" for an unknown symbol,
        // "permission_denied" for one the session may not see): no quote
        // will come for it.
        const std::string status = JsonStringField(payload, "s", 0);
        if (!status.empty() && status != "ok") {
            const std::string reason = JsonStringField(payload, "errmsg", 0);
            failure = L"TradingView quote error: " + Utf8ToWide(reason.empty() ? status : reason);
            return SessionStep::Finish;
        }
        if (payload.find("\"update_mode\"") != std::string::npos) {
            RememberUpdateMode(id, JsonStringField(payload, "update_mode", 0));
        }
        if (JsonNumberField(payload, "lp").empty()) {
            LogLine("POLL live quote qsd without lp ticker=" + key +
                    " payload=" + payload.substr(0, std::min(kLoggedPayloadBytes, payload.size())));
            return SessionStep::Continue;
        }
        chosen = payload;
        return SessionStep::Finish;
    };
    Channel connection;
    const ConversationEnd ended =
        RunConversation(ChannelRequestFor(settings, priority), connection, settings.TimeoutMs, opening, handlers);
    if (!ConversationGotGoing(ended, L"Failed to send quote poll messages", errorText)) return false;
    const SessionEnd end = ended.end;
    if (end == SessionEnd::ReceiveFailed) {
        errorText = L"TradingView websocket receive failed";
        return false;
    }
    if (!failure.empty()) {
        errorText = failure;
        return false;
    }
    if (chosen.empty()) {
        errorText = L"No live quote received";
        return false;
    }

    const std::string lpText = JsonNumberField(chosen, "lp");
    const double last = NumberOrZero(lpText);
    const double change = NumberOrZero(JsonNumberField(chosen, "ch"));
    const double volume = NumberOrZero(JsonNumberField(chosen, "volume"));
    std::string timeKey;
    const std::int64_t epoch = PickQuoteTimestamp(chosen, timeKey);
    const std::string session = JsonStringField(chosen, "current_session", 0);
    if (IsDebugLoggingOn()) {
        LogLine("POLL live quote fields ticker=" + key + " pro_name=" +
                OrEmptyMark(JsonStringField(chosen, "pro_name", 0)) + " type=" +
                OrEmptyMark(JsonStringField(chosen, "type", 0)) + " session=" + OrEmptyMark(session) +
                " update_mode=" + OrEmptyMark(JsonStringField(chosen, "update_mode", 0)) + " lp=" +
                OrEmptyMark(lpText) + " timeSource=" + (timeKey.empty() ? "(none)" : timeKey) +
                " epoch=" + std::to_string(epoch));
    }
    if (epoch > 0 && timeKey != "lp_time") {
        LogLine("POLL live quote timestamp fallback ticker=" + key + " field=" + timeKey +
                " epoch=" + std::to_string(epoch));
    } else if (epoch == 0) {
        LogLine("POLL live quote has no usable timestamp ticker=" + key +
                " payload=" + chosen.substr(0, std::min(kLoggedPayloadBytes, chosen.size())));
    }
    ApplyQuoteToRecentInfo(quote, last, change, volume, epoch, settings);
    const int tradingYmd = tradingDays != nullptr && epoch > 0 ? tradingDays->QuoteTradingYmd(epoch) : 0;
    if (tradingYmd > 0) quote.tradeDate = tradingYmd;
    StoreSessionText(key, session);
    return true;
}
