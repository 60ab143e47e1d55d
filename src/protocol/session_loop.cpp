#include "protocol/session_loop.h"

#include <algorithm>
#include <vector>

#include "foundation/clock.h"
#include "foundation/settings_record.h"
#include "foundation/text.h"
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

ConversationEnd RunConversation(const ChannelRequest& request, Channel& channel, std::int32_t timeoutMs,
                                const std::function<bool(Channel&)>& opening, const SessionHandlers& handlers) {
    ConversationEnd result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool lastTry = attempt == 1;
        result = ConversationEnd();
        if (!OpenChannel(request, channel, result.error)) return result;
        result.placed = true;
        if (!opening(channel)) {
            // A refused token is answered at once and the connection closed
            // while the opening is still being sent: what the service said.
            result.sendFailed = true;
            result.said = ServiceErrorBeforeFailure(channel, timeoutMs);
            const bool unheard = result.said.empty() && !channel.Heard();
            channel.Close();
            if (unheard && !lastTry) continue;
            return result;
        }
        result.end = RunSessionLoop(channel, ConversationDeadline(timeoutMs), handlers);
        const bool lost = result.end == SessionEnd::ReceiveFailed || result.end == SessionEnd::PeerClosed;
        const bool unheard = lost && !channel.Heard();
        channel.Close();
        if (unheard && !lastTry) continue;
        return result;
    }
    return result;
}

bool ConversationGotGoing(const ConversationEnd& ended, const wchar_t* sendFailure, std::wstring& errorText) {
    if (!ended.placed) {
        errorText = ended.error;
        return false;
    }
    if (ended.sendFailed) {
        errorText = ended.said.empty() ? std::wstring(sendFailure) : Utf8ToWide(ended.said);
        return false;
    }
    return true;
}
