// One connection to the data host shared by many conversations, the way the
// service's own web front end uses it: its thread connects, sends the token
// once, echoes every heartbeat, and hands each incoming message to the
// conversation whose chart or quote session it names. Conversations send on
// it from their own threads and read what was handed to them from their
// mailbox. The thread (run by the service session) is the only one that
// connects, receives and closes; Register, Send and RequestStop may be called
// from any thread. The routing table has a lock of its own, never held
// together with any other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/websocket_client.h"

// How a conversation's place on a connection ended.
enum class ChannelEnd {
    Open,           // it has not ended
    PeerClosed,     // the service closed the connection
    ReceiveFailed,  // the connection failed, or brought what no reader can take
    SendFailed,     // a message could not be sent
    Stopped,        // the plug-in is stopping
};

// What the connection handed to one conversation: the payloads of each
// incoming message that named its sessions, message by message.
struct Mailbox {
    std::deque<std::vector<std::string>> batches;
    bool heard = false;  // anything was handed to it
    ChannelEnd end = ChannelEnd::Open;
    std::condition_variable signal;
};

// What the connection tells its owner along the way. Each is called on the
// connection's thread with no lock of the connection held.
struct ConnectionHooks {
    // Once, after the connect: `ok`, else the error, the refusal's HTTP
    // status (0 for none) and the seconds it asked to wait.
    std::function<void(bool ok, const std::wstring& error, std::uint32_t refusedStatus, std::uint32_t retryAfter)>
        connected;
    // Between waits: true when the connection should close now (idle,
    // retired and empty, or the plug-in stopping).
    std::function<bool()> shouldClose;
    // A message that concerns the whole connection (an error of the
    // service's): no new conversation should be placed on it.
    std::function<void(const std::string& payload)> connectionError;
    // Once, when the thread is about to close the connection (before any
    // conversation learns it ended), and once when its socket is closed.
    std::function<void(ChannelEnd how)> ending;
    std::function<void()> ended;
};

class ServiceConnection {
public:
    explicit ServiceConnection(std::uint64_t number) : number_(number) {}
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // The connection's thread: connects with `token` as its first message,
    // then reads and routes until it should close or ends.
    void Run(const std::wstring& userAgent, std::int32_t timeoutMs, const std::string& token,
             const ConnectionHooks& hooks);
    // Asks the thread to end the connection soon (within about a quarter of
    // a second plus the close handshake). Any thread.
    void RequestStop() { stopRequested_ = true; }

    // Adds a conversation's mailbox (a mailbox added after the connection
    // ended learns so at once), routes a session to it, and takes both off.
    void AddMailbox(const std::shared_ptr<Mailbox>& mailbox);
    void Route(const std::string& session, const std::shared_ptr<Mailbox>& mailbox);
    void Unroute(const std::string& session);
    void RemoveMailbox(const std::shared_ptr<Mailbox>& mailbox);
    // Waits for the next batch of `mailbox` until `deadlineTick`. Message:
    // `batch` filled; a mailbox whose connection ended gives its end.
    enum class Wait { Message, Ended, DeadlinePassed };
    Wait Next(Mailbox& mailbox, std::vector<std::string>& batch, std::uint32_t deadlineTick, ChannelEnd& end);

    bool Ended();
    bool Heard(const Mailbox& mailbox);
    // One framed message, from any thread. False when it could not be sent.
    bool Send(const std::string& framed, const std::string& secret = std::string());

    std::uint64_t Number() const { return number_; }
    // When a whole frame (heartbeats included) last came, and the longest
    // interval seen between two of the service's heartbeats (0 until two
    // came that were not read together).
    std::uint32_t LastFrameTick() const { return lastFrameTick_; }
    std::uint32_t HeartbeatIntervalMs() const { return heartbeatIntervalMs_; }
    // Milliseconds the upgrade took, and from the connect's start to the
    // service's first message (0 until it came).
    std::uint32_t UpgradeMs() const { return upgradeMs_; }
    std::uint32_t FirstMessageMs() const { return firstMessageMs_; }

private:
    void Read(const ConnectionHooks& hooks, std::uint32_t startTick);
    // Hands the payloads of one message to their mailboxes.
    void Dispatch(std::vector<std::string>& payloads, const ConnectionHooks& hooks);
    void EndAll(ChannelEnd how);

    const std::uint64_t number_;
    WebSocketClient client_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint32_t> lastFrameTick_{0};
    std::atomic<std::uint32_t> heartbeatIntervalMs_{0};
    std::atomic<std::uint32_t> upgradeMs_{0};
    std::atomic<std::uint32_t> firstMessageMs_{0};

    // Guarded by lock_ (alone).
    std::mutex lock_;
    std::map<std::string, std::shared_ptr<Mailbox>> routes_;  // session name -> its conversation
    std::set<std::shared_ptr<Mailbox>> mailboxes_;
    // The service's errors of the whole connection so far: a conversation
    // placed on it just as one came still hears of it.
    std::vector<std::string> connectionErrors_;
    ChannelEnd ended_ = ChannelEnd::Open;
};
