#include "net/websocket_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "foundation/log.h"
#include "foundation/settings_record.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/url.h"
#include "net/winhttp_handle.h"

// Everything the WinHTTP callback may touch. It lives until every handle
// made with it as context has reported HANDLE_CLOSING, so a late callback
// (a cancelled receive, say) never meets freed memory.
struct WebSocketAsyncState {
    std::mutex lock;
    std::condition_variable signal;
    bool done = false;
    bool failed = false;
    DWORD error = 0;
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    std::atomic<int> openHandles{0};
    void* moduleReference = nullptr;  // held while parked (see Park)  // changed under `lock`; read without it by the sweep

    char receiveBuffer[8192];
    std::string sendBuffer;

    // Closed in the order socket, request, connection, session.
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
    WinHttpHandle socket;
};

namespace {

constexpr size_t kMaxMessageBytes = 64u << 20;
constexpr int kMaxPiecesPerMessage = 1 << 20;
// Closing normally reports within milliseconds; a handle with an operation
// still pending against a silent server may report much later (under Wine,
// only when the server goes). Its state is then parked, not waited for.
constexpr int kHandleClosingWaitMs = 250;
constexpr int kCloseHandshakeWaitMs = 1000;

struct Completion {
    bool completed = false;  // false: the wait timed out
    bool failed = false;
    DWORD error = 0;
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
};

void CALLBACK OnWinHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
    auto* s = reinterpret_cast<WebSocketAsyncState*>(context);
    if (s == nullptr) return;
    std::lock_guard<std::mutex> guard(s->lock);
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            --s->openHandles;
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_CLOSE_COMPLETE:
            s->done = true;
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            if (info != nullptr) {
                const auto* result = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
                s->bytes = result->dwBytesTransferred;
                s->type = result->eBufferType;
            }
            s->done = true;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            // Both the request and the WebSocket error records begin with a WINHTTP_ASYNC_RESULT.
            s->error = info != nullptr ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError : 0;
            s->failed = true;
            s->done = true;
            break;
        default:
            return;
    }
    s->signal.notify_all();
}

// States whose handles have not all reported closing yet. Each is freed by
// a later Close once its last handle has reported.
std::mutex g_parkedLock;
std::vector<std::unique_ptr<WebSocketAsyncState>> g_parked;

// A parked state's late callback runs code of this module, so each parked
// state holds a reference to the module until it is freed: the host may
// unload the DLL meanwhile, and the code must still be there.
void Park(std::unique_ptr<WebSocketAsyncState> state) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&OnWinHttpStatus)), &module);
    state->moduleReference = module;
    std::lock_guard<std::mutex> guard(g_parkedLock);
    g_parked.push_back(std::move(state));
}

void FreeSettledParkedStates() {
    std::vector<std::unique_ptr<WebSocketAsyncState>> settled;
    {
        std::lock_guard<std::mutex> guard(g_parkedLock);
        auto keep = std::partition(g_parked.begin(), g_parked.end(),
                                   [](const std::unique_ptr<WebSocketAsyncState>& p) { return p->openHandles > 0; });
        std::move(keep, g_parked.end(), std::back_inserter(settled));
        g_parked.erase(keep, g_parked.end());
    }
    // The last callback may still be leaving the state's lock: take it once
    // before the state goes.
    for (auto& state : settled) {
        { std::lock_guard<std::mutex> wait(state->lock); }
        HMODULE module = static_cast<HMODULE>(state->moduleReference);
        state.reset();
        if (module != nullptr) FreeLibrary(module);
    }
}

void Arm(WebSocketAsyncState& s) {
    std::lock_guard<std::mutex> guard(s.lock);
    s.done = false;
    s.failed = false;
    s.error = 0;
    s.bytes = 0;
}

Completion WaitForCompletion(WebSocketAsyncState& s, int timeoutMs) {
    std::unique_lock<std::mutex> guard(s.lock);
    Completion c;
    c.completed = s.signal.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&s] { return s.done; });
    c.failed = s.failed;
    c.error = s.error;
    c.bytes = s.bytes;
    c.type = s.type;
    return c;
}

// Makes `handle` report to `s` and counts it until it reports HANDLE_CLOSING.
void Track(WebSocketAsyncState& s, HINTERNET handle) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s);
    WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.openHandles;
}

// Starts an asynchronous step with `start` (returning a WinHTTP error code)
// and waits for its completion for at most `timeoutMs`.
template <typename Start>
bool RunStep(WebSocketAsyncState& s, int timeoutMs, Start start) {
    Arm(s);
    if (!start()) return false;
    const Completion c = WaitForCompletion(s, timeoutMs);
    return c.completed && !c.failed;
}

std::string FirstBytes(const std::string& text, size_t count) { return text.substr(0, std::min(count, text.size())); }

}  // namespace

WebSocketClient::WebSocketClient() = default;

WebSocketClient::~WebSocketClient() { Close(); }

bool WebSocketClient::IsOpen() const { return state_ && state_->socket; }

bool WebSocketClient::Connect(const std::wstring& userAgent, std::int32_t timeoutMs, std::wstring& error) {
    Close();
    LogDebug(L"WS connect starting");
    timeoutMs_ = EffectiveTimeoutMs(timeoutMs);
    const int timeout = timeoutMs_;
    state_ = std::make_unique<WebSocketAsyncState>();
    WebSocketAsyncState& s = *state_;
    const ServiceOrigins origins = CopyServiceOrigins();

    auto fail = [&](const std::wstring& text) {
        error = text;
        LogLine(L"ERROR: " + text);
        Close();
        return false;
    };

    s.session.Reset(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!s.session) return fail(L"WinHttpOpen failed");
    Track(s, s.session.Get());
    if (WinHttpSetStatusCallback(s.session.Get(), OnWinHttpStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        return fail(L"WinHttpOpen failed");
    }
    WinHttpSetTimeouts(s.session.Get(), timeout, timeout, timeout, timeout);

    ParsedUrl url;
    std::wstring parseError;
    if (!ParseUrl(origins.data + L"/socket.io/websocket", url, parseError)) return fail(parseError);

    s.connection.Reset(WinHttpConnect(s.session.Get(), url.host.c_str(), url.port, 0));
    if (!s.connection) return fail(L"WinHttpConnect failed");
    Track(s, s.connection.Get());

    s.request.Reset(WinHttpOpenRequest(s.connection.Get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
    if (!s.request) return fail(L"WinHttpOpenRequest failed");
    Track(s, s.request.Get());

    const std::wstring headers = L"User-Agent: " + userAgent + L"\r\nOrigin: " + origins.data + L"\r\nReferer: " +
                                 origins.web + L"/\r\n";
    if (!WinHttpAddRequestHeaders(s.request.Get(), headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        return fail(L"WinHttpAddRequestHeaders failed");
    }
    if (!WinHttpSetOption(s.request.Get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        return fail(L"WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET failed");
    }

    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s);
    const bool sent = RunStep(s, timeout, [&] {
        return WinHttpSendRequest(s.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                  context) != FALSE;
    });
    const bool answered = sent && RunStep(s, timeout, [&] { return WinHttpReceiveResponse(s.request.Get(), nullptr) != FALSE; });
    if (!answered) return fail(L"WebSocket handshake failed");

    // Some WinHTTP implementations complete the upgrade over any answer; a
    // server that refused it (any status but 101) must not count as connected.
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    const bool refused = WinHttpQueryHeaders(s.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                                             WINHTTP_NO_HEADER_INDEX) &&
                         status != 101;
    HINTERNET socket = refused ? nullptr : WinHttpWebSocketCompleteUpgrade(s.request.Get(), context);
    s.request.Reset();
    if (socket == nullptr) return fail(L"WinHttpWebSocketCompleteUpgrade failed");
    s.socket.Reset(socket);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ++s.openHandles;
    }
    LogDebug(L"WS connect OK");
    return true;
}

bool WebSocketClient::SendText(const std::string& message, const std::string& secret) {
    if (!IsOpen()) return false;
    if (IsDebugLoggingOn()) {
        std::string masked = message;
        if (!secret.empty()) {
            for (size_t at = masked.find(secret); at != std::string::npos; at = masked.find(secret, at + 3)) {
                masked.replace(at, secret.size(), "***");
            }
        }
        LogLine(L"WS send: " + Utf8ToWide(FirstBytes(masked, 300)));
    }
    WebSocketAsyncState& s = *state_;
    // The platform reads the bytes after the call returns: they live in the state.
    s.sendBuffer = message;
    Arm(s);
    const DWORD result = WinHttpWebSocketSend(s.socket.Get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                              s.sendBuffer.empty() ? nullptr : &s.sendBuffer[0],
                                              static_cast<DWORD>(s.sendBuffer.size()));
    if (result != NO_ERROR) return false;
    const Completion c = WaitForCompletion(s, timeoutMs_);
    if (!c.completed) s.socket.Reset();  // a send that never completes: give the connection up
    return c.completed && !c.failed;
}

bool WebSocketClient::ReceiveMessage(std::string& message, bool& closed) {
    message.clear();
    closed = false;
    if (!IsOpen()) return false;
    WebSocketAsyncState& s = *state_;
    for (int piece = 0; piece < kMaxPiecesPerMessage && message.size() <= kMaxMessageBytes; ++piece) {
        Arm(s);
        DWORD result = WinHttpWebSocketReceive(s.socket.Get(), s.receiveBuffer, sizeof(s.receiveBuffer), nullptr,
                                               nullptr);
        Completion c;
        if (result == NO_ERROR) {
            c = WaitForCompletion(s, timeoutMs_);
            if (!c.completed) {
                // Nothing arrived in time: closing the handle cancels the pending receive.
                s.socket.Reset();
                result = ERROR_WINHTTP_TIMEOUT;
            } else if (c.failed) {
                result = c.error != 0 ? c.error : ERROR_WINHTTP_OPERATION_CANCELLED;
            }
        }
        if (result != NO_ERROR) {
            if (IsDebugLoggingOn()) LogLine(L"ERROR: WinHttpWebSocketReceive failed hr=" + std::to_wstring(result));
            return false;
        }
        if (c.type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            closed = true;
            return true;
        }
        message.append(s.receiveBuffer, std::min<size_t>(c.bytes, sizeof(s.receiveBuffer)));
        if (c.type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
            LogDebug(L"WS recv frame bytes=" + std::to_wstring(c.bytes));
            return true;
        }
    }
    // A message beyond any size the service sends: give the connection up.
    if (IsDebugLoggingOn()) LogLine(L"ERROR: WinHttpWebSocketReceive failed hr=" + std::to_wstring(ERROR_NOT_ENOUGH_MEMORY));
    s.socket.Reset();
    message.clear();
    return false;
}

void WebSocketClient::Close() {
    if (!state_) return;
    WebSocketAsyncState& s = *state_;
    const int handshakeWait = std::min(timeoutMs_, kCloseHandshakeWaitMs);
    if (s.socket) {
        RunStep(s, handshakeWait, [&] { return WinHttpWebSocketShutdown(s.socket.Get(), 1000, nullptr, 0) == NO_ERROR; });
        RunStep(s, handshakeWait, [&] { return WinHttpWebSocketClose(s.socket.Get(), 1000, nullptr, 0) == NO_ERROR; });
        s.socket.Reset();
    }
    s.request.Reset();
    s.connection.Reset();
    s.session.Reset();

    std::unique_lock<std::mutex> guard(s.lock);
    const bool allClosed = s.signal.wait_for(guard, std::chrono::milliseconds(kHandleClosingWaitMs),
                                             [&s] { return s.openHandles <= 0; });
    guard.unlock();
    if (allClosed) {
        state_.reset();
    } else {
        // A handle has not reported closing; its callback may still come, so
        // the state must outlive it.
        Park(std::move(state_));
    }
    FreeSettledParkedStates();
}
