// The background downloads of the host's window thread: one thread, started
// with Init and stopped with Release, holding a reference to this module
// while it runs (like the poll worker), so a host that unloads the DLL
// without Release cannot unmap its code. Requests for the same cache file are
// merged (the largest bar count wins), the newest request is served first
// (the chart the user looks at now), and at most 32 wait. A download that
// fails pauses its request for 30 s, or until the settings change. The queue
// has a lock of its own, never held together with stateLock; any thread may
// queue.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/settings_record.h"

enum class QueueAnswer {
    Queued,       // a download is queued or already under way
    Paused,       // it failed a moment ago: `reason` says why
    Unavailable,  // no download thread runs: the caller must fetch itself
};

QueueAnswer QueueDownload(const std::wstring& ticker, int periodicity, int bars, const PluginSettings& settings,
                          std::wstring& reason);

// Whether a download of `ticker` (any interval) waits in the queue or is
// under way: the host's "wait for backfill" asks this.
bool DownloadPending(const std::wstring& ticker);

// Starts a fresh download thread (ending one left from an earlier start).
void StartDownloadWorker();
// Stops it within about a second: what waits in the queue is dropped, and a
// download under way is abandoned (it writes nothing, and its thread ends
// on its own when its conversation does).
void StopDownloadWorker();
// The same in two halves, for a Release that asks every thread first.
void RequestDownloadWorkerStop();
void AwaitDownloadWorkerStopped(std::uint32_t deadlineTick);
// The database was unloaded: its queued downloads are dropped and the one
// under way abandoned (nothing of it is written anywhere); the worker goes
// on for the next database. Never blocks.
void AbandonDatabaseDownloads();
