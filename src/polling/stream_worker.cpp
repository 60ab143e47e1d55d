#include "polling/stream_worker.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/clock.h"
#include "foundation/held_thread.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "polling/poll_cycle.h"
#include "polling/poll_worker.h"
#include "polling/stream_store.h"
#include "protocol/exchange_calendar.h"
#include "protocol/history_fetch.h"
#include "protocol/quote_stream.h"
#include "protocol/series_reader.h"
#include "protocol/trading_day.h"
#include "storage/memory_cache.h"

namespace {

constexpr std::uint32_t kSliceMs = 250;               // one pump, and the longest a stop waits for it
constexpr std::uint32_t kFirstBackOffMs = 1000;
constexpr std::uint32_t kLongestBackOffMs = 60000;
constexpr std::uint32_t kSteadyMs = 30000;            // a connection this old that brought data was fine
// Nothing at all for three of the service's heartbeats (every 10 s) means
// the connection is gone. The period is the longest gap seen between two
// heartbeats: two read back to back (after a slow moment) say nothing of it.
constexpr std::uint32_t kSilenceBeforeHeartbeatsMs = 30000;
constexpr std::uint32_t kShortestSilenceMs = 2000;
constexpr std::uint32_t kLongestSilenceMs = 60000;
// A connection that brings heartbeats but no quote (an expired token, a
// frozen session) is no stream: a subscription's first quote comes in time.
constexpr std::uint32_t kFirstQuoteMs = 20000;
constexpr std::uint32_t kSeriesAnswerMs = 15000;      // a series not answered by then counts as refused
constexpr int kSeriesAskedAtOnce = 6;                 // chart sessions opened before their answers came
constexpr std::uint32_t kResolveRetryMs = 60000;
constexpr std::uint32_t kResolveBudgetMs = 1000;      // symbol searches per step, before pumping again
// The service refused the session twice, or banned it: no reconnecting for
// this long, the poll worker keeping the tickers meanwhile.
constexpr std::uint32_t kRefusedPauseMs = 10 * 60 * 1000;
constexpr DWORD kJoinWaitMs = 2200;                    // a slice, the close handshake's bound, and some slack

// The thread's control: guarded by g_lock, never held together with stateLock.
std::mutex g_lock;
std::condition_variable g_signal;
std::uint64_t g_generation = 0;
// Touched only by StartStreamWorker and StopStreamWorker (host threads).
FileHandle g_thread;

bool Current(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(g_lock);
    return generation == g_generation;
}

// Waits up to `ms`; false when the generation is over.
bool Rest(std::uint64_t generation, std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(g_lock);
    g_signal.wait_for(lock, std::chrono::milliseconds(ms), [generation] { return generation != g_generation; });
    return generation == g_generation;
}

// What the stream knows of one active ticker.
struct TickerPlan {
    std::wstring ticker;
    int periodicity = 0;
    std::string symbolId;  // empty until resolved
    std::uint32_t resolveAgainTick = 0;
    bool resolveFailed = false;
    // On the current connection:
    bool quoted = false;
    bool quoteHeard = false;  // its first quote (or the service's refusal) came
    std::uint32_t quotedTick = 0;
    bool quoteRefused = false;
    int series = 0;            // its series number, 0 for none
    std::string chartSession;  // the series' own chart session
    bool seriesPending = false;
    std::uint32_t seriesTick = 0;
    bool seriesLive = false;
    bool seriesRefused = false;
    std::unique_ptr<ExchangeCalendar> calendar;  // daily charts whose exchange is known
};

// The settings a connection was opened with; a change of any of these opens
// it again.
bool SameStreamSettings(const PluginSettings& a, const PluginSettings& b) {
    return a.UserAgent == b.UserAgent && a.TimeoutMs == b.TimeoutMs && a.ExtendedHours == b.ExtendedHours &&
           a.ResolutionOverride == b.ResolutionOverride && a.Market == b.Market &&
           a.IntradayTimeShiftMinutes == b.IntradayTimeShiftMinutes && a.EodTimeShiftDays == b.EodTimeShiftDays &&
           a.UseSettlementAsClose == b.UseSettlementAsClose && a.AdjustContracts == b.AdjustContracts &&
           a.Username == b.Username && a.Password == b.Password && a.SessionCookie == b.SessionCookie &&
           a.SessionCookieSign == b.SessionCookieSign;
}

class StreamRunner {
public:
    explicit StreamRunner(std::uint64_t generation) : generation_(generation), random_(GetTickCount()) {}

    void Run() {
        LogDebug(L"STREAM worker started");
        while (Current(generation_)) {
            try {
                Step();
            } catch (...) {
                Lose(L"internal error");
                if (!Rest(generation_, kFirstBackOffMs)) break;
            }
        }
        End(L"stopped");
        LogDebug(L"STREAM worker stopped");
    }

private:
    void Step() {
        // A change the throttle held back reaches the host when its window ends.
        PostPendingStreamingNotice();
        const PluginSettings settings = CopySettings();
        const std::vector<ActiveTicker> active = settings.Streaming ? CopyActiveTickers() : std::vector<ActiveTicker>();
        if (active.empty()) {
            End(settings.Streaming ? L"no active ticker" : L"streaming turned off");
            backOffMs_ = 0;
            retryTick_ = 0;
            Rest(generation_, kSliceMs);
            return;
        }
        if (stream_.IsOpen() && !SameStreamSettings(settings, openedWith_)) End(L"the settings changed");
        if (stream_.IsOpen() && stream_.Retiring()) {
            // The session retires the connection (it carried its share of
            // sessions): the stream moves to a fresh one at once.
            LogLine(L"STREAM moving to a fresh connection");
            CloseConnection();
        }
        Follow(active, settings);
        if (!stream_.IsOpen()) {
            const std::uint32_t now = TickCount32();
            if (retryTick_ != 0 && BeforeDeadline(now, retryTick_)) {
                Rest(generation_, std::min(kSliceMs, retryTick_ - now));
                return;
            }
            if (!Connect(settings)) return;
        }
        if (!Subscribe(settings)) return;
        Pump(settings);
    }

    // The plans follow the active set: new tickers get one, tickers gone
    // (evicted, expired, unloaded) are taken off the connection.
    void Follow(const std::vector<ActiveTicker>& active, const PluginSettings& settings) {
        std::set<std::string> wanted;
        for (const ActiveTicker& ticker : active) {
            const std::string key = WideToUtf8(ticker.ticker);
            wanted.insert(key);
            auto found = plans_.find(key);
            if (found == plans_.end()) {
                TickerPlan& plan = plans_[key];
                plan.ticker = ticker.ticker;
                plan.periodicity = ticker.periodicity;
                plan.symbolId = KnownSymbolId(key);
                if (plan.symbolId.empty() && ticker.ticker.find(L':') != std::wstring::npos) plan.symbolId = key;
                if (!plan.symbolId.empty()) plan.calendar = DailyCalendar(plan, settings);
            } else if (found->second.periodicity != ticker.periodicity) {
                // A chart whose interval changed: its series gets a new chart
                // session, the old one is deleted.
                TickerPlan& plan = found->second;
                DropSeries(plan);
                plan.periodicity = ticker.periodicity;
                plan.seriesRefused = false;
                plan.calendar = DailyCalendar(plan, settings);
            }
        }
        std::vector<std::string> gone;
        for (const auto& plan : plans_) {
            if (wanted.count(plan.first) == 0) gone.push_back(plan.first);
        }
        std::vector<std::string> unquote;
        for (const std::string& key : gone) {
            TickerPlan& plan = plans_[key];
            DropSeries(plan);
            const bool quoted = plan.quoted;
            const std::string symbolId = plan.symbolId;
            plans_.erase(key);
            if (quoted && !Quoted(symbolId)) unquote.push_back(symbolId);
        }
        if (!gone.empty()) LogDebug(L"STREAM tickers removed count=" + std::to_wstring(gone.size()));
        if (stream_.IsOpen() && !unquote.empty() && !stream_.RemoveQuoteSymbols(unquote)) SendFailed();
    }

    static std::unique_ptr<ExchangeCalendar> DailyCalendar(const TickerPlan& plan, const PluginSettings& settings) {
        if (plan.periodicity < 86400 || plan.symbolId.empty()) return nullptr;
        auto calendar = std::make_unique<ExchangeCalendar>(ExchangeSessionOf(plan.symbolId), settings);
        if (!calendar->Usable()) calendar.reset();
        return calendar;
    }

    bool Quoted(const std::string& symbolId) const {
        for (const auto& plan : plans_) {
            if (plan.second.quoted && plan.second.symbolId == symbolId) return true;
        }
        return false;
    }

    void DropSeries(TickerPlan& plan) {
        if (plan.series == 0) return;
        sessionOwners_.erase(plan.chartSession);
        if (stream_.IsOpen() && !stream_.RemoveSeries(plan.chartSession)) SendFailed();
        plan.series = 0;
        plan.chartSession.clear();
        plan.seriesPending = false;
        plan.seriesLive = false;
    }

    bool Connect(const PluginSettings& settings) {
        std::wstring error;
        std::string refusal;
        const bool opened = stream_.Open(settings, error, refusal);
        if (!Current(generation_)) return false;  // abandoned while connecting
        if (!opened) {
            if (!refusal.empty()) {
                Refused(refusal, error);
            } else {
                Lose(error.empty() ? L"connect failed" : error);
            }
            return false;
        }
        openedWith_ = settings;
        openedTick_ = TickCount32();
        retryTick_ = 0;
        gotData_ = false;
        sessionOwners_.clear();
        for (auto& plan : plans_) ResetOnConnection(plan.second);
        MarkStreamUp();
        LogLine(L"STREAM connected tickers=" + std::to_wstring(plans_.size()));
        return true;
    }

    static void ResetOnConnection(TickerPlan& plan) {
        plan.quoted = false;
        plan.quoteHeard = false;
        plan.quoteRefused = false;
        plan.series = 0;
        plan.chartSession.clear();
        plan.seriesPending = false;
        plan.seriesLive = false;
        plan.seriesRefused = false;
    }

    int PendingSeries() const {
        int pending = 0;
        for (const auto& plan : plans_) pending += plan.second.seriesPending;
        return pending;
    }

    // Resolves tickers for about a second per step (a symbol search may
    // take a while; the connection's own thread meanwhile keeps answering
    // the service's heartbeats), then puts every resolved ticker into the
    // quote session and asks for the series still missing, each in a chart
    // session of its own.
    bool Subscribe(const PluginSettings& settings) {
        const std::uint32_t now = TickCount32();
        for (auto& entry : plans_) {
            TickerPlan& plan = entry.second;
            if (TickCount32() - now >= kResolveBudgetMs) break;
            if (!plan.symbolId.empty() || (plan.resolveFailed && BeforeDeadline(now, plan.resolveAgainTick))) continue;
            std::string symbolId;
            std::wstring error;
            const std::uint64_t generation = generation_;
            const bool found = ResolveLiveSymbol(plan.ticker, settings, symbolId, error, L"STREAM",
                                                 [generation] { return Current(generation); });
            if (!Current(generation_)) return false;
            if (found) {
                plan.symbolId = symbolId;
                plan.resolveFailed = false;
                plan.calendar = DailyCalendar(plan, settings);
                StoreSymbolId(entry.first, symbolId);
            } else {
                plan.resolveFailed = true;
                plan.resolveAgainTick = TickCount32() + kResolveRetryMs;
                LogLine(L"STREAM resolve failed ticker=" + plan.ticker + L" error=" + error);
                SetStatusText(L"Live quote error: " + plan.ticker + L" - " + error);
            }
        }
        if (!stream_.IsOpen()) return false;

        std::vector<std::string> quote;
        for (auto& entry : plans_) {
            TickerPlan& plan = entry.second;
            if (plan.symbolId.empty() || plan.quoted) continue;
            if (!Quoted(plan.symbolId) &&
                std::find(quote.begin(), quote.end(), plan.symbolId) == quote.end()) {
                quote.push_back(plan.symbolId);
            }
            plan.quoted = true;
            plan.quoteHeard = false;
            plan.quotedTick = now;
        }
        if (!quote.empty()) {
            if (!stream_.AddQuoteSymbols(quote)) return SendFailed();
            LogDebug(L"STREAM quote symbols added count=" + std::to_wstring(quote.size()));
            SetStatusText(L"Live stream OK: " + std::to_wstring(plans_.size()) + L" tickers");
        }

        for (auto& entry : plans_) {
            TickerPlan& plan = entry.second;
            if (plan.seriesPending && !BeforeDeadline(now, plan.seriesTick + kSeriesAnswerMs)) {
                RefuseSeries(plan, L"no answer");
            }
        }
        int pending = PendingSeries();
        for (auto& entry : plans_) {
            if (pending >= kSeriesAskedAtOnce) break;
            TickerPlan& plan = entry.second;
            if (plan.symbolId.empty() || plan.series != 0 || plan.seriesRefused || plan.periodicity <= 0) continue;
            const int number = ++seriesCounter_;
            const std::string session = stream_.CreateSeries(number, plan.symbolId, ResolutionFor(plan.periodicity, settings),
                                                             settings.ExtendedHours);
            if (session.empty()) return SendFailed();
            plan.series = number;
            plan.chartSession = session;
            plan.seriesPending = true;
            plan.seriesTick = now;
            sessionOwners_[session] = entry.first;
            ++pending;
        }
        return true;
    }

    // The ticker whose series' chart session `session` is, or null.
    TickerPlan* SessionOwner(const std::string& session) {
        const auto owner = sessionOwners_.find(session);
        if (owner == sessionOwners_.end()) return nullptr;
        const auto plan = plans_.find(owner->second);
        return plan == plans_.end() ? nullptr : &plan->second;
    }

    // The service will not keep this ticker's series: it keeps its quotes.
    void RefuseSeries(TickerPlan& plan, const std::wstring& reason) {
        LogLine(L"STREAM series refused ticker=" + plan.ticker + L" reason=" + reason + L"; quotes only");
        DropSeries(plan);
        plan.seriesRefused = true;
    }

    void Pump(const PluginSettings& settings) {
        bool changed = false;
        std::wstring fatal;
        std::string protocolReason;
        std::vector<Bar> bars;
        const PumpEnd end = stream_.Pump(kSliceMs, [&](const StreamPayload& p, const std::string& payload) {
            TickerPlan* owner = p.session.empty() ? nullptr : SessionOwner(p.session);
            switch (p.kind) {
                case StreamPayloadKind::Quote:
                    changed |= OnQuote(p.quote, settings);
                    break;
                case StreamPayloadKind::SeriesData:
                    if (owner == nullptr) break;  // a series already removed
                    owner->seriesPending = false;
                    for (const auto& member : p.members) {
                        if (member.first != QuoteStream::SeriesId(owner->series)) continue;  // not the series (a study)
                        bars.clear();
                        if (ReadSeriesBars(member.second, owner->periodicity, settings, bars, owner->calendar.get()) &&
                            StoreStreamedBar(WideToUtf8(owner->ticker), bars.back(), owner->periodicity)) {
                            owner->seriesLive = true;
                            gotData_ = changed = true;
                        }
                    }
                    break;
                case StreamPayloadKind::SeriesLoading:
                case StreamPayloadKind::SeriesCompleted:
                    if (owner != nullptr) owner->seriesPending = false;
                    break;
                case StreamPayloadKind::SymbolResolved:
                    if (owner != nullptr) {
                        ExchangeSession session;
                        if (owner->periodicity >= 86400 && ReadExchangeSession(payload, session)) {
                            owner->calendar = UseExchangeSession(owner->ticker, owner->symbolId, session, settings);
                        }
                    }
                    break;
                case StreamPayloadKind::SymbolError:
                    if (owner != nullptr) RefuseSeries(*owner, L"symbol error: " + Utf8ToWide(p.reason));
                    break;
                case StreamPayloadKind::SeriesError:
                    if (owner != nullptr) RefuseSeries(*owner, L"series error: " + Utf8ToWide(p.reason));
                    break;
                case StreamPayloadKind::SeriesLimit:
                case StreamPayloadKind::CriticalError:
                    // An error that names one series' session (the method and
                    // its arguments) stays with that ticker; one of the quote
                    // session, or one nobody can be named for, ends the
                    // connection.
                    if (owner != nullptr) {
                        RefuseSeries(*owner, Utf8ToWide(p.reason));
                        break;
                    }
                    fatal = L"TradingView critical error: " + Utf8ToWide(p.reason);
                    return false;
                case StreamPayloadKind::ProtocolError:
                    protocolReason = p.reason;
                    fatal = L"TradingView protocol error: " + Utf8ToWide(p.reason);
                    return false;
                case StreamPayloadKind::Other:
                    break;
            }
            return true;
        });
        if (changed) NotifyHostStreaming(false);
        switch (end) {
            case PumpEnd::Open: break;
            case PumpEnd::Stopped:
                if (!protocolReason.empty()) {
                    Refused(protocolReason, fatal);
                } else {
                    Lose(fatal);
                }
                return;
            case PumpEnd::Closed: Lose(L"the service closed the connection"); return;
            case PumpEnd::Failed: Lose(L"TradingView websocket receive failed"); return;
        }
        const std::uint32_t now = TickCount32();
        const std::uint32_t silentMs = now - stream_.LastHeardTick();
        if (silentMs > SilenceLimitMs()) {
            stuck_ = true;
            Lose(L"silent for " + std::to_wstring(silentMs) + L" ms");
            return;
        }
        for (const auto& entry : plans_) {
            const TickerPlan& plan = entry.second;
            if (plan.quoted && !plan.quoteHeard && !BeforeDeadline(now, plan.quotedTick + kFirstQuoteMs)) {
                stuck_ = true;
                Lose(L"no quote for " + plan.ticker + L" within " + std::to_wstring(kFirstQuoteMs / 1000) +
                     L" s (the connection brings only heartbeats)");
                return;
            }
        }
    }

    // A message could not be sent: the connection went. What the service
    // said before it went decides what follows.
    bool SendFailed() {
        StreamPayload said;
        if (stream_.IsOpen() && stream_.ErrorBeforeFailure(kSliceMs, said)) {
            if (said.kind == StreamPayloadKind::ProtocolError) {
                Refused(said.reason, L"TradingView protocol error: " + Utf8ToWide(said.reason));
                return false;
            }
            return Lose(L"TradingView critical error: " + Utf8ToWide(said.reason));
        }
        return Lose(L"send failed");
    }

    // The service refused the session's token (or banned it): the account
    // signs in again once; a second refusal, or a ban, stops the stream for
    // ten minutes while the poll worker keeps the tickers.
    void Refused(const std::string& reason, const std::wstring& words) {
        const std::uint32_t now = TickCount32();
        const bool again = refusedOnce_ && now - refusedTick_ < kRefusedPauseMs;
        refusedOnce_ = true;
        refusedTick_ = now;
        if (reason.find("banned") == std::string::npos && !again) {
            Lose(words);
            return;
        }
        CloseConnection();
        retryTick_ = now + kRefusedPauseMs;
        if (retryTick_ == 0) retryTick_ = 1;
        LogLine(L"STREAM refused by the service: " + words + L"; no new connection for 10 minutes");
        if (Current(generation_)) {
            MarkStreamDown();
            WakePollWorker();
            SetStatusText(L"Live stream error: " + words + L" - polling for 10 minutes");
        }
    }

    bool OnQuote(const QuoteUpdate& update, const PluginSettings& settings) {
        bool stored = false;
        const bool refused = !update.status.empty() && update.status != "ok";
        // The service echoes a symbol added in its JSON form re-serialised:
        // the quote is matched by the symbol it names, not by the text.
        const std::string symbol = SubscribedSymbol(update.subscribed);
        for (auto& entry : plans_) {
            TickerPlan& plan = entry.second;
            if (!plan.quoted || plan.symbolId != symbol) continue;
            plan.quoteHeard = true;
            if (refused) {
                if (plan.quoteRefused) continue;
                plan.quoteRefused = true;
                const std::wstring reason =
                    L"TradingView quote error: " + Utf8ToWide(update.errmsg.empty() ? update.status : update.errmsg);
                LogLine(L"STREAM quote refused ticker=" + plan.ticker + L": " + reason);
                SetStatusText(L"Live quote error: " + plan.ticker + L" - " + reason);
                continue;
            }
            const int tradingYmd =
                plan.calendar && update.epoch > 0 ? plan.calendar->QuoteTradingYmd(update.epoch) : 0;
            if (StoreStreamedQuote(entry.first, plan.ticker, update, settings, tradingYmd, plan.seriesLive)) {
                stored = true;
                gotData_ = true;
            }
        }
        return stored;
    }

    std::uint32_t SilenceLimitMs() const {
        const std::uint32_t heartbeat = stream_.HeartbeatIntervalMs();
        if (heartbeat == 0) return kSilenceBeforeHeartbeatsMs;
        return std::clamp<std::uint32_t>(3 * std::min<std::uint32_t>(heartbeat, kLongestSilenceMs), kShortestSilenceMs,
                                         kLongestSilenceMs);
    }

    // Gives the connection up (or notes a failed connect) and schedules the
    // next try. Always false, for the callers' returns.
    bool Lose(const std::wstring& reason) {
        const bool wasOpen = stream_.IsOpen();
        const bool steady = wasOpen && gotData_ && TickCount32() - openedTick_ >= kSteadyMs;
        CloseConnection();
        backOffMs_ = steady || backOffMs_ == 0 ? kFirstBackOffMs : std::min(backOffMs_ * 2, kLongestBackOffMs);
        // Within a fifth either way, so that many clients do not come back
        // all at once.
        std::uniform_int_distribution<std::uint32_t> jitter(backOffMs_ * 4 / 5, backOffMs_ * 6 / 5);
        const std::uint32_t wait = jitter(random_);
        retryTick_ = TickCount32() + wait;
        if (retryTick_ == 0) retryTick_ = 1;
        LogLine(L"STREAM lost: " + reason + L"; next try in " + std::to_wstring(wait) + L" ms");
        // The poll worker takes the tickers at once. A thread left behind
        // by a stop leaves the state to the stop.
        if (Current(generation_)) {
            MarkStreamDown();
            WakePollWorker();
            SetStatusText(L"Live stream error: " + reason + L" - polling until it is back");
        }
        return false;
    }

    // Closes the connection, if open, with nothing scheduled.
    void End(const wchar_t* why) {
        if (!stream_.IsOpen() && plans_.empty()) return;
        const bool wasOpen = stream_.IsOpen();
        CloseConnection();
        plans_.clear();
        // The next connection starts afresh: the tickers are the stream's
        // while it opens.
        if (Current(generation_)) MarkStreamUp();
        if (wasOpen) LogLine(std::wstring(L"STREAM closed: ") + why);
    }

    void CloseConnection() {
        for (auto& plan : plans_) ResetOnConnection(plan.second);
        sessionOwners_.clear();
        stream_.Close(stuck_);
        stuck_ = false;
    }

    const std::uint64_t generation_;
    std::minstd_rand random_;
    QuoteStream stream_;
    PluginSettings openedWith_;
    std::map<std::string, TickerPlan> plans_;            // key: UTF-8 ticker
    std::map<std::string, std::string> sessionOwners_;   // a series' chart session -> ticker key
    int seriesCounter_ = 0;
    bool gotData_ = false;
    bool stuck_ = false;  // the connection went silent: the session retires it
    bool refusedOnce_ = false;
    std::uint32_t refusedTick_ = 0;
    std::uint32_t openedTick_ = 0;
    std::uint32_t backOffMs_ = 0;
    std::uint32_t retryTick_ = 0;
};

void RunStream(std::uint64_t generation) {
    StreamRunner runner(generation);
    runner.Run();
}

}  // namespace

void StartStreamWorker() {
    StopStreamWorker();
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        generation = ++g_generation;
    }
    MarkStreamUp();
    g_thread = StartHeldThread([generation] { RunStream(generation); }, L"STREAM");
    if (!g_thread.Valid()) MarkStreamDown();  // nothing streams: the poll worker keeps the tickers
}

void RequestStreamWorkerStop() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_generation;
    }
    g_signal.notify_all();
}

void AwaitStreamWorkerStopped(std::uint32_t deadlineTick) {
    if (!g_thread.Valid()) return;
    const std::uint32_t now = TickCount32();
    const DWORD waitMs = BeforeDeadline(now, deadlineTick) ? deadlineTick - now : 0;
    if (WaitForSingleObject(g_thread.Get(), waitMs) != WAIT_OBJECT_0) {
        LogLine(L"STREAM worker still busy at stop; it ends on its own");
    }
    g_thread.Reset();
    MarkStreamDown();
}

void StopStreamWorker() {
    RequestStreamWorkerStop();
    AwaitStreamWorkerStopped(TickCount32() + kJoinWaitMs);
}
