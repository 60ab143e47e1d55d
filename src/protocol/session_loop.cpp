#include "protocol/session_loop.h"

#include <vector>

#include "foundation/clock.h"
#include "protocol/framing.h"
#include "protocol/message_sender.h"

SessionEnd RunSessionLoop(WebSocketClient& connection, std::uint32_t deadlineTick, const SessionHandlers& handlers) {
    std::string frames;
    while (BeforeDeadline(TickCount32(), deadlineTick)) {
        std::string message;
        bool closed = false;
        if (!connection.ReceiveMessage(message, closed)) return SessionEnd::ReceiveFailed;
        if (closed) return SessionEnd::PeerClosed;
        frames += message;
        std::vector<std::string> payloads;
        std::string payload;
        while (NextFramePayload(frames, payload)) {
            if (IsEchoPayload(payload)) {
                EchoPayload(connection, payload);
            } else if (!payload.empty()) {
                payloads.push_back(payload);
            }
        }
        for (const std::string& json : payloads) {
            if (handlers.onPayload && handlers.onPayload(json) == SessionStep::Finish) return SessionEnd::Finished;
        }
        if (handlers.afterMessage && handlers.afterMessage() == SessionStep::Finish) return SessionEnd::Finished;
    }
    return SessionEnd::DeadlinePassed;
}
