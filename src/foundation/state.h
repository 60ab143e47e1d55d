// The one process-wide record, PluginState, and the few services that every
// layer may call (status line, streaming message, worker wake). Every field
// is guarded by stateLock: hold it only to copy in or out, never while
// logging, writing files or waiting on the network. Any thread may use it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/exchange_session.h"
#include "foundation/host_types.h"
#include "foundation/settings_record.h"

// Live data of one ticker, kept for the quote window and the overlay.
struct SymbolCacheEntry {
    RecentInfo served{};
    RecentInfo live{};
    Bar latestBar{};
    // The bar the stream last gave before it opened latestBar: its final
    // values, which the downloaded history may not have.
    Bar previousBar{};
    bool hasPreviousBar = false;
    // The live record holds the stream's pushed quotes (a poll's record is
    // made from a bar of its chart's interval).
    bool quoteStreamed = false;
    // Pushes the stream stored: a poll that began before the latest one
    // does not overwrite it.
    std::uint64_t pushes = 0;
    std::string symbolId;     // UTF-8, empty until known
    std::string sessionText;  // UTF-8
    std::int32_t barPeriodicity = 0;
    std::uint32_t lastPollTick = 0;
    std::uint32_t pollStartTick = 0;
    bool hasQuote = false;
    bool hasBar = false;
    bool running = false;
};

// Where GetRecentInfo copies the record it answers with. A changed record
// goes into the next slot of the ring, so a host thread still reading the
// previous answer is not disturbed by the next call.
struct RecentInfoSlots {
    RecentInfo records[4]{};
    unsigned current = 0;
};

// A ticker the host asked for recently.
struct ActiveTicker {
    std::wstring ticker;
    std::uint32_t lastSeenTick = 0;
    std::int32_t periodicity = 0;
    std::int32_t requestedBars = 0;
};

struct PluginState {
    std::mutex stateLock;
    PluginSettings settings;
    ServiceOrigins origins;
    std::wstring databaseFolder;
    std::wstring iniPath;
    std::wstring statusText = L"Idle";
    bool recentValid = false;
    RecentInfo recent{};
    std::map<std::string, SymbolCacheEntry> symbolCache;  // key: UTF-8 ticker
    std::map<std::string, ActiveTicker> activeTickers;    // key: UTF-8 ticker
    // What the service said of each symbol's sessions (its time zone, session
    // and holidays), from its symbol_resolved answers and the cache's companions.
    std::map<std::string, ExchangeSession> exchangeSessions;  // key: UTF-8 symbol identifier
    std::map<std::string, std::string> updateModes;  // the quotes' "update_mode", by symbol identifier
    // Series a background download landed, kept until a quote request takes
    // them (their cache file may not have been written).
    std::map<std::wstring, std::vector<Bar>> landedSeries;  // key: cache file path
    std::vector<std::wstring> landedOrder;                   // its keys, oldest first
    std::uint64_t pollCursor = 0;
    // With Streaming on the stream keeps every active ticker live and the
    // poll worker polls none, unless the stream's connection is lost: then
    // the poll worker keeps them live until it is back.
    bool streamLost = false;
    std::uint32_t lastStreamingNotifyTick = 0;
    bool streamingNoticePending = false;  // a change the throttle held back
    std::wstring lastTicker;
    std::int32_t lastPeriodicity = 86400;
    std::int32_t lastBars = 30000;
    void* mainWindow = nullptr;  // the host's HWND
    // The records GetRecentInfo hands to the host, one small ring per ticker.
    // Entries are never erased, so a pointer the host holds stays valid for
    // as long as the DLL is loaded (std::map nodes do not move).
    std::map<std::string, RecentInfoSlots> recentSlots;  // key: UTF-8 ticker

    // The status menu's hidden owner (an HWND, kept until the process ends)
    // and the window classes registered so far.
    void* popupHostWindow = nullptr;
    bool popupClassRegistered = false;
    bool configClassRegistered = false;
    bool pageClassRegistered = false;

    // The open configuration window (an HWND). Guarded by configWindowLock
    // alone, never taken together with stateLock.
    std::mutex configWindowLock;
    void* configWindow = nullptr;
};

PluginState& State();

// Copies taken under stateLock.
PluginSettings CopySettings();
ServiceOrigins CopyServiceOrigins();

// The services every layer may call. None may be called with stateLock held.

// Stores the status line and logs the change.
void SetStatusText(const std::wstring& text);

// Posts message 14024 to the host's main window; unforced posts come at most
// once per 3000 ms, and one held back by that is posted by the next
// PostPendingStreamingNotice after the 3000 ms have passed.
void NotifyHostStreaming(bool force);
// Posts the message an unforced NotifyHostStreaming held back, once its
// window has ended (the background threads call it as they go round).
void PostPendingStreamingNotice();

// Shortens the poll worker's current wait, if it is waiting. Never blocks.
void WakePollWorker();
