#include "net/winhttp_async.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "foundation/clock.h"

namespace {

// Closing normally reports within milliseconds; a handle with an operation
// still pending against a silent server may report much later (under Wine,
// only when the server goes). Its state is then parked, not waited for.
constexpr int kHandleClosingWaitMs = 250;

std::atomic<bool> g_automaticProxy{true};

bool IsWebSocketStep(AsyncStep step) {
    return step == AsyncStep::WsSend || step == AsyncStep::WsReceive || step == AsyncStep::WsShutdown ||
           step == AsyncStep::WsClose;
}

// The step a REQUEST_ERROR belongs to: WebSocket handles name their
// operation, request handles the API that failed.
AsyncStep ErrorStep(AsyncStep armed, const void* info) {
    if (info == nullptr) return AsyncStep::None;
    if (IsWebSocketStep(armed)) {
        switch (static_cast<const WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info)->Operation) {
            case WINHTTP_WEB_SOCKET_SEND_OPERATION: return AsyncStep::WsSend;
            case WINHTTP_WEB_SOCKET_RECEIVE_OPERATION: return AsyncStep::WsReceive;
            case WINHTTP_WEB_SOCKET_CLOSE_OPERATION: return AsyncStep::WsClose;
            case WINHTTP_WEB_SOCKET_SHUTDOWN_OPERATION: return AsyncStep::WsShutdown;
            default: return AsyncStep::None;
        }
    }
    switch (static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwResult) {
        case API_SEND_REQUEST: return AsyncStep::SendRequest;
        case API_RECEIVE_RESPONSE: return AsyncStep::ReceiveResponse;
        case API_QUERY_DATA_AVAILABLE: return AsyncStep::QueryData;
        case API_READ_DATA: return AsyncStep::ReadData;
        default: return AsyncStep::None;
    }
}

void CALLBACK OnWinHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
    auto* s = reinterpret_cast<WinHttpAsyncState*>(context);
    if (s == nullptr) return;
    std::lock_guard<std::mutex> guard(s->lock);
    AsyncStep step = AsyncStep::None;
    Completion c;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            --s->openHandles;
            s->signal.notify_all();
            return;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE: step = AsyncStep::SendRequest; break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: step = AsyncStep::ReceiveResponse; break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            step = AsyncStep::QueryData;
            if (info != nullptr) c.bytes = *static_cast<const DWORD*>(info);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            if (s->receiveArmed) {
                step = AsyncStep::WsReceive;
                if (info != nullptr) {
                    const auto* result = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
                    c.bytes = result->dwBytesTransferred;
                    c.type = result->eBufferType;
                }
            } else {
                step = AsyncStep::ReadData;
                c.bytes = infoLength;
            }
            break;
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE: step = AsyncStep::WsSend; break;
        case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE: step = AsyncStep::WsShutdown; break;
        case WINHTTP_CALLBACK_STATUS_CLOSE_COMPLETE: step = AsyncStep::WsClose; break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            step = ErrorStep(s->receiveArmed ? AsyncStep::WsReceive : s->armed, info);
            c.failed = true;
            // Both error records begin with a WINHTTP_ASYNC_RESULT.
            c.error = info != nullptr ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError : 0;
            break;
        default:
            return;
    }
    // A report of a step no longer waited for (a cancelled receive, say)
    // must not end the wait of the one now running.
    c.done = true;
    if (step == AsyncStep::WsReceive) {
        if (!s->receiveArmed || s->received.done) return;
        s->received = c;
    } else {
        if (step == AsyncStep::None || step != s->armed || s->main.done) return;
        s->main = c;
    }
    s->signal.notify_all();
}

constexpr DWORD kSweepPeriodMs = 250;

// Whether WinHTTP is done with the state: every handle reported closing,
// and the unload event signalled (no callback of the session's handles runs
// any more); where there is no event, every handle reported closing a sweep
// ago (the thread that delivered the last report has long left the
// callback). Both counts matter with the event: it speaks for the session
// and the handles made from it, but a WebSocket handle need not hold its
// session (Wine's does not, and reports after the event).
// With g_parkedLock held.
bool Settled(WinHttpAsyncState& s) {
    if (s.openHandles > 0) return false;
    if (s.unloadEvent.Valid()) return WaitForSingleObject(s.unloadEvent.Get(), 0) == WAIT_OBJECT_0;
    const std::uint32_t now = TickCount32();
    if (s.closedSeenTick == 0) {
        s.closedSeenTick = now | 1;
        return false;
    }
    return now - s.closedSeenTick >= kSweepPeriodMs;
}

// States WinHTTP is not done with yet, and the timer that looks at them
// while there are any (with the module reference it runs under).
std::mutex g_parkedLock;
std::vector<std::unique_ptr<WinHttpAsyncState>> g_parked;
PTP_TIMER g_sweeper = nullptr;
HMODULE g_sweeperModule = nullptr;

std::size_t FreeSettledParkedStates();

// The timer's round: frees what settled; when nothing is parked any more it
// stops, closes itself and gives its module reference back once this
// callback has returned.
void CALLBACK SweepParked(PTP_CALLBACK_INSTANCE instance, void*, PTP_TIMER timer) {
    FreeSettledParkedStates();
    std::lock_guard<std::mutex> guard(g_parkedLock);
    if (!g_parked.empty() || g_sweeper != timer) return;
    g_sweeper = nullptr;
    CloseThreadpoolTimer(timer);
    if (g_sweeperModule != nullptr) FreeLibraryWhenCallbackReturns(instance, g_sweeperModule);
    g_sweeperModule = nullptr;
}

// With g_parkedLock held: makes sure the timer runs.
void ArmSweeperLocked() {
    if (g_sweeper != nullptr) return;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&SweepParked)), &module)) {
        return;
    }
    PTP_TIMER timer = CreateThreadpoolTimer(&SweepParked, nullptr, nullptr);
    if (timer == nullptr) {
        FreeLibrary(module);
        return;
    }
    // Negative: relative, in 100 ns units.
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kSweepPeriodMs) * 10000);
    FILETIME dueTime{due.LowPart, due.HighPart};
    g_sweeper = timer;
    g_sweeperModule = module;
    SetThreadpoolTimer(timer, &dueTime, kSweepPeriodMs, 0);
}

// A parked state's late callback runs code of this module, so each parked
// state holds a reference to the module until it is freed: the host may
// unload the DLL meanwhile, and the code must still be there.
void Park(std::unique_ptr<WinHttpAsyncState> state) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&OnWinHttpStatus)), &module);
    state->moduleReference = module;
    std::lock_guard<std::mutex> guard(g_parkedLock);
    g_parked.push_back(std::move(state));
    ArmSweeperLocked();
}

// Frees the parked states that have settled; returns how many are left.
std::size_t FreeSettledParkedStates() {
    std::vector<std::unique_ptr<WinHttpAsyncState>> settled;
    std::size_t left = 0;
    {
        std::lock_guard<std::mutex> guard(g_parkedLock);
        auto keep = std::partition(g_parked.begin(), g_parked.end(),
                                   [](const std::unique_ptr<WinHttpAsyncState>& p) { return !Settled(*p); });
        std::move(keep, g_parked.end(), std::back_inserter(settled));
        g_parked.erase(keep, g_parked.end());
        left = g_parked.size();
    }
    // The last callback may still be leaving the state's lock: take it once
    // before the state goes.
    for (auto& state : settled) {
        { std::lock_guard<std::mutex> wait(state->lock); }
        HMODULE module = static_cast<HMODULE>(state->moduleReference);
        state.reset();
        // Never the module's last reference: the host, which called into
        // this code, or the sweeper's timer, whose callback this is, still
        // holds its own.
        if (module != nullptr) FreeLibrary(module);
    }
    return left;
}

}  // namespace

bool OpenAsyncSession(WinHttpAsyncState& s, const std::wstring& userAgent) {
    // Windows 8.1 and later follow the system's proxy settings and PAC
    // scripts with the automatic setting; older ones refuse it.
    s.session.Reset(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    g_automaticProxy = static_cast<bool>(s.session);
    if (!s.session) {
        s.session.Reset(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
        // The systems that refuse the automatic proxy (Windows 8 and Server
        // 2012) offer only SSL 3 and TLS 1.0 by default, which the service
        // does not take: TLS 1.1 and 1.2 are asked for. Newer systems keep
        // their own defaults, TLS 1.3 included.
        if (s.session) {
            DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            WinHttpSetOption(s.session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
        }
    }
    if (!s.session) return false;
    // WinHTTP signals this event once the session and its children are
    // closed and no callback runs any more: only then may the state and its
    // module reference go. Where the option is refused, the handles'
    // HANDLE_CLOSING reports stand in for it.
    FileHandle unload(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE event = unload.Get();
    if (unload.Valid() && WinHttpSetOption(s.session.Get(), WINHTTP_OPTION_UNLOAD_NOTIFY_EVENT, &event, sizeof(event))) {
        s.unloadEvent = std::move(unload);
    }
    // Registered before the handle is counted: without a callback its
    // HANDLE_CLOSING would never come, and the state would stay parked.
    if (WinHttpSetStatusCallback(s.session.Get(), OnWinHttpStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        s.session.Reset();
        return false;
    }
    TrackHandle(s, s.session.Get());
    return true;
}

const wchar_t* SessionProxyKind() { return g_automaticProxy ? L"automatic" : L"default"; }

void TrackHandle(WinHttpAsyncState& s, HINTERNET handle) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s);
    WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.openHandles;
}

void ArmStep(WinHttpAsyncState& s, AsyncStep step) {
    std::lock_guard<std::mutex> guard(s.lock);
    if (step == AsyncStep::WsReceive) {
        s.receiveArmed = true;
        s.received = Completion();
    } else {
        s.armed = step;
        s.main = Completion();
    }
}

StepResult WaitForStep(WinHttpAsyncState& s, AsyncStep step, std::uint32_t waitMs, bool keepArmed) {
    const bool receive = step == AsyncStep::WsReceive;
    Completion& slot = receive ? s.received : s.main;
    std::unique_lock<std::mutex> guard(s.lock);
    StepResult r;
    r.completed = s.signal.wait_for(guard, std::chrono::milliseconds(waitMs), [&slot] { return slot.done; });
    r.failed = slot.failed;
    r.error = r.completed ? slot.error : ERROR_WINHTTP_TIMEOUT;
    r.bytes = slot.bytes;
    r.type = slot.type;
    if (r.completed || !keepArmed) {
        // Whatever comes later belongs to no step.
        if (receive) {
            s.receiveArmed = false;
        } else {
            s.armed = AsyncStep::None;
        }
    }
    return r;
}

void RetireAsyncState(std::unique_ptr<WinHttpAsyncState> state) {
    if (state) {
        WinHttpAsyncState& s = *state;
        s.socket.Reset();
        s.request.Reset();
        s.connection.Reset();
        s.session.Reset();
        // The caller's thread runs this module's code, so the module cannot
        // go meanwhile: what counts here is that no callback can still come.
        const std::uint32_t deadline = TickCount32() + kHandleClosingWaitMs;
        bool allClosed = false;
        {
            std::unique_lock<std::mutex> guard(s.lock);
            allClosed = s.signal.wait_for(guard, std::chrono::milliseconds(kHandleClosingWaitMs),
                                          [&s] { return s.openHandles <= 0; });
        }
        if (allClosed && s.unloadEvent.Valid()) {
            allClosed = WaitForSingleObject(s.unloadEvent.Get(), MsUntil(deadline)) == WAIT_OBJECT_0;
        }
        if (allClosed) {
            { std::lock_guard<std::mutex> wait(s.lock); }
            state.reset();
        } else {
            // A handle has not reported closing; its callback may still
            // come, so the state must outlive it.
            Park(std::move(state));
        }
    }
    FreeSettledParkedStates();
}

void SweepParkedStates(std::uint32_t waitMs) {
    const std::uint32_t deadline = TickCount32() + waitMs;
    while (FreeSettledParkedStates() > 0 && MsUntil(deadline) > 0) Sleep(10);
}

std::size_t ParkedStateCount() {
    std::lock_guard<std::mutex> guard(g_parkedLock);
    return g_parked.size();
}

std::uint32_t MsUntil(std::uint32_t deadlineTick) {
    const std::uint32_t now = TickCount32();
    return BeforeDeadline(now, deadlineTick) ? deadlineTick - now : 0;
}
