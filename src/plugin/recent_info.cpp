#include "plugin/recent_info.h"

#include <cstring>
#include <mutex>
#include <string>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "plugin/session_state.h"

namespace {

// Copies `record` into the ticker's slot ring and returns the slot. An
// unchanged record is not written again.
RecentInfo* PublishToSlot(PluginState& s, const std::string& key, const RecentInfo& record) {
    RecentInfoSlots& slots = s.recentSlots[key];
    RecentInfo& current = slots.records[slots.current];
    if (std::memcmp(&current, &record, sizeof(RecentInfo)) == 0) return &current;
    slots.current = (slots.current + 1) % (sizeof(slots.records) / sizeof(slots.records[0]));
    slots.records[slots.current] = record;
    return &slots.records[slots.current];
}

bool SameTicker(const RecentInfo& record, const std::string& key) {
    return std::strncmp(record.name, key.c_str(), sizeof(record.name)) == 0;
}

}  // namespace

bool IsServable(const RecentInfo& record) {
    return record.structSize == kRecentInfoSize && (record.statusBits & 1) != 0 && record.last > 0;
}

RecentInfo* ServeRecentInfo(const char* ticker) {
    if (ticker == nullptr) {
        LogLine(L"API GetRecentInfo called with null ticker");
        return nullptr;
    }
    const std::wstring t = AnsiToWide(ticker);
    const std::string key = WideToUtf8(t);
    RememberTicker(t, 0, 0);

    RecentInfo* result = nullptr;
    const wchar_t* source = L"";
    float last = 0;
    bool debug = false;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        debug = s.settings.DebugLogging;
        const auto entry = s.symbolCache.find(key);
        if (entry != s.symbolCache.end() && IsServable(entry->second.served)) {
            result = PublishToSlot(s, key, entry->second.served);
            source = L"symbol cache";
        } else if (s.recentValid && SameTicker(s.recent, key) && IsServable(s.recent)) {
            result = PublishToSlot(s, key, s.recent);
            source = L"recent cache";
        }
        if (result != nullptr) last = result->last;
    }
    // Called many times a second: the log lines are built only when wanted.
    if (debug) {
        LogLine(L"API GetRecentInfo ticker=" + t);
        if (result != nullptr) {
            LogLine(L"API GetRecentInfo returning " + std::wstring(source) + L" ticker=" + t + L" last=" + FormatFloat(last));
        } else {
            LogLine(L"API GetRecentInfo returning null ticker=" + t);
        }
    }
    return result;
}
