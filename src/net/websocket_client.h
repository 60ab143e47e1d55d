// One WebSocket connection to the service's data endpoint. One thread owns
// it: that thread connects, receives and closes; any thread may send
// meanwhile (sends go out one at a time, under the client's send lock, and a
// send never disturbs a receive under way). The interface is synchronous;
// underneath, WinHTTP runs asynchronously (net/winhttp_async.h) so that every
// step waits at most its time-out, a receive at most until its caller's
// deadline, and a silent peer can always be given up on.
#pragma once

#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

struct WinHttpAsyncState;

enum class ReceiveStatus {
    Message,
    Closed,
    Failed,
    DeadlinePassed,  // Receive: the message did not come in time; the connection is given up
    Pending,         // Poll: nothing whole yet; the receive stays under way
};

class WebSocketClient {
public:
    WebSocketClient();
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Opens DataOrigin + "/socket.io/websocket". `timeoutMs` is the TimeoutMs
    // setting (0 or below: 8000).
    bool Connect(const std::wstring& userAgent, std::int32_t timeoutMs, std::wstring& error);
    // `secret`, when given, is masked in the "WS send: " debug line (the
    // user's authentication token must not reach the log file). Any thread.
    // A send that does not complete in time breaks the connection: every
    // later send fails, and the owner's next receive reports the failure.
    bool SendText(const std::string& message, const std::string& secret = std::string());
    // The next whole message, all its pieces received before `deadlineTick`
    // (32-bit tick count). A message still incomplete at the deadline gives
    // DeadlinePassed and ends the connection.
    ReceiveStatus Receive(std::string& message, std::uint32_t deadlineTick);
    // The same with one time-out for the whole message; `closed` is set
    // (with an empty message) when the peer closed.
    bool ReceiveMessage(std::string& message, bool& closed);
    // Waits at most `waitMs` for the next whole message; Pending when it has
    // not come, and the receive (and what arrived of the message) is kept for
    // the next call. Sends may go out meanwhile. For a connection that lives
    // on between waits.
    ReceiveStatus Poll(std::string& message, std::uint32_t waitMs);
    void Close();
    // Any thread.
    bool IsOpen() const;
    // The HTTP status of the last upgrade the server answered with anything
    // but 101 (a refusal such as 403 or 429); 0 when none was refused.
    std::uint32_t RefusedStatus() const { return refusedStatus_; }
    // The seconds a refusal asked the client to wait (its Retry-After), 0
    // when it named none.
    std::uint32_t RetryAfterSeconds() const { return retryAfterSeconds_; }

private:
    // Waits (at most `waitMs`) for a pending receive to take the peer's
    // close frame, receiving and dropping what comes before it.
    void DrainUntilClosed(std::uint32_t waitMs);
    // Gives the socket up at once (a pending receive is cancelled). Owner only.
    void DropSocket();

    // Guards the socket handle and the state against senders: held by every
    // send and by the owner whenever it closes the socket or the state.
    mutable std::mutex sendLock_;
    std::unique_ptr<WinHttpAsyncState> state_;
    std::atomic<bool> sendBroken_{false};
    std::int32_t timeoutMs_ = 8000;
    std::uint32_t refusedStatus_ = 0;
    std::uint32_t retryAfterSeconds_ = 0;
    bool receivePending_ = false;  // a receive is under way in the platform
    std::string partial_;          // the pieces of a message received so far
};
