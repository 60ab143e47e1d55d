#include "protocol/session_loop.h"

#include "foundation/clock.h"
#include "foundation/settings_record.h"
#include "protocol/framing.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"

SessionEnd RunSessionLoop(WebSocketClient& connection, std::uint32_t deadlineTick, const SessionHandlers& handlers) {
    FrameBuffer frames;
    std::string message;
    std::string payload;
    while (BeforeDeadline(TickCount32(), deadlineTick)) {
        switch (connection.Receive(message, deadlineTick)) {
            case ReceiveStatus::Failed: return SessionEnd::ReceiveFailed;
            case ReceiveStatus::Closed: return SessionEnd::PeerClosed;
            case ReceiveStatus::Pending:
            case ReceiveStatus::DeadlinePassed: return SessionEnd::DeadlinePassed;
            case ReceiveStatus::Message: break;
        }
        frames.Append(message);
        // Each payload is handled as it is split off; heartbeats are echoed
        // while the conversation has time left.
        while (frames.Next(payload)) {
            if (IsEchoPayload(payload)) {
                if (BeforeDeadline(TickCount32(), deadlineTick)) EchoPayload(connection, payload);
            } else if (!payload.empty() && handlers.onPayload && handlers.onPayload(payload) == SessionStep::Finish) {
                return SessionEnd::Finished;
            }
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
