// The receive side every service conversation shares: receive whole
// messages, split them into frames, echo heartbeats, hand each JSON payload
// to the conversation, honour one deadline. Runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/websocket_client.h"

enum class SessionStep { Continue, Finish };
enum class SessionEnd { Finished, ReceiveFailed, PeerClosed, DeadlinePassed };

struct SessionHandlers {
    // Each JSON payload of a message, in arrival order.
    std::function<SessionStep(const std::string& payload)> onPayload;
    // After all payloads of one message.
    std::function<SessionStep()> afterMessage;
};

SessionEnd RunSessionLoop(WebSocketClient& connection, std::uint32_t deadlineTick, const SessionHandlers& handlers);

// After a send failed: reads what the service already sent (until the
// connection ends, or the time-out passes) and gives the text of its first
// error answer (a refused token, say), or empty when it sent none.
std::string ServiceErrorBeforeFailure(WebSocketClient& connection, std::int32_t timeoutMs);
