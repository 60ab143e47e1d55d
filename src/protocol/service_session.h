// The plug-in's one session with the data host: every conversation (a
// history download, a poll, the connection check, the stream) gets its
// place on one of a few long-lived connections from here, instead of opening
// its own. Connections are opened on demand, never more than the
// Connections setting allows and never faster than one per 250 ms; an upgrade
// the service refuses with 429 makes the session wait (Retry-After, else 5 s
// doubling to 60 s) while the conversations wait their turn; a connection
// carries at most six conversations at once, is retired well before the
// service's limit of sessions per connection, and closes after a minute
// without use. Waiting conversations are served in priority order, each
// within its own deadline. Started and stopped with the plug-in (Init,
// Release); any thread may open a channel. Its lock is its own, never held
// together with another.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/settings_record.h"
#include "protocol/service_connection.h"

// Who waits: the host's threads (the chart the user is looking at) before
// the background refreshes and polls, and those before the bulk update.
enum class Priority { Host = 0, Background = 1, Bulk = 2 };

struct ChannelRequest {
    Priority priority = Priority::Host;
    std::uint32_t waitMs = 16000;  // the longest wait for a place, connecting included, from OpenChannel
    std::wstring userAgent;
    std::int32_t timeoutMs = 8000;
    std::string token;    // the conversation's token; connections are shared only under the same account
    std::string account;  // whose token it is: empty for the anonymous one
    std::function<bool()> keepGoing;  // asked while waiting: false gives up
    std::uint32_t* refusedStatus = nullptr;  // out, when given: the HTTP status of an upgrade refused meanwhile
};

// A request for `settings` under the plug-in's account (signed in as the
// account session allows): the wait bounded by twice TimeoutMs (the place
// and its connection), as a conversation's connect always was.
ChannelRequest ChannelRequestFor(const PluginSettings& settings, Priority priority);

struct ChannelPlace;

// One conversation's place on a shared connection: the sessions it opens are
// routed to it, and closing it deletes them and gives the place back. One
// thread at a time uses a channel.
class Channel {
public:
    Channel();
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool IsOpen() const;
    // A fresh chart or quote session name ("cs_...", "qs_...") whose
    // messages come to this channel.
    std::string NewSession(const std::string& prefix);
    // Deletes one of the channel's sessions on the service now (a
    // long-lived channel that no longer needs it); false when the message
    // could not be sent.
    bool DeleteSession(const std::string& session);
    // One framed message; false when it could not be sent.
    bool SendText(const std::string& framed, const std::string& secret = std::string());
    // The payloads of the next incoming message for this channel's
    // sessions (and any error of the whole connection), in order.
    enum class Wait { Message, Ended, DeadlinePassed };
    Wait Next(std::vector<std::string>& batch, std::uint32_t deadlineTick, ChannelEnd& end);
    // Deletes the channel's sessions on the service and gives the place back.
    void Close();
    // A conversation whose answer did not come: when the connection brought
    // nothing at all for `silentMs`, it is stuck (a silent service, a frame
    // that never ends), and nothing more is placed on it.
    void RetireIfSilent(std::uint32_t silentMs);

    // The connection asked for its conversations to move on: a long-lived
    // conversation reopens on a fresh one.
    bool Retiring() const;
    std::uint64_t ConnectionNumber() const;
    // Whether the service said anything to this channel's sessions yet.
    bool Heard() const;
    std::uint32_t LastFrameTick() const;
    std::uint32_t HeartbeatIntervalMs() const;
    // Whether this channel's connection was opened for it, how long its
    // upgrade took and when the service's first message came (0: not yet).
    bool FreshConnection() const;
    std::uint32_t UpgradeMs() const;
    std::uint32_t FirstMessageMs() const;

private:
    friend bool OpenChannel(const ChannelRequest& request, Channel& channel, std::wstring& error);
    std::shared_ptr<ChannelPlace> place_;
    std::vector<std::string> sessions_;
};

// Waits for a place and gives it to `channel`. False with the reason: the
// connect's own error text when the connection it waited for failed, or a
// text saying the wait ran out.
bool OpenChannel(const ChannelRequest& request, Channel& channel, std::wstring& error);

void StartServiceSession();
// Nothing new is opened after this; every connection is closed and every
// waiting or running conversation ends at once. Returns within about 2.5 s.
void StopServiceSession();
// The same in two halves, for a Release that asks every thread first: the
// request never blocks; the wait ends at `deadlineTick` at the latest.
void RequestServiceSessionStop();
void AwaitServiceSessionStopped(std::uint32_t deadlineTick);

// What the session did so far (for the log, the tests and the bench).
struct ServiceSessionCounts {
    std::uint64_t connectionsOpened = 0;
    std::uint64_t refusals429 = 0;
    std::size_t open = 0;
};
ServiceSessionCounts CurrentServiceSessionCounts();
