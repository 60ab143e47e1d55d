#include "protocol/session_loop.h"

#include <vector>

#include "foundation/clock.h"
#include "foundation/settings_record.h"
#include "protocol/framing.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"

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

std::string ServiceErrorBeforeFailure(WebSocketClient& connection, std::int32_t timeoutMs) {
    std::string said;
    SessionHandlers handlers;
    handlers.onPayload = [&said](const std::string& payload) {
        said = ServiceErrorText(payload);
        return said.empty() ? SessionStep::Continue : SessionStep::Finish;
    };
    const std::uint32_t deadline =
        static_cast<std::uint32_t>(TickCount32() + static_cast<std::uint64_t>(EffectiveTimeoutMs(timeoutMs)));
    RunSessionLoop(connection, deadline, handlers);
    return said;
}
