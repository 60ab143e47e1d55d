// The full history of one ticker at one chart interval: disk cache first,
// else the symbol's identifier (the symbol map, else a search) and a
// chart-session conversation with rounds of older data on a place of the
// shared service session; a stale cache file is topped up with the bars
// since its newest one instead of downloaded again. Runs on the calling
// thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/exchange_session.h"
#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "protocol/series_reader.h"
#include "protocol/service_session.h"
#include "storage/disk_cache.h"

// The disk cache first, then the download: the whole history on the calling thread.
bool FetchBars(const std::wstring& ticker, int periodicity, int requestedBars, std::vector<Bar>& bars,
               std::wstring& errorText, Priority priority = Priority::Host);

// The cache part alone: true with the newest `requestedBars` bars of the
// request's cache file (fresh only, or of any age), its companion loaded and
// the in-memory caches updated. No network.
bool CachedBars(const std::wstring& ticker, int periodicity, int requestedBars, const PluginSettings& settings,
                std::vector<Bar>& bars, CacheAge age);

// What a background download is asked between its steps: whether it is
// still wanted (false: it stops and writes nothing more), and, once its bars
// are complete, whether it may write them now (the owner ends that permission
// when DownloadBars returns).
struct DownloadGate {
    std::function<bool()> keepGoing;
    std::function<bool()> beginAccept;
};

// The network part alone: the symbol's identifier, the conversation (a
// top-up of a stale cache file where it can be), and the acceptance into the
// caches and the cache file, with `settings`.
bool DownloadBars(const std::wstring& ticker, int periodicity, int requestedBars, const PluginSettings& settings,
                  std::vector<Bar>& bars, std::wstring& errorText, const DownloadGate* gate = nullptr,
                  Priority priority = Priority::Host);

// What a history conversation is given besides its request, and what it
// tells besides the bars.
struct HistoryConversation {
    const DownloadGate* gate = nullptr;  // asked between messages whether the bars are still wanted
    bool showProgress = true;            // the bars so far go into RecentCache as they arrive
    int onlyNewest = 0;                  // > 0: ask for this many newest bars once, no older rounds (a top-up)
    ExchangeSession session;             // out: the symbol's sessions, when the service said
    std::string updateMode;              // out: the quote's "update_mode" ("streaming", "delayed_streaming_900" ...)
};

// The conversation alone, for a resolved symbol, on a place the session
// gives for `request` (its token and its priority): the bars, oldest first,
// and nothing written anywhere but RecentCache (only with showProgress).
bool ConverseHistory(const std::wstring& ticker, const std::string& symbolId, const ChannelRequest& request,
                     int periodicity, int requestedBars, const PluginSettings& settings, std::vector<Bar>& bars,
                     std::wstring& errorText, HistoryConversation& run);

std::string ResolutionFor(int periodicity, const PluginSettings& settings);
// Merges the bars of one series payload into `bars` (later values win for
// equal times), sorted and unique; true when `bars` is not empty.
// Daily bars are dated by `dater` when one is given (the exchange's calendar).
bool ParseSeriesPayload(const std::string& payload, int periodicity, const PluginSettings& settings,
                        std::vector<Bar>& bars, const DailyDater* dater = nullptr);
bool RequestMoreData(Channel& channel, const std::string& chartSession, const std::string& seriesId, int count);
