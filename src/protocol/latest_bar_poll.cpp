#include "protocol/latest_bar_poll.h"

#include <memory>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "protocol/exchange_calendar.h"
#include "protocol/history_fetch.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"
#include "protocol/session_loop.h"
#include "protocol/trading_day.h"

namespace {

constexpr size_t kNewestKept = 3;

void KeepNewestThree(std::vector<Bar>& bars) {
    if (bars.size() > kNewestKept) bars.erase(bars.begin(), bars.end() - kNewestKept);
}

bool SendLatestBarMessages(Channel& connection, const std::string& chartSession, const std::string& symbolId,
                           const std::string& resolution, const std::string& session) {
    const std::string c = JsonQuote(chartSession);
    return SendMessage(connection, "chart_create_session", {c, JsonQuote("")}) &&
           SendMessage(connection, "set_locale", {JsonQuote("en"), JsonQuote("US")}) &&
           SendMessage(connection, "switch_timezone", {c, JsonQuote("Etc/UTC")}) &&
           SendMessage(connection, "resolve_symbol",
                       {c, JsonQuote("sds_live_sym_1"),
                        JsonQuote("={\"symbol\":" + JsonQuote(symbolId) + ",\"adjustment\":\"splits\",\"session\":\"" +
                                  session + "\"}")}) &&
           SendMessage(connection, "create_series",
                       {c, JsonQuote("sds_live_1"), JsonQuote("s1"), JsonQuote("sds_live_sym_1"),
                        JsonQuote(resolution), std::to_string(kNewestKept)});
}

}  // namespace

bool PollLatestBars(const std::wstring& ticker, const std::string& symbolId, int periodicity,
                    const PluginSettings& settings, std::vector<Bar>& bars, std::wstring& errorText,
                    Priority priority) {
    bars.clear();
    if (periodicity < 1) {
        errorText = L"Missing chart periodicity";
        return false;
    }
    const std::string id = symbolId.empty() ? WideToUtf8(ticker) : symbolId;
    if (id.empty()) {
        errorText = L"Missing symbol id";
        return false;
    }
    const std::string resolution = ResolutionFor(periodicity, settings);
    const auto opening = [&](Channel& channel) {
        return SendLatestBarMessages(channel, channel.NewSession("cs_live_"), id, resolution,
                                     settings.ExtendedHours ? "extended" : "regular");
    };
    bool gotBars = false;
    std::wstring failure;
    ExchangeSession session;
    std::unique_ptr<ExchangeCalendar> calendar;
    SessionHandlers handlers;
    handlers.onPayload = [&](const std::string& payload) {
        // An unknown symbol, an unserved resolution, a refused session: end
        // the poll now, so the cycle can fall back to the quote at once.
        failure = Utf8ToWide(ServiceErrorText(payload));
        if (!failure.empty()) return SessionStep::Finish;
        if (!calendar && ReadExchangeSession(payload, session)) {
            calendar = UseExchangeSession(ticker, id, session, settings);
        }
        if (payload.find("\"s\"") != std::string::npos && payload.find("\"m\"") != std::string::npos &&
            ParseSeriesPayload(payload, periodicity, settings, bars, calendar.get())) {
            gotBars = true;
        }
        if (gotBars && (payload.find("series_completed") != std::string::npos ||
                        payload.find("du") != std::string::npos)) {
            return SessionStep::Finish;
        }
        return SessionStep::Continue;
    };
    Channel connection;
    const ConversationEnd ended =
        RunConversation(ChannelRequestFor(settings, priority), connection, settings.TimeoutMs, opening, handlers);
    if (!ConversationGotGoing(ended, L"Failed to send TradingView latest-bar messages", errorText)) return false;
    const SessionEnd end = ended.end;
    if (end == SessionEnd::ReceiveFailed) {
        bars.clear();
        errorText = L"TradingView websocket receive failed";
        return false;
    }
    if (!failure.empty()) {
        bars.clear();
        errorText = failure;
        return false;
    }
    if (bars.empty()) {
        errorText = L"No latest OHLC bar received";
        return false;
    }
    KeepNewestThree(bars);
    if (end == SessionEnd::Finished) {
        LogDebug(L"POLL latest OHLC bars ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) +
                 L" count=" + std::to_wstring(bars.size()));
    }
    return true;
}
