#include "protocol/history_fetch.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/exchange_calendar.h"
#include "protocol/history_merge.h"
#include "protocol/host_time.h"
#include "protocol/json_text.h"
#include "protocol/message_sender.h"
#include "protocol/series_reader.h"
#include "protocol/service_errors.h"
#include "protocol/session_loop.h"
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

// The messages that open the conversation, in order (the token went once
// when the shared connection opened).
bool SendOpening(Channel& connection, const std::string& quoteSession, const std::string& chartSession,
                 const std::string& symbolId, const std::string& resolution, const std::string& session,
                 int firstCount) {
    const std::string q = JsonQuote(quoteSession);
    const std::string c = JsonQuote(chartSession);
    const std::string symbol = JsonQuote(symbolId);
    std::vector<std::string> fields = {q};
    for (const char* field : kQuoteFields) fields.push_back(JsonQuote(field));
    return SendMessage(connection, "chart_create_session", {c, JsonQuote("")}) &&
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

bool RequestMoreData(Channel& connection, const std::string& chartSession, const std::string& seriesId, int count) {
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
               std::wstring& errorText, Priority priority) {
    LogDebug(L"FetchBars start ticker=" + ticker);
    const PluginSettings settings = CopySettings();
    if (CachedBars(ticker, periodicity, requestedBars, settings, bars, CacheAge::Fresh)) return true;
    return DownloadBars(ticker, periodicity, requestedBars, settings, bars, errorText, nullptr, priority);
}

bool ConverseHistory(const std::wstring& ticker, const std::string& symbolId, const ChannelRequest& request,
                     int periodicity, int requestedBars, const PluginSettings& settings, std::vector<Bar>& bars,
                     std::wstring& errorText, HistoryConversation& run) {
    bars.clear();
    const DownloadGate* gate = run.gate;
    const auto abandoned = [gate] { return gate != nullptr && gate->keepGoing && !gate->keepGoing(); };
    Channel connection;
    std::string quoteSession;
    std::string chartSession;
    const bool daily = periodicity >= 86400;
    const std::string resolution = ResolutionFor(periodicity, settings);
    const int firstCount = run.onlyNewest > 0 ? run.onlyNewest
                                              : std::min(std::max(1, requestedBars), daily ? 10000 : 5000);
    LogDebug("TradingView resolution: " + resolution + " bars=" + std::to_string(firstCount) + " adjustment=splits");
    const auto opening = [&](Channel& channel) {
        quoteSession = channel.NewSession("qs_");
        chartSession = channel.NewSession("cs_");
        return SendOpening(channel, quoteSession, chartSession, symbolId, resolution,
                           settings.ExtendedHours ? "extended" : "regular", firstCount);
    };

    // A top-up takes what one answer brings: the newest bars and no more.
    const int maxRounds =
        run.onlyNewest > 0 ? 0
                           : std::max(3, static_cast<int>((static_cast<std::int64_t>(requestedBars) + 4999) / 5000 + 2));
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
            RememberUpdateMode(symbolId, run.updateMode);
        }
        if (payload.find("\"s\"") != std::string::npos && payload.find("\"m\"") != std::string::npos &&
            ParseSeriesPayload(payload, periodicity, settings, bars, calendar.get())) {
            gotBars = true;
        }
        const bool seriesCompleted = payload.find("series_completed") != std::string::npos;
        const bool completed = seriesCompleted || payload.find("quote_completed") != std::string::npos;
        if (completed && gotBars) {
            if (bars.size() >= static_cast<size_t>(std::max(0, requestedBars)) || (run.onlyNewest > 0 && seriesCompleted)) {
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

    const ConversationEnd ended = RunConversation(request, connection, settings.TimeoutMs, opening, handlers);
    if (!ConversationGotGoing(ended, L"Failed to send TradingView websocket messages", errorText)) {
        bars.clear();
        if (!ended.placed) {
            LogDebug(L"WebSocket connect failed for " + ticker + L": " + errorText);
        } else {
            LogLine(L"ERROR: " + errorText);
        }
        return false;
    }
    const SessionEnd end = ended.end;
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

namespace {

enum class TopUpResult {
    Done,      // the file was topped up and written
    Whole,     // a whole download is needed instead
    Failed,    // the conversation failed: `errorText`
};

// The stale cache file topped up with the newest bars, when the service's
// answer agrees with the file where the two overlap.
TopUpResult TopUp(const std::wstring& ticker, const std::string& symbolId, const ChannelRequest& request,
                  int periodicity, int requestedBars, const PluginSettings& settings, const std::wstring& path,
                  const DownloadGate* gate, std::vector<Bar>& bars, std::wstring& errorText) {
    bars.clear();
    std::vector<Bar> cached;
    if (!LoadCachedBars(path, periodicity, settings, cached, CacheAge::Any)) return TopUpResult::Whole;
    // Only a file that holds the whole request can be topped up: what it
    // lacks further back would need the whole download anyway.
    if (cached.size() < static_cast<size_t>(std::max(1, requestedBars))) return TopUpResult::Whole;
    const std::int64_t shift = periodicity >= 86400 ? static_cast<std::int64_t>(settings.EodTimeShiftDays) * 86400
                                                    : static_cast<std::int64_t>(settings.IntradayTimeShiftMinutes) * 60;
    const std::int64_t newest = UnixFromPackedLocal(cached.back().dateTime) - shift;
    const int ask = TopUpCount(static_cast<std::int64_t>(std::time(nullptr)) - newest,
                               ResolutionFor(periodicity, settings), requestedBars);
    if (ask <= 0) return TopUpResult::Whole;
    std::string companionId;
    ExchangeSession companion;
    if (LoadSessionCompanion(path, companionId, companion)) RememberExchangeSession(companionId, companion);

    HistoryConversation run;
    run.gate = gate;
    run.onlyNewest = ask;
    std::vector<Bar> fresh;
    if (!ConverseHistory(ticker, symbolId, request, periodicity, ask, settings, fresh, errorText, run)) {
        return TopUpResult::Failed;
    }
    std::vector<Bar> merged;
    const TopUpMerge outcome = MergeTopUp(cached, fresh, merged);
    if (outcome != TopUpMerge::Merged) {
        LogLine(L"HISTORY top-up of " + ticker + L" not used: " +
                (outcome == TopUpMerge::Changed ? L"the service changed past bars (a split or an adjustment)"
                                                : L"the new bars do not join the cached ones") +
                L"; downloading the whole history");
        return TopUpResult::Whole;
    }
    if (gate != nullptr && gate->beginAccept && !gate->beginAccept()) {
        errorText = L"Download abandoned";
        return TopUpResult::Failed;
    }
    LogDebug(L"HISTORY topped up ticker=" + ticker + L" asked=" + std::to_wstring(ask) + L" new=" +
             std::to_wstring(fresh.size()) + L" bars=" + std::to_wstring(merged.size()));
    bars = std::move(merged);
    AcceptHistory(bars, requestedBars, path, periodicity, ticker, symbolId, settings,
                  run.session.Known() ? run.session : companion);
    return TopUpResult::Done;
}

}  // namespace

bool DownloadBars(const std::wstring& ticker, int periodicity, int requestedBars, const PluginSettings& settings,
                  std::vector<Bar>& bars, std::wstring& errorText, const DownloadGate* gate, Priority priority) {
    bars.clear();
    const std::wstring path = CacheFilePath(ticker, periodicity, settings);
    CandidateLoopHooks hooks;
    hooks.beforeTry = [&ticker](const std::wstring& market, const std::wstring& query) {
        LogDebug(L"TradingView routing: ticker=" + ticker + L" market=" + market + L" query=" + query);
    };
    hooks.afterFailure = [&ticker](const std::wstring& market, const std::wstring& error) {
        LogDebug(L"ResolveSymbolId failed for " + ticker + L" market=" + market + L": " + error);
    };
    hooks.finalError = L"TradingView symbol resolution failed";
    if (gate != nullptr) hooks.keepGoing = gate->keepGoing;

    ChannelRequest request = ChannelRequestFor(settings, priority);
    if (gate != nullptr) request.keepGoing = gate->keepGoing;
    // An identifier from the symbol map that the service refuses is
    // forgotten, and the ticker searched again at once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string symbolId;
        bool fromMap = false;
        errorText.clear();
        if (!ResolveMappedSymbol(ticker, settings, hooks, symbolId, errorText, &fromMap)) {
            if (errorText.empty()) errorText = L"TradingView symbol resolution failed";
            return false;
        }
        const TopUpResult topUp =
            TopUp(ticker, symbolId, request, periodicity, requestedBars, settings, path, gate, bars, errorText);
        if (topUp == TopUpResult::Done) return true;
        if (topUp == TopUpResult::Whole) {
            if (gate != nullptr && gate->keepGoing && !gate->keepGoing()) {
                errorText = L"Download abandoned";
                return false;
            }
            HistoryConversation run;
            run.gate = gate;
            if (ConverseHistory(ticker, symbolId, request, periodicity, requestedBars, settings, bars, errorText, run)) {
                if (gate != nullptr && gate->beginAccept && !gate->beginAccept()) {
                    bars.clear();
                    errorText = L"Download abandoned";
                    return false;
                }
                return AcceptHistory(bars, requestedBars, path, periodicity, ticker, symbolId, settings, run.session);
            }
        }
        if (!IsSymbolRefusal(errorText)) return false;
        ForgetRefusedSymbol(ticker, settings, symbolId);
        if (!fromMap) return false;
    }
    return false;
}
