#include "protocol/service_connection.h"

#include <chrono>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "protocol/framing.h"
#include "protocol/json_text.h"
#include "protocol/message_route.h"
#include "protocol/message_sender.h"
#include "protocol/service_errors.h"

namespace {

// One wait of the reader; also how soon a stop request is seen.
constexpr std::uint32_t kReadSliceMs = 250;
// The service never splits a frame across messages. A frame still
// unfinished after this many messages, or this many bytes waiting, will
// never finish (a length no frame can have): the connection is given up
// rather than every conversation on it held until its deadline.
constexpr int kUnfinishedMessages = 16;
// Two heartbeats closer than this came in one read.
constexpr std::uint32_t kBackToBackMs = 250;
constexpr size_t kMaxWaitingBytes = 16u << 20;

const wchar_t* EndName(ChannelEnd how) {
    switch (how) {
        case ChannelEnd::PeerClosed: return L"closed by the service";
        case ChannelEnd::ReceiveFailed: return L"receive failed";
        case ChannelEnd::SendFailed: return L"send failed";
        case ChannelEnd::Stopped: return L"closed";
        case ChannelEnd::Open: break;
    }
    return L"open";
}

}  // namespace

void ServiceConnection::Run(const std::wstring& userAgent, std::int32_t timeoutMs, const std::string& token,
                            const ConnectionHooks& hooks) {
    const std::uint32_t start = TickCount32();
    std::wstring error;
    if (!client_.Connect(userAgent, timeoutMs, error)) {
        EndAll(ChannelEnd::ReceiveFailed);
        if (hooks.connected) hooks.connected(false, error, client_.RefusedStatus(), client_.RetryAfterSeconds());
        return;
    }
    upgradeMs_ = TickCount32() - start;
    lastFrameTick_ = TickCount32();
    // The token goes once per connection, before any conversation's message.
    const std::string secret = token == "unauthorized_user_token" ? std::string() : token;
    if (!Send(FrameText(BuildMessage("set_auth_token", {JsonQuote(token)})), secret)) {
        client_.Close();
        EndAll(ChannelEnd::SendFailed);
        if (hooks.connected) hooks.connected(false, L"Failed to send TradingView websocket messages", 0, 0);
        return;
    }
    if (hooks.connected) hooks.connected(true, std::wstring(), 0, 0);
    Read(hooks, start);
}

void ServiceConnection::Read(const ConnectionHooks& hooks, std::uint32_t startTick) {
    FrameBuffer frames;
    std::string message;
    std::string payload;
    std::vector<std::string> payloads;
    std::uint32_t lastHeartbeatTick = 0;
    int messagesWithFrameUnfinished = 0;
    ChannelEnd how = ChannelEnd::Stopped;
    for (;;) {
        if (stopRequested_ || (hooks.shouldClose && hooks.shouldClose())) break;
        const ReceiveStatus status = client_.Poll(message, kReadSliceMs);
        if (status == ReceiveStatus::Pending || status == ReceiveStatus::DeadlinePassed) continue;
        if (status == ReceiveStatus::Closed) {
            how = ChannelEnd::PeerClosed;
            break;
        }
        if (status == ReceiveStatus::Failed) {
            how = ChannelEnd::ReceiveFailed;
            break;
        }
        const std::uint32_t now = TickCount32();
        if (firstMessageMs_ == 0) firstMessageMs_ = std::max<std::uint32_t>(1, now - startTick);
        frames.Append(message);
        payloads.clear();
        while (frames.Next(payload)) {
            lastFrameTick_ = now;
            if (IsEchoPayload(payload)) {
                // Heartbeats go straight back, whoever else is waiting.
                if (payload.compare(0, 3, "~h~") == 0) {
                    // Heartbeats read back to back (after a slow moment)
                    // say nothing of their period: the longest gap counts.
                    const std::uint32_t gap = lastHeartbeatTick != 0 ? now - lastHeartbeatTick : 0;
                    if (gap >= kBackToBackMs && gap > heartbeatIntervalMs_) heartbeatIntervalMs_ = gap;
                    lastHeartbeatTick = now;
                }
                Send(FrameText(payload));
            } else if (!payload.empty()) {
                payloads.push_back(std::move(payload));
                payload.clear();
            }
        }
        if (!payloads.empty()) Dispatch(payloads, hooks);
        messagesWithFrameUnfinished = frames.Pending() == 0 ? 0 : messagesWithFrameUnfinished + 1;
        if (messagesWithFrameUnfinished >= kUnfinishedMessages || frames.Pending() > kMaxWaitingBytes) {
            LogLine(L"SESSION connection " + std::to_wstring(number_) + L": a frame that never ends; giving it up");
            how = ChannelEnd::ReceiveFailed;
            break;
        }
    }
    if (hooks.ending) hooks.ending(how);
    EndAll(how);
    client_.Close();
    if (hooks.ended) hooks.ended();
    LogDebug(L"SESSION connection " + std::to_wstring(number_) + L" " + EndName(how));
}

void ServiceConnection::Dispatch(std::vector<std::string>& payloads, const ConnectionHooks& hooks) {
    std::map<std::shared_ptr<Mailbox>, std::vector<std::string>> handed;
    std::vector<std::string> everyone;  // errors of the whole connection
    std::vector<std::string> unrouted;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::string& p : payloads) {
            const MessageRoute route = ReadMessageRoute(p);
            const auto owner = route.session.empty() ? routes_.end() : routes_.find(route.session);
            // An error that names a live session (the method and its
            // arguments) concerns that session alone; one that names none
            // ends every conversation here.
            const bool own = owner != routes_.end() &&
                             (route.kind == RouteKind::Session || route.kind == RouteKind::CriticalError);
            if (own) {
                handed[owner->second].push_back(std::move(p));
            } else if (route.kind == RouteKind::ProtocolError || route.kind == RouteKind::CriticalError) {
                everyone.push_back(std::move(p));
            } else if (route.kind == RouteKind::Session) {
                unrouted.push_back(route.name + " " + route.session);
            }
        }
    }
    // The owner hears of an error of the whole connection (a refused token
    // among them) before any conversation does: one that ends on it and
    // starts again must not be placed on this connection or given that token.
    for (const std::string& error : everyone) {
        LogLine(L"SESSION connection " + std::to_wstring(number_) + L": " + Utf8ToWide(ServiceErrorText(error)));
        if (hooks.connectionError) hooks.connectionError(error);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!everyone.empty()) {
            if (connectionErrors_.size() < 16) {
                connectionErrors_.insert(connectionErrors_.end(), everyone.begin(), everyone.end());
            }
            for (const auto& mailbox : mailboxes_) {
                auto& batch = handed[mailbox];
                batch.insert(batch.end(), everyone.begin(), everyone.end());
            }
        }
        for (auto& entry : handed) {
            entry.first->heard = true;
            entry.first->batches.push_back(std::move(entry.second));
            entry.first->signal.notify_all();
        }
    }
    if (!unrouted.empty() && IsDebugLoggingOn()) {
        for (const std::string& what : unrouted) {
            LogLine(L"SESSION connection " + std::to_wstring(number_) + L": dropped " + Utf8ToWide(what) +
                    L" (no live session of that name)");
        }
    }
}

void ServiceConnection::EndAll(ChannelEnd how) {
    std::lock_guard<std::mutex> guard(lock_);
    if (ended_ == ChannelEnd::Open) ended_ = how;
    for (const auto& mailbox : mailboxes_) {
        if (mailbox->end == ChannelEnd::Open) mailbox->end = how;
        mailbox->signal.notify_all();
    }
}

void ServiceConnection::AddMailbox(const std::shared_ptr<Mailbox>& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    mailboxes_.insert(mailbox);
    if (!connectionErrors_.empty()) {
        mailbox->batches.push_back(connectionErrors_);
        mailbox->heard = true;
    }
    if (ended_ != ChannelEnd::Open && mailbox->end == ChannelEnd::Open) mailbox->end = ended_;
}

void ServiceConnection::Route(const std::string& session, const std::shared_ptr<Mailbox>& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    routes_[session] = mailbox;
}

void ServiceConnection::Unroute(const std::string& session) {
    std::lock_guard<std::mutex> guard(lock_);
    routes_.erase(session);
}

void ServiceConnection::RemoveMailbox(const std::shared_ptr<Mailbox>& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    mailboxes_.erase(mailbox);
    for (auto it = routes_.begin(); it != routes_.end();) {
        it = it->second == mailbox ? routes_.erase(it) : std::next(it);
    }
}

ServiceConnection::Wait ServiceConnection::Next(Mailbox& mailbox, std::vector<std::string>& batch,
                                                std::uint32_t deadlineTick, ChannelEnd& end) {
    batch.clear();
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (!mailbox.batches.empty()) {
            batch = std::move(mailbox.batches.front());
            mailbox.batches.pop_front();
            return Wait::Message;
        }
        if (mailbox.end != ChannelEnd::Open) {
            end = mailbox.end;
            return Wait::Ended;
        }
        const std::uint32_t now = TickCount32();
        if (!BeforeDeadline(now, deadlineTick)) return Wait::DeadlinePassed;
        mailbox.signal.wait_for(guard, std::chrono::milliseconds(deadlineTick - now));
    }
}

bool ServiceConnection::Ended() {
    std::lock_guard<std::mutex> guard(lock_);
    return ended_ != ChannelEnd::Open;
}

bool ServiceConnection::Heard(const Mailbox& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    return mailbox.heard;
}

bool ServiceConnection::Send(const std::string& framed, const std::string& secret) {
    return client_.SendText(framed, secret);
}
