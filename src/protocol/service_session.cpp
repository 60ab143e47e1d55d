#include "protocol/service_session.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

#include "foundation/clock.h"
#include "foundation/handles.h"
#include "foundation/held_thread.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/account_token.h"
#include "protocol/framing.h"
#include "protocol/json_text.h"
#include "protocol/service_errors.h"

namespace {

// Conversations one connection carries at once (the browser keeps six
// chart sessions on one).
constexpr int kConversationsPerConnection = 6;
// The service refuses new sessions on a connection after about 200:
// a connection is retired for a fresh one well before.
constexpr int kSessionsBeforeRetiring = 150;
constexpr std::uint32_t kIdleCloseMs = 60000;
constexpr std::uint32_t kConnectSpacingMs = 250;
constexpr std::uint32_t kFirstRefusalWaitMs = 5000;
constexpr std::uint32_t kLongestRefusalWaitMs = 60000;
constexpr std::uint32_t kLongestRetryAfterMs = 10 * 60 * 1000;
constexpr DWORD kStopWaitMs = 2500;

const wchar_t kWaitedOutText[] = L"No TradingView data connection was free in time";
const wchar_t kRefusedText[] =
    L"TradingView refuses new connections for now (HTTP 429: too many connections); trying again shortly";
const wchar_t kStoppedText[] = L"TradingView service session stopped";

struct Identity {
    std::wstring dataOrigin;
    std::wstring userAgent;
    std::string account;
    bool operator==(const Identity& o) const {
        return dataOrigin == o.dataOrigin && userAgent == o.userAgent && account == o.account;
    }
};

// A closing connection still counts against the limit until its socket is
// closed: the service still counts it.
enum class SlotState { Connecting, Open, Closing };

// The session's record of one connection. Guarded by g_lock, apart from
// the connection object itself (which guards its own routing).
struct Slot {
    std::uint64_t number = 0;
    std::shared_ptr<ServiceConnection> connection;
    Identity identity;
    std::string token;  // the token the connection was last given
    SlotState state = SlotState::Connecting;
    int inFlight = 0;
    int sessionsOpened = 0;
    int channelsServed = 0;
    bool retiring = false;
    std::uint32_t lastUsedTick = 0;
};

struct Waiter {
    std::uint64_t seq = 0;
    Priority priority = Priority::Host;
    const Identity* identity = nullptr;
};

// A connect that failed (not refused by 429): the waiters for its identity
// that have nothing else coming fail with its text.
struct ConnectFailure {
    std::uint64_t serial = 0;
    Identity identity;
    std::wstring error;
    std::uint32_t status = 0;  // the HTTP status of a refused upgrade, 0 for none
};

// Everything below is guarded by g_lock, never held with another lock.
std::mutex g_lock;
std::condition_variable g_signal;
bool g_running = false;
std::uint64_t g_generation = 0;  // changes with every start and stop
std::list<std::shared_ptr<Slot>> g_slots;
std::list<Waiter> g_waiters;
std::uint64_t g_waiterSeq = 0;
std::uint64_t g_connectionNumber = 0;
bool g_connectedOnce = false;
std::uint32_t g_lastConnectTick = 0;
bool g_refused = false;  // a 429 back-off is running until g_refusedUntilTick
std::uint32_t g_refusedUntilTick = 0;
std::uint32_t g_refusalWaitMs = 0;
ConnectFailure g_lastFailure;
std::uint64_t g_refusals = 0;
std::vector<FileHandle> g_threads;  // the connections' threads, for the stop to wait on

std::atomic<std::uint64_t> g_sessionName{0};


int ConnectionLimit() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    return ConnectionsValue(s.settings.Connections);
}

// Is `me` the first of the waiters for its identity (priority, then arrival)?
bool FirstInLineLocked(const Waiter& me) {
    for (const Waiter& other : g_waiters) {
        if (&other == &me || !(*other.identity == *me.identity)) continue;
        if (other.priority < me.priority || (other.priority == me.priority && other.seq < me.seq)) return false;
    }
    return true;
}

std::shared_ptr<Slot> FreePlaceLocked(const Identity& identity) {
    std::shared_ptr<Slot> best;
    for (const auto& slot : g_slots) {
        if (slot->state != SlotState::Open || slot->retiring || !(slot->identity == identity)) continue;
        if (slot->inFlight >= kConversationsPerConnection) continue;
        if (!best || slot->inFlight < best->inFlight) best = slot;
    }
    return best;
}

// Whether the waiters of `identity` need one more connection than is open
// or being opened for them.
bool NeedsConnectionLocked(const Identity& identity) {
    int room = 0;
    for (const auto& slot : g_slots) {
        if (!(slot->identity == identity) || slot->retiring) continue;
        if (slot->state == SlotState::Connecting) room += kConversationsPerConnection;
        if (slot->state == SlotState::Open) room += kConversationsPerConnection - slot->inFlight;
    }
    int waiting = 0;
    for (const Waiter& w : g_waiters) waiting += *w.identity == identity;
    return waiting > room;
}

// Closes an idle connection of another identity to make room, if there is one.
bool MakeRoomLocked(const Identity& identity) {
    for (const auto& slot : g_slots) {
        if (slot->state == SlotState::Open && slot->inFlight == 0 && !(slot->identity == identity)) {
            slot->retiring = true;
            return true;
        }
    }
    return false;
}

void RunConnection(std::shared_ptr<Slot> slot, std::uint64_t generation, std::wstring userAgent,
                   std::int32_t timeoutMs, std::string token);

// Starts a connection for `identity`; g_lock is given up meanwhile.
void StartConnectionLocked(std::unique_lock<std::mutex>& lock, const ChannelRequest& request,
                           const Identity& identity) {
    auto slot = std::make_shared<Slot>();
    slot->number = ++g_connectionNumber;
    slot->connection = std::make_shared<ServiceConnection>(slot->number);
    slot->identity = identity;
    slot->token = request.token;
    slot->lastUsedTick = TickCount32();
    g_slots.push_back(slot);
    g_lastConnectTick = TickCount32();
    g_connectedOnce = true;
    const std::uint64_t generation = g_generation;
    lock.unlock();
    FileHandle thread = StartHeldThread(
        [slot, generation, ua = request.userAgent, timeout = request.timeoutMs, token = request.token] {
            RunConnection(slot, generation, ua, timeout, token);
        },
        L"SESSION");
    lock.lock();
    if (thread.Valid()) {
        // Threads that have ended are forgotten here.
        g_threads.erase(std::remove_if(g_threads.begin(), g_threads.end(),
                                       [](const FileHandle& t) { return WaitForSingleObject(t.Get(), 0) == WAIT_OBJECT_0; }),
                        g_threads.end());
        g_threads.push_back(std::move(thread));
    } else {
        g_slots.remove(slot);
        g_lastFailure = ConnectFailure{g_lastFailure.serial + 1, identity, L"WinHttpOpen failed", 0};
    }
}

void OnConnected(const std::shared_ptr<Slot>& slot, bool ok, const std::wstring& error, std::uint32_t status,
                 std::uint32_t retryAfter) {
    std::wstring line;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (ok) {
            slot->state = SlotState::Open;
            slot->lastUsedTick = TickCount32();
            g_refusalWaitMs = 0;
            std::size_t open = 0;
            for (const auto& s : g_slots) open += s->state == SlotState::Open;
            line = L"SESSION connection " + std::to_wstring(slot->number) + L" open; connections=" +
                   std::to_wstring(open);
        } else {
            g_slots.remove(slot);
            if (status == 429) {
                ++g_refusals;
                g_refusalWaitMs = g_refusalWaitMs == 0 ? kFirstRefusalWaitMs
                                                        : std::min(g_refusalWaitMs * 2, kLongestRefusalWaitMs);
                const std::uint32_t wait = retryAfter > 0 ? std::min(retryAfter * 1000u, kLongestRetryAfterMs)
                                                          : g_refusalWaitMs;
                g_refused = true;
                g_refusedUntilTick = TickCount32() + wait;
                line = L"SESSION connection " + std::to_wstring(slot->number) +
                       L" refused with HTTP 429; next try in " + std::to_wstring(wait) + L" ms";
            } else {
                g_lastFailure = ConnectFailure{g_lastFailure.serial + 1, slot->identity, error, status};
                line = L"SESSION connection " + std::to_wstring(slot->number) + L" failed: " + error;
            }
        }
    }
    g_signal.notify_all();
    LogLine(line);
}

bool ShouldClose(const std::shared_ptr<Slot>& slot, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_running || generation != g_generation) return true;
    if (slot->inFlight > 0) return false;
    if (slot->retiring || TickCount32() - slot->lastUsedTick >= kIdleCloseMs) {
        // From now on nothing is placed on it.
        slot->state = SlotState::Closing;
        return true;
    }
    return false;
}

void OnConnectionError(const std::shared_ptr<Slot>& slot, const std::string& payload) {
    std::string token;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        slot->retiring = true;
        token = slot->token;
    }
    g_signal.notify_all();
    if (payload.find("bad auth token") != std::string::npos) ReportRefusedToken(token);
}

// The connection is about to close: nothing more is placed on it.
void OnEnding(const std::shared_ptr<Slot>& slot) {
    std::lock_guard<std::mutex> lock(g_lock);
    slot->state = SlotState::Closing;
}

// Its socket is closed: it no longer counts, and a waiter may open another.
void OnEnded(const std::shared_ptr<Slot>& slot) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_slots.remove(slot);
    }
    g_signal.notify_all();
}

void RunConnection(std::shared_ptr<Slot> slot, std::uint64_t generation, std::wstring userAgent,
                   std::int32_t timeoutMs, std::string token) {
    ConnectionHooks hooks;
    hooks.connected = [slot](bool ok, const std::wstring& error, std::uint32_t status, std::uint32_t retryAfter) {
        OnConnected(slot, ok, error, status, retryAfter);
    };
    hooks.shouldClose = [slot, generation] { return ShouldClose(slot, generation); };
    hooks.connectionError = [slot](const std::string& payload) { OnConnectionError(slot, payload); };
    hooks.ending = [slot](ChannelEnd) { OnEnding(slot); };
    hooks.ended = [slot] { OnEnded(slot); };
    try {
        slot->connection->Run(userAgent, timeoutMs, token, hooks);
    } catch (...) {
        OnEnded(slot);
    }
}

Identity IdentityOf(const ChannelRequest& request) {
    return Identity{CopyServiceOrigins().data, request.userAgent, request.account};
}

}  // namespace

// What a channel holds of its place.
struct ChannelPlace {
    std::shared_ptr<Slot> slot;
    std::shared_ptr<ServiceConnection> connection;
    std::shared_ptr<Mailbox> mailbox;
    bool fresh = false;
};

ChannelRequest ChannelRequestFor(const PluginSettings& settings, Priority priority) {
    ChannelRequest request;
    request.priority = priority;
    request.userAgent = settings.UserAgent;
    request.timeoutMs = EffectiveTimeoutMs(settings.TimeoutMs);
    request.waitMs = static_cast<std::uint32_t>(std::min<std::int64_t>(2LL * request.timeoutMs, 0x3FFFFFFF));
    const AccountToken token = TokenFor(settings, TickCount32() + request.waitMs);
    request.token = token.token;
    request.account = token.account;
    return request;
}

bool OpenChannel(const ChannelRequest& request, Channel& channel, std::wstring& error) {
    channel.Close();
    const Identity identity = IdentityOf(request);
    const int limit = ConnectionLimit();
    const std::uint32_t deadlineTick = TickCount32() + request.waitMs;
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_running) {
        error = kStoppedText;
        return false;
    }
    const std::uint64_t generation = g_generation;
    const std::uint64_t failuresBefore = g_lastFailure.serial;
    g_waiters.push_back(Waiter{++g_waiterSeq, request.priority, &identity});
    const auto me = std::prev(g_waiters.end());
    std::shared_ptr<Slot> placed;
    std::wstring failure;
    for (;;) {
        if (!g_running || generation != g_generation) {
            failure = kStoppedText;
            break;
        }
        const std::uint32_t now = TickCount32();
        if (FirstInLineLocked(*me)) {
            placed = FreePlaceLocked(identity);
            if (placed) break;
        }
        if (g_lastFailure.serial != failuresBefore && g_lastFailure.identity == identity) {
            bool coming = false;
            for (const auto& slot : g_slots) {
                coming |= slot->identity == identity && !slot->retiring && slot->state != SlotState::Closing;
            }
            if (!coming) {
                failure = g_lastFailure.error;
                if (request.refusedStatus != nullptr) *request.refusedStatus = g_lastFailure.status;
                break;
            }
        }
        if (g_refused && !BeforeDeadline(now, g_refusedUntilTick)) g_refused = false;
        std::uint32_t waitMs = 250;
        if (NeedsConnectionLocked(identity) && !g_refused) {
            const int live = static_cast<int>(g_slots.size());
            const std::uint32_t sinceLast = now - g_lastConnectTick;
            if (live >= limit && MakeRoomLocked(identity)) {
                // An idle connection of another account closes within its next wait.
            } else if (live < limit && g_connectedOnce && sinceLast < kConnectSpacingMs) {
                waitMs = kConnectSpacingMs - sinceLast;
            } else if (live < limit) {
                StartConnectionLocked(lock, request, identity);
                continue;
            }
        } else if (g_refused) {
            waitMs = std::max<std::uint32_t>(1, std::min<std::uint32_t>(waitMs, g_refusedUntilTick - now));
        }
        if (request.keepGoing && !request.keepGoing()) {
            failure = L"Download abandoned";
            break;
        }
        if (!BeforeDeadline(now, deadlineTick)) {
            failure = g_refused ? kRefusedText : kWaitedOutText;
            if (g_refused && request.refusedStatus != nullptr) *request.refusedStatus = 429;
            break;
        }
        waitMs = std::min(waitMs, deadlineTick - now);
        g_signal.wait_for(lock, std::chrono::milliseconds(waitMs));
    }
    g_waiters.erase(me);
    if (!placed) {
        lock.unlock();
        g_signal.notify_all();
        error = failure;
        return false;
    }
    ++placed->inFlight;
    ++placed->channelsServed;
    placed->lastUsedTick = TickCount32();
    const bool fresh = placed->channelsServed == 1;
    // A renewed token of the same account goes to the open connection first.
    const bool renew = placed->token != request.token;
    if (renew) placed->token = request.token;
    lock.unlock();
    g_signal.notify_all();

    auto place = std::make_shared<ChannelPlace>();
    place->slot = placed;
    place->connection = placed->connection;
    place->mailbox = std::make_shared<Mailbox>();
    place->fresh = fresh;
    place->connection->AddMailbox(place->mailbox);
    channel.place_ = place;
    if (renew) {
        const std::string secret = request.token == "unauthorized_user_token" ? std::string() : request.token;
        channel.SendText(FrameText(BuildMessage("set_auth_token", {JsonQuote(request.token)})), secret);
    }
    return true;
}

Channel::Channel() = default;
Channel::~Channel() { Close(); }

bool Channel::IsOpen() const { return place_ != nullptr; }

std::string Channel::NewSession(const std::string& prefix) {
    if (!place_) return std::string();
    // Unique in the process, so two conversations on one connection never
    // share a session name.
    std::uint64_t seed = g_sessionName.load();
    if (seed == 0) {
        std::uint64_t expected = 0;
        g_sessionName.compare_exchange_strong(expected, (TickCount64() >> 8) & 0xFFFFFF);
    }
    const std::string name = prefix + std::to_string(++g_sessionName & 0xFFFFFFFF);
    place_->connection->Route(name, place_->mailbox);
    sessions_.push_back(name);
    bool retire = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        retire = ++place_->slot->sessionsOpened >= kSessionsBeforeRetiring && !place_->slot->retiring;
        if (retire) place_->slot->retiring = true;
    }
    if (retire) {
        g_signal.notify_all();
        LogDebug(L"SESSION connection " + std::to_wstring(place_->slot->number) +
                 L" retired after " + std::to_wstring(kSessionsBeforeRetiring) + L" sessions");
    }
    return name;
}

namespace {

std::string DeleteMessage(const std::string& session) {
    const bool chart = session.compare(0, 2, "cs") == 0;
    return FrameText(BuildMessage(chart ? "chart_delete_session" : "quote_delete_session", {JsonQuote(session)}));
}

}  // namespace

bool Channel::DeleteSession(const std::string& session) {
    const auto found = std::find(sessions_.begin(), sessions_.end(), session);
    if (!place_ || found == sessions_.end()) return false;
    sessions_.erase(found);
    place_->connection->Unroute(session);
    return place_->connection->Send(DeleteMessage(session));
}

bool Channel::SendText(const std::string& framed, const std::string& secret) {
    return place_ && place_->connection->Send(framed, secret);
}

Channel::Wait Channel::Next(std::vector<std::string>& batch, std::uint32_t deadlineTick, ChannelEnd& end) {
    batch.clear();
    if (!place_) {
        end = ChannelEnd::Stopped;
        return Wait::Ended;
    }
    switch (place_->connection->Next(*place_->mailbox, batch, deadlineTick, end)) {
        case ServiceConnection::Wait::Message: return Wait::Message;
        case ServiceConnection::Wait::Ended: return Wait::Ended;
        case ServiceConnection::Wait::DeadlinePassed: break;
    }
    return Wait::DeadlinePassed;
}

void Channel::RetireIfSilent(std::uint32_t silentMs) {
    if (!place_) return;
    const std::uint32_t silent = TickCount32() - place_->connection->LastFrameTick();
    if (silent < silentMs) return;
    bool retire = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        retire = !place_->slot->retiring;
        place_->slot->retiring = true;
    }
    if (retire) {
        g_signal.notify_all();
        LogLine(L"SESSION connection " + std::to_wstring(place_->slot->number) + L" silent for " +
                std::to_wstring(silent) + L" ms; retired");
    }
}

void Channel::Close() {
    if (!place_) return;
    std::shared_ptr<ChannelPlace> place = std::move(place_);
    place_.reset();
    const bool ended = place->connection->Ended();
    for (const std::string& session : sessions_) {
        if (!ended) place->connection->Send(DeleteMessage(session));
        place->connection->Unroute(session);
    }
    sessions_.clear();
    place->connection->RemoveMailbox(place->mailbox);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        --place->slot->inFlight;
        place->slot->lastUsedTick = TickCount32();
    }
    g_signal.notify_all();
}

bool Channel::Retiring() const {
    if (!place_) return true;
    std::lock_guard<std::mutex> lock(g_lock);
    return place_->slot->retiring || place_->slot->state == SlotState::Closing;
}

bool Channel::Heard() const { return place_ && place_->connection->Heard(*place_->mailbox); }
std::uint64_t Channel::ConnectionNumber() const { return place_ ? place_->connection->Number() : 0; }
std::uint32_t Channel::LastFrameTick() const { return place_ ? place_->connection->LastFrameTick() : 0; }
std::uint32_t Channel::HeartbeatIntervalMs() const { return place_ ? place_->connection->HeartbeatIntervalMs() : 0; }
bool Channel::FreshConnection() const { return place_ && place_->fresh; }
std::uint32_t Channel::UpgradeMs() const { return place_ ? place_->connection->UpgradeMs() : 0; }
std::uint32_t Channel::FirstMessageMs() const { return place_ ? place_->connection->FirstMessageMs() : 0; }

void StartServiceSession() {
    StopServiceSession();
    std::lock_guard<std::mutex> lock(g_lock);
    ++g_generation;
    g_running = true;
    g_refused = false;
    g_refusalWaitMs = 0;
}

namespace {
// The threads a stop request left to wait for. Guarded by g_lock.
std::vector<FileHandle> g_stopping;
}  // namespace

void RequestServiceSessionStop() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_generation;
        g_running = false;
        for (const auto& slot : g_slots) slot->connection->RequestStop();
        for (FileHandle& thread : g_threads) g_stopping.push_back(std::move(thread));
        g_threads.clear();
    }
    g_signal.notify_all();
}

void AwaitServiceSessionStopped(std::uint32_t deadline) {
    std::vector<FileHandle> threads;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        threads.swap(g_stopping);
    }
    // Every connection ends at once; each thread is waited for together with
    // the others, so the stop takes the longest of them, not their sum.
    std::vector<HANDLE> handles;
    for (const FileHandle& thread : threads) handles.push_back(thread.Get());
    for (size_t at = 0; at < handles.size(); at += MAXIMUM_WAIT_OBJECTS) {
        const DWORD count = static_cast<DWORD>(std::min<size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - at));
        const std::uint32_t now = TickCount32();
        WaitForMultipleObjects(count, handles.data() + at, TRUE, BeforeDeadline(now, deadline) ? deadline - now : 0);
    }
}

void StopServiceSession() {
    RequestServiceSessionStop();
    AwaitServiceSessionStopped(TickCount32() + kStopWaitMs);
}

ServiceSessionCounts CurrentServiceSessionCounts() {
    ServiceSessionCounts counts;
    std::lock_guard<std::mutex> lock(g_lock);
    counts.connectionsOpened = g_connectionNumber;
    counts.refusals429 = g_refusals;
    for (const auto& slot : g_slots) counts.open += slot->state == SlotState::Open;
    return counts;
}
