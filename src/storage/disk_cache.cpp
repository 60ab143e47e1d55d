#include "storage/disk_cache.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string_view>

#include "foundation/handles.h"
#include "foundation/log.h"
#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "foundation/volume.h"
#include "protocol/host_time.h"
#include "storage/cache_row.h"
#include "storage/file_io.h"
#include "storage/symbol_map.h"

namespace {

constexpr std::int64_t kIntradayLimitSeconds = 10800;  // 3 hours
constexpr std::int64_t kDailyLimitSeconds = 129600;    // 36 hours

std::int64_t ShiftSeconds(int periodicity, const PluginSettings& settings) {
    return periodicity >= 86400 ? static_cast<std::int64_t>(settings.EodTimeShiftDays) * 86400
                                : static_cast<std::int64_t>(settings.IntradayTimeShiftMinutes) * 60;
}

std::int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// Seconds since the file was last written; 0 for a time in the future.
bool FileAgeSeconds(const std::wstring& path, std::int64_t& age) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::int64_t difference = FileTimeValue(now) - FileTimeValue(data.ftLastWriteTime);
    age = difference > 0 ? difference / 10000000 : 0;
    return true;
}

// "bars_<key>.cache" -> "bars_<key>.session".
std::wstring CompanionPath(const std::wstring& cachePath) {
    const std::wstring suffix = L".cache";
    const bool cache = cachePath.size() >= suffix.size() &&
                       cachePath.compare(cachePath.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (cache ? cachePath.substr(0, cachePath.size() - suffix.size()) : cachePath) + L".session";
}

const char kCompanionHeader[] = "VelmarquinSession 1";
const char* const kCompanionKeys[] = {"symbol=", "timezone=", "session=", "holidays="};

}  // namespace

std::wstring CacheDirectory() {
    std::wstring base;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        base = s.databaseFolder;
    }
    if (base.empty()) base = ModuleFolder();
    return JoinPath(base, L"VelmarquinCache");
}

std::wstring CacheKey(const std::wstring& ticker, int periodicity, const PluginSettings& settings) {
    return ticker + L"|" + std::to_wstring(periodicity) + L"|" + settings.Market + L"|" +
           (settings.ExtendedHours ? L"1" : L"0") + L"|splits|" + (settings.UseSettlementAsClose ? L"1" : L"0") +
           L"|" + std::to_wstring(settings.IntradayTimeShiftMinutes) + L"|" +
           std::to_wstring(settings.EodTimeShiftDays) + L"|" +
           NormalizeResolutionOverride(settings.ResolutionOverride);
}

std::wstring CacheFilePath(const std::wstring& ticker, int periodicity, const PluginSettings& settings) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring name = L"bars_";
    for (unsigned char byte : WideToUtf8(CacheKey(ticker, periodicity, settings))) {
        name.push_back(kHex[byte >> 4]);
        name.push_back(kHex[byte & 15]);
    }
    return JoinPath(CacheDirectory(), name + L".cache");
}

bool LoadCachedBars(const std::wstring& path, int periodicity, const PluginSettings& settings,
                    std::vector<Bar>& bars, CacheAge wanted) {
    bars.clear();
    std::int64_t age = 0;
    if (!FileAgeSeconds(path, age)) return false;
    if (wanted == CacheAge::Fresh && age > (periodicity < 86400 ? kIntradayLimitSeconds : kDailyLimitSeconds)) {
        return false;
    }
    bool ok = false;
    const std::string content = ReadWholeFile(path, ok);
    if (!ok) return false;

    const bool daily = periodicity >= 86400;
    size_t pos = 0;
    bool first = true;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            // Every row is written with its line end, so a last row without one was cut
            // (a file damaged or half-copied outside the plug-in): its last number may be
            // shortened, and serving it would give the host a wrong value.
            if (!first) break;
            end = content.size();
        }
        const char* lineBegin = content.data() + pos;
        const char* lineEnd = content.data() + end;
        pos = end + 1;
        if (lineEnd > lineBegin && lineEnd[-1] == '\r') --lineEnd;
        if (first) {
            const std::string_view header(lineBegin, static_cast<size_t>(lineEnd - lineBegin));
            if (header.compare(0, 17, "VelmarquinCache 1") != 0) return false;
            first = false;
            continue;
        }
        long long time = 0;
        double v[6] = {0, 0, 0, 0, 0, 0};
        const int fields = ScanCacheRow(lineBegin, lineEnd, time, v);
        if (fields < 5) continue;  // the periodicity line and damaged rows
        Bar bar;
        bar.dateTime = ToHostDateTime(time, daily, settings);
        if (bar.dateTime == 0) continue;  // not convertible to local time
        bar.open = static_cast<float>(v[0]);
        bar.high = static_cast<float>(v[1]);
        bar.low = static_cast<float>(v[2]);
        bar.close = static_cast<float>(v[3]);
        // A file written before volumes were checked may hold "inf".
        bar.volume = fields >= 6 ? VolumeAsFloat(v[4]) : 0.0f;
        bar.openInterest = fields >= 7 ? VolumeAsFloat(v[5]) : 0.0f;
        bars.push_back(bar);
    }
    if (first) return false;
    LogDebug(L"Cache hit bars: " + std::to_wstring(bars.size()));
    return !bars.empty();
}

bool SaveCachedBars(const std::wstring& path, int periodicity, const std::vector<Bar>& bars,
                    const PluginSettings& settings) {
    if (bars.empty()) return false;
    const std::wstring folder = FolderOf(path);
    if (!folder.empty() && GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        CreateDirectoryW(folder.c_str(), nullptr);
    }

    const std::int64_t shift = ShiftSeconds(periodicity, settings);
    std::string text = "VelmarquinCache 1\r\nperiodicity=" + std::to_string(periodicity) + "\r\n";
    char row[kCacheRowCapacity];
    text.reserve(text.size() + bars.size() * 96);
    for (const Bar& bar : bars) {
        const long long time = static_cast<long long>(UnixFromPackedLocal(bar.dateTime) - shift);
        const float values[6] = {bar.open, bar.high, bar.low, bar.close, bar.volume, bar.openInterest};
        const size_t n = FormatCacheRow(time, values, row);
        if (n > 0) text.append(row, n);
    }

    if (!ReplaceWholeFile(path, text)) return false;
    LogDebug(L"Cache saved bars: " + std::to_wstring(bars.size()));
    return true;
}

bool DeleteTree(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    // A junction or symbolic link is removed itself; what it points at is
    // not this plug-in's to delete.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveDirectoryW(folder.c_str()) != FALSE;
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &entry));
    if (find.Valid()) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = JoinPath(folder, name);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveDirectoryW(child.c_str());
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.Get(), &entry));
        SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return RemoveDirectoryW(folder.c_str()) != FALSE;
}

void ClearCache() {
    // The symbol map goes with the folder; emptied first, so no write of
    // it brings the file back.
    DropSymbolMap();
    DeleteTree(CacheDirectory());
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.recentValid = false;
    s.symbolCache.clear();
    s.landedSeries.clear();
    s.landedOrder.clear();
}

void SaveSessionCompanion(const std::wstring& cachePath, const std::string& symbolId, const ExchangeSession& session) {
    const std::wstring path = CompanionPath(cachePath);
    const std::string values[] = {symbolId, session.timezone, session.session, session.holidays};
    bool writable = session.Known() && !symbolId.empty();
    for (const std::string& value : values) writable = writable && value.find_first_of("\r\n") == std::string::npos;
    if (!writable) {
        DeleteFileW(path.c_str());
        return;
    }
    std::string text = std::string(kCompanionHeader) + "\r\n";
    for (size_t i = 0; i < 4; ++i) text += kCompanionKeys[i] + values[i] + "\r\n";
    if (!ReplaceWholeFile(path, text)) DeleteFileW(path.c_str());
}

bool LoadSessionCompanion(const std::wstring& cachePath, std::string& symbolId, ExchangeSession& session) {
    bool ok = false;
    const std::string content = ReadWholeFile(CompanionPath(cachePath), ok);
    if (!ok || content.compare(0, sizeof(kCompanionHeader) - 1, kCompanionHeader) != 0) return false;
    std::string values[4];
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find("\r\n", pos);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(pos, end - pos);
        pos = end + 2;
        for (size_t i = 0; i < 4; ++i) {
            const std::string key = kCompanionKeys[i];
            if (line.compare(0, key.size(), key) == 0) values[i] = line.substr(key.size());
        }
    }
    ExchangeSession read{values[1], values[2], values[3]};
    if (values[0].empty() || !read.Known()) return false;
    symbolId = values[0];
    session = read;
    return true;
}
