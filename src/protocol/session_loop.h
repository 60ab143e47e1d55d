// The receive side every service conversation shares: take the messages
// the shared connection hands to the conversation's sessions, hand each
// JSON payload to the conversation, honour one deadline. Heartbeats are the
// connection's own business. Runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/service_session.h"

enum class SessionStep { Continue, Finish };
enum class SessionEnd { Finished, ReceiveFailed, PeerClosed, DeadlinePassed };

struct SessionHandlers {
    // Each JSON payload of a message, in arrival order.
    std::function<SessionStep(const std::string& payload)> onPayload;
    // After all payloads of one message.
    std::function<SessionStep()> afterMessage;
};

SessionEnd RunSessionLoop(Channel& channel, std::uint32_t deadlineTick, const SessionHandlers& handlers);

// After a send failed: reads what the service already sent (until the
// connection ends, or the time-out passes) and gives the text of its first
// error answer (a refused token, say), or empty when it sent none.
std::string ServiceErrorBeforeFailure(Channel& channel, std::int32_t timeoutMs);

// The deadline of a conversation's receive phase: one time-out from now.
std::uint32_t ConversationDeadline(std::int32_t timeoutMs);

// How a whole conversation went.
struct ConversationEnd {
    bool placed = false;          // false: no place was had; `error` says why
    std::wstring error;
    bool sendFailed = false;      // a message of the opening could not be sent
    std::string said;             // then, what the service said before (its error text), if anything
    SessionEnd end = SessionEnd::Finished;
};

// A conversation on a place of the session: takes the place, lets `opening`
// name its sessions and send its first messages (false: a send failed), and
// runs the receive loop until one time-out after the opening. A connection
// that turns out to have ended before the service said anything to this
// conversation (one that died while idle) is left for another, once. The
// channel is closed when this returns; `opening` and the handlers may use
// it meanwhile.
ConversationEnd RunConversation(const ChannelRequest& request, Channel& channel, std::int32_t timeoutMs,
                                const std::function<bool(Channel&)>& opening, const SessionHandlers& handlers);

// False, with the error text, for a conversation that never got going: no
// place (the session's or the connect's text), or an opening that could not
// be sent (what the service said before it, else `sendFailure`).
bool ConversationGotGoing(const ConversationEnd& ended, const wchar_t* sendFailure, std::wstring& errorText);
