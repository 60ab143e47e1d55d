#include "storage/symbol_map.h"

#include <windows.h>

#include <mutex>

#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/text.h"
#include "storage/disk_cache.h"
#include "storage/file_io.h"
#include "storage/symbol_map_text.h"

namespace {

// Guarded by g_lock (alone).
std::mutex g_lock;
std::wstring g_folder;  // the cache folder the map belongs to; empty: none loaded
SymbolMapEntries g_entries;
std::uint64_t g_version = 0;  // changes with every change of the entries
bool g_writing = false;       // a thread is writing the file

std::string MarketKey(const std::wstring& market) { return WideToUtf8(LowerTrimWide(market)); }

std::wstring MapPath(const std::wstring& folder) { return JoinPath(folder, L"symbols.map"); }

// Makes sure the map of `folder` is the one in memory.
void Load(const std::wstring& folder) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_folder == folder) return;
    }
    bool ok = false;
    const std::string text = ReadWholeFile(MapPath(folder), ok);
    SymbolMapEntries entries = ok ? ParseSymbolMap(text) : SymbolMapEntries();
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_folder == folder) return;
    g_folder = folder;
    g_entries = std::move(entries);
    ++g_version;
}

// Writes the map once no other thread is writing it; a change made during
// a write is written by that writer's next round.
void Save() {
    std::wstring folder;
    std::string text;
    std::uint64_t version = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_writing || g_folder.empty()) return;
        g_writing = true;
    }
    for (int round = 0; round < 100; ++round) {
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (g_folder.empty() || (round > 0 && version == g_version && folder == g_folder)) {
                g_writing = false;
                return;
            }
            folder = g_folder;
            version = g_version;
            text = FormatSymbolMap(g_entries);
        }
        if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(folder.c_str(), nullptr);
        if (!ReplaceWholeFile(MapPath(folder), text)) LogLine(L"ERROR: the symbol map could not be written in " + folder);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_writing = false;
}

}  // namespace

bool LookUpSymbol(const std::wstring& ticker, const std::wstring& market, std::string& symbolId) {
    Load(CacheDirectory());
    std::lock_guard<std::mutex> lock(g_lock);
    const auto found = g_entries.find(SymbolMapKey(MarketKey(market), WideToUtf8(ticker)));
    if (found == g_entries.end()) return false;
    symbolId = found->second;
    return true;
}

void RememberSymbol(const std::wstring& ticker, const std::wstring& market, const std::string& symbolId) {
    if (symbolId.empty()) return;
    Load(CacheDirectory());
    {
        std::lock_guard<std::mutex> lock(g_lock);
        std::string& entry = g_entries[SymbolMapKey(MarketKey(market), WideToUtf8(ticker))];
        if (entry == symbolId) return;
        entry = symbolId;
        ++g_version;
    }
    Save();
}

void ForgetSymbol(const std::wstring& ticker, const std::wstring& market, const std::string& symbolId) {
    Load(CacheDirectory());
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const auto found = g_entries.find(SymbolMapKey(MarketKey(market), WideToUtf8(ticker)));
        if (found == g_entries.end() || found->second != symbolId) return;
        g_entries.erase(found);
        ++g_version;
    }
    LogLine(L"SYMBOLS forgot ticker=" + ticker + L" symbolId=" + Utf8ToWide(symbolId) + L": the service refused it");
    Save();
}

void DropSymbolMap() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_folder.clear();
    g_entries.clear();
    ++g_version;
}
