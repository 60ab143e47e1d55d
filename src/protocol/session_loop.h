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
