#include "net/websocket_client.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/settings_record.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "net/url.h"
#include "net/winhttp_async.h"

namespace {

constexpr size_t kMaxMessageBytes = 64u << 20;
constexpr int kMaxPiecesPerMessage = 1 << 20;
constexpr std::uint32_t kCloseHandshakeWaitMs = 1000;

std::string FirstBytes(const std::string& text, size_t count) { return text.substr(0, std::min(count, text.size())); }

void LogReceiveFailure(DWORD code) {
    if (IsDebugLoggingOn()) LogLine(L"ERROR: WinHttpWebSocketReceive failed hr=" + std::to_wstring(code));
}

}  // namespace

WebSocketClient::WebSocketClient() = default;

WebSocketClient::~WebSocketClient() { Close(); }

bool WebSocketClient::IsOpen() const {
    std::lock_guard<std::mutex> guard(sendLock_);
    return state_ && state_->socket && !sendBroken_;
}

bool WebSocketClient::Connect(const std::wstring& userAgent, std::int32_t timeoutMs, std::wstring& error) {
    Close();
    refusedStatus_ = 0;
    retryAfterSeconds_ = 0;
    sendBroken_ = false;
    LogDebug(L"WS connect starting");
    timeoutMs_ = EffectiveTimeoutMs(timeoutMs);
    const int timeout = timeoutMs_;
    {
        std::lock_guard<std::mutex> guard(sendLock_);
        state_ = std::make_unique<WinHttpAsyncState>();
    }
    WinHttpAsyncState& s = *state_;
    const ServiceOrigins origins = CopyServiceOrigins();

    auto fail = [&](const std::wstring& text) {
        error = text;
        LogLine(L"ERROR: " + text);
        LogDebug(L"WS connect given up");
        Close();
        return false;
    };

    if (!OpenAsyncSession(s, userAgent)) return fail(L"WinHttpOpen failed");
    // Windows tries each address of a host for the connect time-out: half
    // the wait leaves room for a second address within the handshake's own.
    WinHttpSetTimeouts(s.session.Get(), timeout, std::max(timeout / 2, 1), timeout, timeout);

    ParsedUrl url;
    std::wstring parseError;
    if (!ParseUrl(origins.data + L"/socket.io/websocket", url, parseError)) return fail(parseError);

    s.connection.Reset(WinHttpConnect(s.session.Get(), url.host.c_str(), url.port, 0));
    if (!s.connection) return fail(L"WinHttpConnect failed");
    TrackHandle(s, s.connection.Get());

    s.request.Reset(WinHttpOpenRequest(s.connection.Get(), L"GET", url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
    if (!s.request) return fail(L"WinHttpOpenRequest failed");
    TrackHandle(s, s.request.Get());

    const std::wstring headers = L"User-Agent: " + userAgent + L"\r\nOrigin: " + origins.data + L"\r\nReferer: " +
                                 origins.web + L"/\r\n";
    if (!WinHttpAddRequestHeaders(s.request.Get(), headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        return fail(L"WinHttpAddRequestHeaders failed");
    }
    if (!WinHttpSetOption(s.request.Get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        return fail(L"WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET failed");
    }

    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s);
    const bool sent = RunStep(s, AsyncStep::SendRequest, static_cast<std::uint32_t>(timeout), [&]() -> DWORD {
                          return WinHttpSendRequest(s.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                    WINHTTP_NO_REQUEST_DATA, 0, 0, context)
                                     ? NO_ERROR
                                     : GetLastError();
                      }).Ok();
    const bool answered =
        sent && RunStep(s, AsyncStep::ReceiveResponse, static_cast<std::uint32_t>(timeout), [&]() -> DWORD {
                    return WinHttpReceiveResponse(s.request.Get(), nullptr) ? NO_ERROR : GetLastError();
                }).Ok();
    if (!answered) return fail(L"WebSocket handshake failed");

    // Some WinHTTP implementations complete the upgrade over any answer; a
    // server that refused it (any status but 101) must not count as connected.
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    const bool refused = WinHttpQueryHeaders(s.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                                             WINHTTP_NO_HEADER_INDEX) &&
                         status != 101;
    if (refused) {
        refusedStatus_ = status;
        DWORD seconds = 0;
        DWORD secondsSize = sizeof(seconds);
        if (WinHttpQueryHeaders(s.request.Get(), WINHTTP_QUERY_RETRY_AFTER | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &seconds, &secondsSize, WINHTTP_NO_HEADER_INDEX)) {
            retryAfterSeconds_ = seconds;
        }
    }
    HINTERNET socket = refused ? nullptr : WinHttpWebSocketCompleteUpgrade(s.request.Get(), context);
    s.request.Reset();
    if (socket == nullptr) return fail(L"WinHttpWebSocketCompleteUpgrade failed");
    // The socket inherits the session's callback and reports with the same
    // context; it is counted until it reports closing.
    {
        std::lock_guard<std::mutex> guard(sendLock_);
        s.socket.Reset(socket);
    }
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
    std::lock_guard<std::mutex> guard(sendLock_);
    if (!state_ || !state_->socket || sendBroken_) return false;
    WinHttpAsyncState& s = *state_;
    // The platform reads the bytes after the call returns: they live in the state.
    s.sendBuffer = message;
    const StepResult r = RunStep(s, AsyncStep::WsSend, static_cast<std::uint32_t>(timeoutMs_), [&]() -> DWORD {
        return WinHttpWebSocketSend(s.socket.Get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                    s.sendBuffer.empty() ? nullptr : &s.sendBuffer[0],
                                    static_cast<DWORD>(s.sendBuffer.size()));
    });
    // A send that failed or never completed: the connection is given up
    // (by its owner, which may be receiving right now).
    if (!r.Ok()) sendBroken_ = true;
    return r.Ok();
}

void WebSocketClient::DropSocket() {
    std::lock_guard<std::mutex> guard(sendLock_);
    if (state_) state_->socket.Reset();
}

ReceiveStatus WebSocketClient::Poll(std::string& message, std::uint32_t waitMs) {
    message.clear();
    if (sendBroken_ && state_ && state_->socket) {
        DropSocket();
        receivePending_ = false;
        partial_.clear();
        LogReceiveFailure(ERROR_WINHTTP_OPERATION_CANCELLED);
        return ReceiveStatus::Failed;
    }
    if (!IsOpen()) return ReceiveStatus::Failed;
    WinHttpAsyncState& s = *state_;
    const std::uint32_t deadline = TickCount32() + waitMs;
    for (int piece = 0; piece < kMaxPiecesPerMessage && partial_.size() <= kMaxMessageBytes; ++piece) {
        if (!receivePending_) {
            ArmStep(s, AsyncStep::WsReceive);
            const DWORD code = WinHttpWebSocketReceive(s.socket.Get(), s.buffer, sizeof(s.buffer), &s.receivedBytes,
                                                       &s.receivedType);
            if (code != NO_ERROR && code != ERROR_IO_PENDING) {
                LogReceiveFailure(code);
                partial_.clear();
                return ReceiveStatus::Failed;
            }
            receivePending_ = true;
        }
        const StepResult r = WaitForStep(s, AsyncStep::WsReceive, MsUntil(deadline), true);
        if (!r.completed) return ReceiveStatus::Pending;
        receivePending_ = false;
        if (r.failed) {
            LogReceiveFailure(r.error != 0 ? r.error : ERROR_WINHTTP_OPERATION_CANCELLED);
            partial_.clear();
            return ReceiveStatus::Failed;
        }
        if (r.type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            partial_.clear();
            return ReceiveStatus::Closed;
        }
        partial_.append(s.buffer, std::min<size_t>(r.bytes, sizeof(s.buffer)));
        if (r.type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
            LogDebug(L"WS recv frame bytes=" + std::to_wstring(r.bytes));
            message.swap(partial_);
            partial_.clear();
            return ReceiveStatus::Message;
        }
    }
    // A message beyond any size the service sends: give the connection up.
    LogReceiveFailure(ERROR_NOT_ENOUGH_MEMORY);
    DropSocket();
    receivePending_ = false;
    partial_.clear();
    return ReceiveStatus::Failed;
}

ReceiveStatus WebSocketClient::Receive(std::string& message, std::uint32_t deadlineTick) {
    const ReceiveStatus status = Poll(message, MsUntil(deadlineTick));
    if (status != ReceiveStatus::Pending) return status;
    // The deadline passed first: closing the handle cancels the pending receive.
    DropSocket();
    receivePending_ = false;
    partial_.clear();
    LogDebug(L"WS receive: the conversation's deadline passed");
    return ReceiveStatus::DeadlinePassed;
}

bool WebSocketClient::ReceiveMessage(std::string& message, bool& closed) {
    const ReceiveStatus status =
        Receive(message, static_cast<std::uint32_t>(TickCount32() + static_cast<std::uint32_t>(timeoutMs_)));
    closed = status == ReceiveStatus::Closed;
    if (status == ReceiveStatus::DeadlinePassed) LogReceiveFailure(ERROR_WINHTTP_TIMEOUT);
    return status == ReceiveStatus::Message || status == ReceiveStatus::Closed;
}

void WebSocketClient::Close() {
    // Senders wait: the handles go while no send is under way.
    std::lock_guard<std::mutex> guard(sendLock_);
    if (!state_) {
        receivePending_ = false;
        partial_.clear();
        return;
    }
    WinHttpAsyncState& s = *state_;
    const std::uint32_t handshakeWait = std::min<std::uint32_t>(static_cast<std::uint32_t>(timeoutMs_), kCloseHandshakeWaitMs);
    if (s.socket) {
        // ERROR_IO_PENDING is a shutdown started: its completion is waited for.
        RunStep(s, AsyncStep::WsShutdown, handshakeWait,
                [&]() -> DWORD { return WinHttpWebSocketShutdown(s.socket.Get(), 1000, nullptr, 0); });
        // A receive left under way between polls takes the service's close
        // frame (and whatever comes before it): it is drained here, so the
        // close that follows does not wait for a frame already taken.
        if (receivePending_) DrainUntilClosed(handshakeWait);
        RunStep(s, AsyncStep::WsClose, handshakeWait,
                [&]() -> DWORD { return WinHttpWebSocketClose(s.socket.Get(), 1000, nullptr, 0); });
    }
    receivePending_ = false;
    partial_.clear();
    RetireAsyncState(std::move(state_));
}

void WebSocketClient::DrainUntilClosed(std::uint32_t waitMs) {
    WinHttpAsyncState& s = *state_;
    const std::uint32_t deadline = TickCount32() + waitMs;
    for (int piece = 0; piece < kMaxPiecesPerMessage && receivePending_; ++piece) {
        const StepResult r = WaitForStep(s, AsyncStep::WsReceive, MsUntil(deadline), true);
        if (!r.completed) return;  // still under way: the close cancels it
        receivePending_ = false;
        if (r.failed || r.type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) return;
        ArmStep(s, AsyncStep::WsReceive);
        const DWORD code =
            WinHttpWebSocketReceive(s.socket.Get(), s.buffer, sizeof(s.buffer), &s.receivedBytes, &s.receivedType);
        receivePending_ = code == NO_ERROR || code == ERROR_IO_PENDING;
    }
}
