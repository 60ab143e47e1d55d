#include "protocol/history_fetch.h"

#include <algorithm>
#include <memory>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/http_client.h"
#include "protocol/exchange_calendar.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/series_reader.h"
#include "protocol/service_errors.h"
#include "protocol/session_loop.h"
#include "protocol/sign_in.h"
#include "protocol/symbol_routing.h"
#include "protocol/trading_day.h"
#include "storage/disk_cache.h"
#include "storage/memory_cache.h"

namespace {

const char* const kQuoteFields[] = {"ch", "chp", "current_session", "description", "local_description", "language",
                                    "exchange", "fractional", "is_tradable", "lp", "lp_time", "minmov", "minmove2",
                                    "original_name", "pricescale", "pro_name", "short_name", "type", "update_mode",
                                    "volume", "currency_code", "rchp", "rtc"};

void KeepNewest(std::vector<Bar>& bars, int requested) {
    if (requested <= 0) {
        bars.clear();
    } else if (bars.size() > static_cast<size_t>(requested)) {
        bars.erase(bars.begin(), bars.end() - requested);
    }
}

// The nine messages that open the conversation, in order.
bool SendOpening(WebSocketClient& connection, const std::string& token, const std::string& quoteSession,
                 const std::string& chartSession, const std::string& symbolId, const std::string& resolution,
                 const std::string& session, int firstCount) {
    const std::string q = JsonQuote(quoteSession);
    const std::string c = JsonQuote(chartSession);
    const std::string symbol = JsonQuote(symbolId);
    std::vector<std::string> fields = {q};
    for (const char* field : kQuoteFields) fields.push_back(JsonQuote(field));
    const std::string secret = token == kAnonymousToken ? std::string() : token;
    return SendMessage(connection, "set_auth_token", {JsonQuote(token)}, secret) &&
           SendMessage(connection, "chart_create_session", {c, JsonQuote("")}) &&
           SendMessage(connection, "quote_create_session", {q}) &&
           SendMessage(connection, "set_locale", {JsonQuote("en"), JsonQuote("US")}) &&
           SendMessage(connection, "switch_timezone", {c, JsonQuote("Etc/UTC")}) &&
           SendMessage(connection, "quote_add_symbols",
                       {q, JsonQuote("={\"symbol\":" + symbol + ",\"adjustment\":\"splits\"}")}) &&
           SendMessage(connection, "quote_set_fields", fields) &&
           SendMessage(connection, "resolve_symbol",
                       {c, JsonQuote("sds_sym_1"),
                        JsonQuote("={\"symbol\":" + symbol + ",\"adjustment\":\"splits\",\"session\":\"" + session +
                                  "\"}")}) &&
           SendMessage(connection, "create_series",
                       {c, JsonQuote("sds_1"), JsonQuote("s1"), JsonQuote("sds_sym_1"), JsonQuote(resolution),
                        std::to_string(firstCount)});
}

bool Fail(std::wstring& errorText, const std::wstring& text) {
    errorText = text;
    LogLine(L"ERROR: " + text);
    return false;
}

}  // namespace

std::string ResolutionFor(int periodicity, const PluginSettings& settings) {
    const std::wstring normalized = NormalizeResolutionOverride(settings.ResolutionOverride);
    if (normalized != L"auto") return WideToUtf8(normalized);
    if (periodicity >= 2419200) return "1M";
    if (periodicity >= 604800) return "1W";
    if (periodicity >= 86400) return "1D";
    if (periodicity <= 0) return "1";
    const int minutes = periodicity % 60 == 0 ? periodicity / 60 : (periodicity + 59) / 60;
    return std::to_string(std::max(1, minutes));
}

bool ParseSeriesPayload(const std::string& payload, int periodicity, const PluginSettings& settings,
                        std::vector<Bar>& bars, const DailyDater* dater) {
    if (!ReadSeriesBars(payload, periodicity, settings, bars, dater)) return false;
    LogDebug(L"Parsed bars from payload: " + std::to_wstring(bars.size()));
    return true;
}

bool RequestMoreData(WebSocketClient& connection, const std::string& chartSession, const std::string& seriesId,
                     int count) {
    return SendMessage(connection, "request_more_data",
                       {JsonQuote(chartSession), JsonQuote(seriesId), std::to_string(std::max(1, count))});
}

bool CachedBars(const std::wstring& ticker, int periodicity, int requestedBars, const PluginSettings& settings,
                std::vector<Bar>& bars, CacheAge age) {
    bars.clear();
    const std::wstring path = CacheFilePath(ticker, periodicity, settings);
    if (!LoadCachedBars(path, periodicity, settings, bars, age)) return false;
    // What the service said of the symbol's sessions when the file was
    // written: the live quote's trading date needs it later.
    std::string companionId;
    ExchangeSession companion;
    if (LoadSessionCompanion(path, companionId, companion)) RememberExchangeSession(companionId, companion);
    KeepNewest(bars, requestedBars);
    UpdateRecentCache(ticker, std::string(), periodicity, bars);
    return true;
}

bool FetchBars(const std::wstring& ticker, int periodicity, int requestedBars, std::vector<Bar>& bars,
               std::wstring& errorText) {
    LogDebug(L"FetchBars start ticker=" + ticker);
    const PluginSettings settings = CopySettings();
    if (CachedBars(ticker, periodicity, requestedBars, settings, bars, CacheAge::Fresh)) return true;
    return DownloadBars(ticker, periodicity, requestedBars, settings, bars, errorText);
}

bool ConverseHistory(const std::wstring& ticker, const std::string& symbolId, const std::string& token, int periodicity,
                     int requestedBars, const PluginSettings& settings, std::vector<Bar>& bars, std::wstring& errorText,
                     HistoryConversation& run) {
    bars.clear();
    const DownloadGate* gate = run.gate;
    const auto abandoned = [gate] { return gate != nullptr && gate->keepGoing && !gate->keepGoing(); };
    WebSocketClient connection;
    std::wstring connectError;
    if (!connection.Connect(settings.UserAgent, settings.TimeoutMs, connectError)) {
        LogDebug(L"WebSocket connect failed for " + ticker + L": " + connectError);
        errorText = connectError;
        return false;
    }
    const std::string quoteSession = "qs_" + std::to_string(TickCount64() & 0xFFFFFF);
    const std::string chartSession = "cs_" + std::to_string((TickCount64() >> 8) & 0xFFFFFF);
    const bool daily = periodicity >= 86400;
    const std::string resolution = ResolutionFor(periodicity, settings);
    const int firstCount = std::min(std::max(1, requestedBars), daily ? 10000 : 5000);
    LogDebug("TradingView resolution: " + resolution + " bars=" + std::to_string(firstCount) + " adjustment=splits");
    if (!SendOpening(connection, token, quoteSession, chartSession, symbolId, resolution,
                     settings.ExtendedHours ? "extended" : "regular", firstCount)) {
        // A refused token is answered at once and the connection closed while
        // the opening is still being sent: report what the service said.
        const std::string said = ServiceErrorBeforeFailure(connection, settings.TimeoutMs);
        connection.Close();
        return Fail(errorText, said.empty() ? L"Failed to send TradingView websocket messages" : Utf8ToWide(said));
    }

    // One deadline for the whole conversation, computed in 64 bits first.
    const std::uint32_t deadline =
        static_cast<std::uint32_t>(TickCount32() + static_cast<std::uint64_t>(EffectiveTimeoutMs(settings.TimeoutMs)));
    const int maxRounds = std::max(3, static_cast<int>((static_cast<std::int64_t>(requestedBars) + 4999) / 5000 + 2));
    int round = 0;
    size_t best = 0;
    bool gotBars = false;
    bool accepted = false;
    size_t barsAtLastCompletion = SIZE_MAX;  // no series completion yet
    std::wstring failure;
    // The symbol's sessions, from its symbol_resolved answer: daily bars then
    // carry the exchange's trading date.
    ExchangeSession& session = run.session;
    std::unique_ptr<ExchangeCalendar> calendar;

    SessionHandlers handlers;
    handlers.onPayload = [&](const std::string& payload) {
        if (IsDebugLoggingOn()) LogLine(L"WS payload: " + Utf8ToWide(payload.substr(0, std::min<size_t>(400, payload.size()))));
        // An unknown symbol, an unserved resolution, a refused token or a
        // dead session: say so now instead of waiting for the deadline.
        failure = Utf8ToWide(ServiceErrorText(payload));
        if (!failure.empty()) return SessionStep::Finish;
        if (!calendar && ReadExchangeSession(payload, session)) {
            calendar = UseExchangeSession(ticker, symbolId, session, settings);
        }
        if (run.updateMode.empty() && payload.rfind("{\"m\":\"qsd\"", 0) == 0) {
            run.updateMode = JsonStringField(payload, "update_mode", 0);
        }
        if (payload.find("\"s\"") != std::string::npos && payload.find("\"m\"") != std::string::npos &&
            ParseSeriesPayload(payload, periodicity, settings, bars, calendar.get())) {
            gotBars = true;
        }
        const bool seriesCompleted = payload.find("series_completed") != std::string::npos;
        const bool completed = seriesCompleted || payload.find("quote_completed") != std::string::npos;
        if (completed && gotBars) {
            if (bars.size() >= static_cast<size_t>(std::max(0, requestedBars))) {
                accepted = true;
                return SessionStep::Finish;
            }
            // The service says the series has no more (the account's bar
            // limit, or the instrument's first bar), or a round brought
            // nothing new: asking again would only bring nothing again.
            if (seriesCompleted) {
                const std::string why = SeriesDataCompleted(payload);
                if (!why.empty() || bars.size() == barsAtLastCompletion) {
                    LogDebug(L"HISTORY no more data ticker=" + ticker + L" reason=" +
                             (why.empty() ? std::wstring(L"nothing new") : Utf8ToWide(why)) + L" bars=" +
                             std::to_wstring(bars.size()));
                    accepted = true;
                    return SessionStep::Finish;
                }
                barsAtLastCompletion = bars.size();
            }
            best = std::max(best, bars.size());
            if (round < maxRounds) {
                const int ask = std::max(1, requestedBars - static_cast<int>(bars.size()));
                ++round;
                LogDebug(L"Requesting more data: round=" + std::to_wstring(round) + L" ask=" + std::to_wstring(ask));
                if (!RequestMoreData(connection, chartSession, "sds_1", ask)) {
                    const std::string said = ServiceErrorBeforeFailure(connection, settings.TimeoutMs);
                    failure = said.empty() ? L"request_more_data failed" : Utf8ToWide(said);
                    return SessionStep::Finish;
                }
            }
        }
        return SessionStep::Continue;
    };
    handlers.afterMessage = [&]() {
        // An abandoned download writes nothing more and stops listening.
        if (abandoned()) return SessionStep::Finish;
        if (run.showProgress && gotBars && !bars.empty()) UpdateRecentCache(ticker, symbolId, periodicity, bars);
        if (round >= maxRounds && bars.size() == best && gotBars) {
            accepted = true;
            return SessionStep::Finish;
        }
        return SessionStep::Continue;
    };

    const SessionEnd end = RunSessionLoop(connection, deadline, handlers);
    connection.Close();
    if (end == SessionEnd::ReceiveFailed) {
        bars.clear();
        return Fail(errorText, L"TradingView websocket receive failed");
    }
    if (!failure.empty()) {
        bars.clear();
        return Fail(errorText, failure);
    }
    if (!accepted && bars.empty()) return Fail(errorText, L"No bars received from TradingView");
    return true;
}

bool DownloadBars(const std::wstring& ticker, int periodicity, int requestedBars, const PluginSettings& settings,
                  std::vector<Bar>& bars, std::wstring& errorText, const DownloadGate* gate) {
    bars.clear();
    const std::wstring path = CacheFilePath(ticker, periodicity, settings);
    std::string symbolId;
    CandidateLoopHooks hooks;
    hooks.beforeTry = [&ticker](const std::wstring& market, const std::wstring& query) {
        LogDebug(L"TradingView routing: ticker=" + ticker + L" market=" + market + L" query=" + query);
    };
    hooks.afterFailure = [&ticker](const std::wstring& market, const std::wstring& error) {
        LogDebug(L"ResolveSymbolId failed for " + ticker + L" market=" + market + L": " + error);
    };
    hooks.finalError = L"TradingView symbol resolution failed";
    if (!ResolveTickerSymbol(ticker, settings, hooks, symbolId, errorText)) {
        if (errorText.empty()) errorText = L"TradingView symbol resolution failed";
        return false;
    }

    std::string token = kAnonymousToken;
    if (!settings.Username.empty() && !settings.Password.empty()) {
        const std::string signedIn = SignInToService(settings).token;
        if (!signedIn.empty()) token = signedIn;
    }

    HistoryConversation run;
    run.gate = gate;
    if (!ConverseHistory(ticker, symbolId, token, periodicity, requestedBars, settings, bars, errorText, run)) {
        return false;
    }
    if (gate != nullptr && gate->beginAccept && !gate->beginAccept()) {
        bars.clear();
        errorText = L"Download abandoned";
        return false;
    }
    return AcceptHistory(bars, requestedBars, path, periodicity, ticker, symbolId, settings, run.session);
}
