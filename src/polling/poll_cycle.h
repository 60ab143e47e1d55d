// One live refresh of one ticker: claim it under stateLock, make sure its
// service symbol is known, ask for the newest bars of its chart interval and,
// failing that, for the live quote; store the result in the ticker's cache
// entry and the most recent record, set the status and tell the host.
// Runs on the poll worker's thread.
#pragma once

#include <functional>

#include <cstdint>
#include <string>

#include "foundation/settings_record.h"

// True when fresh live data was stored. `errorText` is set only when the
// symbol could not be resolved or both polls failed.
bool PollTicker(const std::wstring& ticker, int periodicity, bool force, std::wstring& errorText);

// How long a claimed poll may run before another cycle takes it over.
std::uint32_t StaleRunMs(std::int32_t timeoutMs);

// Called inside every claimed cycle before it talks to the service; tests
// put one in to make a cycle fail in ways the service cannot (nullptr: none).
using PollProbe = void (*)(const std::wstring& ticker);
void SetPollProbe(PollProbe probe);

// Finds the service identifier of a ticker through the symbol search (the
// markets tried in turn); `errorText` says why when none is found. The debug
// lines begin with `logTag`.
// `keepGoing`, asked before each search, ends the search early (a stop).
bool ResolveLiveSymbol(const std::wstring& ticker, const PluginSettings& settings, std::string& symbolId,
                       std::wstring& errorText, const wchar_t* logTag,
                       const std::function<bool()>& keepGoing = nullptr);
