// The plug-in's one background thread and the set of tickers it keeps live:
// every ticker the host asked for in the last 30 minutes (at most 64) is
// polled round robin, each once per PollSeconds, unless the stream keeps them
// live (see stream_worker.h). Start and Stop run on host
// threads (never on the worker); WakePollWorker (declared with the state)
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <vector>

#include "foundation/state.h"

// Starts a fresh worker (ending one left from an earlier start).
void StartPollWorker();
// Asks the worker to stop and waits until it has ended: at most the poll in
// progress plus one wait of up to a second.
void StopPollWorker();
// The same in two halves, so that Release can ask every thread first and
// then wait for all of them at once: the request never blocks.
void RequestPollWorkerStop();
void AwaitPollWorkerStopped();
// True while a worker thread exists (started and not yet joined).
bool PollWorkerRunning();
// True once the worker was asked to stop (until it is started again).
bool PollWorkerStopping();

// Records a host request in the active-ticker set. Call with stateLock held.
// True when the set changed for the worker (a new ticker, another interval).
bool TouchActiveTicker(PluginState& s, const std::wstring& ticker, std::uint32_t now, int periodicity,
                       int requestedBars);

// The tickers requested in the last 30 minutes, each with the chart interval
// it was last asked for (0: never for a chart, only for its quote). Takes
// stateLock.
std::vector<ActiveTicker> CopyActiveTickers();

struct DueTicker {
    bool picked = false;
    std::wstring ticker;
    int periodicity = 0;
    std::uint32_t waitMs = 1000;
    std::size_t activeCount = 0;
};
// The next due ticker in round-robin order, or how long to wait. Takes
// stateLock; drops tickers not requested for more than 30 minutes.
DueTicker PickDueTicker();
