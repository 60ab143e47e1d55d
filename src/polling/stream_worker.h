// The live stream: with the Streaming setting on, one thread keeps one
// connection to the data host open while the host has active tickers. Every
// active ticker is in one quote session (prices pushed as they change) and
// every one a chart asked for has, as far as the service allows series, a
// small series of its chart interval (its newest bar pushed as it changes). What arrives goes straight
// into the ticker's records. A silent connection is closed and opened again;
// reconnects back off from 1 s to 60 s; while the stream is down the poll
// worker keeps the tickers fresh. Start and Stop run on host threads; the
// thread holds a reference to this module while it runs.
#pragma once

#include <cstdint>

// Starts a fresh stream thread (ending one left from an earlier start). It
// does nothing while Streaming is off or no ticker is active.
void StartStreamWorker();
// Stops it: returns within about a second plus the close handshake's own
// bound, whatever the connection is doing (a thread still inside a connect
// or a symbol search is left to end on its own, writing nothing).
void StopStreamWorker();
// The same in two halves, for a Release that asks every thread first: the
// request never blocks; the wait ends at `deadlineTick` at the latest.
void RequestStreamWorkerStop();
void AwaitStreamWorkerStopped(std::uint32_t deadlineTick);
