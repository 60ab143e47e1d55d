// WinHTTP in asynchronous mode under a synchronous interface. One
// WinHttpAsyncState belongs to one conversation (an HTTPS request or a
// WebSocket) on one thread: its handles report to it through the status
// callback, and each step is started and then waited for, for at most the
// time its caller allows; a step that does not complete in time is given up
// by closing the handle, which cancels it. A completion counts only for the
// step it belongs to, so a late report of a cancelled step never ends the
// wait of the next one. A state is freed once every handle has reported
// closing and WinHTTP says its last callback has returned (the session's
// unload event, where the platform takes that option). A state not settled when
// its conversation ends is parked, with a reference to this module, and a
// thread-pool timer frees it when it settles, also after Release, so a late
// callback never meets freed memory or unmapped code and the module is given
// back in the end.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/handles.h"
#include "net/winhttp_handle.h"

enum class AsyncStep { None, SendRequest, ReceiveResponse, QueryData, ReadData, WsSend, WsReceive, WsShutdown, WsClose };

// What a step's completion reported.
struct Completion {
    bool done = false;
    bool failed = false;
    DWORD error = 0;
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
};

struct WinHttpAsyncState {
    std::mutex lock;
    std::condition_variable signal;
    // The step being waited for and what its completion reported. A
    // WebSocket receive has a slot of its own: it may stay pending while
    // other steps (sends) run.
    AsyncStep armed = AsyncStep::None;
    Completion main;
    bool receiveArmed = false;
    Completion received;
    std::atomic<int> openHandles{0};
    void* moduleReference = nullptr;  // held while parked
    // Signalled by WinHTTP once the session and all its children are closed
    // and no callback runs any more; not valid where the option is refused.
    FileHandle unloadEvent;
    std::uint32_t closedSeenTick = 0;  // without the event: when every handle was first seen closed

    // Buffers the platform reads or writes after a call returns: they live
    // as long as the state. The receive's out-parameters are required by
    // the platform even in asynchronous mode.
    char buffer[8192];
    DWORD receivedBytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE receivedType = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    std::string sendBuffer;

    // Closed in the order socket, request, connection, session.
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
    WinHttpHandle socket;
};

struct StepResult {
    bool completed = false;  // false: not started, or no completion in time
    bool failed = false;     // the step's own REQUEST_ERROR
    DWORD error = 0;         // the platform's code; ERROR_WINHTTP_TIMEOUT when it did not complete in time
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    bool Ok() const { return completed && !failed; }
};

// Opens the state's session in asynchronous mode, with the status callback
// registered before the handle is counted: the Windows proxy settings (and
// the PAC script a company uses) where Windows supports them, else the
// default proxy setting. False when no session could be made.
bool OpenAsyncSession(WinHttpAsyncState& s, const std::wstring& userAgent);
// How the last OpenAsyncSession of this process reached the network:
// "automatic" or "default".
const wchar_t* SessionProxyKind();

// Makes a connection, request or socket handle report to `s`, counted until
// it reports HANDLE_CLOSING.
void TrackHandle(WinHttpAsyncState& s, HINTERNET handle);

// Starts `step` with `start` (returning the platform's code: NO_ERROR, or
// ERROR_IO_PENDING for a call that completes later) and waits for that
// step's completion for at most `waitMs`.
template <typename Start>
StepResult RunStep(WinHttpAsyncState& s, AsyncStep step, std::uint32_t waitMs, Start start);

void ArmStep(WinHttpAsyncState& s, AsyncStep step);
// Waits for the completion of `step` for at most `waitMs`. A step that has
// not completed is given up (its late report then counts for nothing) unless
// `keepArmed`: a receive left pending is waited for again later.
StepResult WaitForStep(WinHttpAsyncState& s, AsyncStep step, std::uint32_t waitMs, bool keepArmed = false);

template <typename Start>
StepResult RunStep(WinHttpAsyncState& s, AsyncStep step, std::uint32_t waitMs, Start start) {
    ArmStep(s, step);
    const DWORD code = start();
    if (code != NO_ERROR && code != ERROR_IO_PENDING) {
        StepResult r;
        r.failed = true;
        r.error = code;
        return r;
    }
    return WaitForStep(s, step, waitMs);
}

// Closes every handle of the state, then frees it, or parks it when a handle
// has not reported closing within a short wait. Frees the parked states that
// have settled since.
void RetireAsyncState(std::unique_ptr<WinHttpAsyncState> state);

// Frees every parked state that has settled, waiting at most `waitMs` for
// the others (Release). One still unsettled is freed later, when it settles.
void SweepParkedStates(std::uint32_t waitMs);
std::size_t ParkedStateCount();

// Milliseconds from now until `deadlineTick` (32-bit tick count), 0 once passed.
std::uint32_t MsUntil(std::uint32_t deadlineTick);
