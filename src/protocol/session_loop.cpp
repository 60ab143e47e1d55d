#include "protocol/session_loop.h"

#include <algorithm>
#include <vector>

#include "foundation/clock.h"
#include "foundation/settings_record.h"
#include "protocol/service_errors.h"

SessionEnd RunSessionLoop(Channel& channel, std::uint32_t deadlineTick, const SessionHandlers& handlers) {
    std::vector<std::string> batch;
    const std::uint32_t startTick = TickCount32();
    const std::uint32_t silentMs = std::max<std::uint32_t>(500, (deadlineTick - startTick) / 2);
    while (BeforeDeadline(TickCount32(), deadlineTick)) {
        ChannelEnd end = ChannelEnd::Open;
        switch (channel.Next(batch, deadlineTick, end)) {
            case Channel::Wait::DeadlinePassed:
                // Half the conversation without a single frame on the
                // connection (not even a heartbeat or another's answer):
                // the connection is stuck.
                channel.RetireIfSilent(silentMs);
                return SessionEnd::DeadlinePassed;
            case Channel::Wait::Ended: return end == ChannelEnd::PeerClosed ? SessionEnd::PeerClosed : SessionEnd::ReceiveFailed;
            case Channel::Wait::Message: break;
        }
        for (const std::string& payload : batch) {
            if (handlers.onPayload && handlers.onPayload(payload) == SessionStep::Finish) return SessionEnd::Finished;
        }
        if (handlers.afterMessage && handlers.afterMessage() == SessionStep::Finish) return SessionEnd::Finished;
    }
    channel.RetireIfSilent(silentMs);
    return SessionEnd::DeadlinePassed;
}

std::string ServiceErrorBeforeFailure(Channel& channel, std::int32_t timeoutMs) {
    std::string said;
    SessionHandlers handlers;
    handlers.onPayload = [&said](const std::string& payload) {
        said = ServiceErrorText(payload);
        return said.empty() ? SessionStep::Continue : SessionStep::Finish;
    };
    RunSessionLoop(channel, ConversationDeadline(timeoutMs), handlers);
    return said;
}

std::uint32_t ConversationDeadline(std::int32_t timeoutMs) {
    return static_cast<std::uint32_t>(TickCount32() + static_cast<std::uint64_t>(EffectiveTimeoutMs(timeoutMs)));
}
