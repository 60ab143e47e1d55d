#include "foundation/log.h"

#include <windows.h>

#include <cwchar>
#include <mutex>

#include "foundation/handles.h"
#include "foundation/path.h"
#include "foundation/state.h"
#include "foundation/text.h"

namespace {

std::mutex& LogLock() {
    static std::mutex logLock;
    return logLock;
}

std::wstring LinePrefix() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t prefix[96];
    const int n = std::swprintf(prefix, 96, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [tid=%lu] ",
                                static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
                                static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
                                static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond),
                                static_cast<unsigned>(now.wMilliseconds),
                                static_cast<unsigned long>(GetCurrentThreadId()));
    return n > 0 ? std::wstring(prefix, static_cast<size_t>(n)) : std::wstring();
}

// What this process has written to the log file, as far as it knows, so that
// a line that does not reach the limit costs no size query. Under logLock.
// The file may be shorter (deleted, rotated by another process) or longer
// (written by another process): the real size is asked for whenever this
// count says the limit is near, and then taken over.
std::uint64_t g_knownSize = 0;
bool g_sizeKnown = false;
// After a rotation failed (another program holds a file open without
// delete sharing), the next try waits until this size: lines go on to the
// current file meanwhile, without a rename attempt each.
std::uint64_t g_nextRotationTry = 0;
constexpr std::uint64_t kRotationRetryBytes = 64 * 1024;

// Shared for reading, writing and deleting, so that a log viewer, a second
// host process writing the same log, and our own rename of the file all
// work while it is open; the size query needs the right to read attributes.
FileHandle OpenForAppend(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::uint64_t FileSize(const FileHandle& file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file.Get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

// With logLock held: the file `line` is to be appended to, rotated first
// when the line would take it past the limit. Not valid when the file can be
// neither opened nor rotated.
FileHandle OpenLogFor(const std::wstring& path, size_t lineBytes) {
    FileHandle file = OpenForAppend(path);
    if (!file.Valid()) return file;
    if (!g_sizeKnown || g_knownSize + lineBytes > kLogRotateBytes) {
        g_knownSize = FileSize(file);
        g_sizeKnown = true;
    }
    if (g_knownSize == 0 || g_knownSize + lineBytes <= kLogRotateBytes) return file;
    if (g_knownSize < g_nextRotationTry) return file;
    file.Reset();
    if (!MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
        // The line still goes to the current file; the rotation is tried
        // again a little later.
        g_nextRotationTry = g_knownSize + kRotationRetryBytes;
        return OpenForAppend(path);
    }
    g_knownSize = 0;
    g_nextRotationTry = 0;
    return OpenForAppend(path);
}

}  // namespace

void LogLine(const std::wstring& message) {
    std::string line = WideToUtf8(LinePrefix() + message);
    line += "\r\n";
    const std::wstring path = JoinPath(ModuleFolder(), L"Velmarquin.log");

    std::lock_guard<std::mutex> lock(LogLock());
    FileHandle file = OpenLogFor(path, line.size());
    if (!file.Valid()) {
        // A log that cannot be opened or rotated: the line goes to the
        // debugger output instead, without its time prefix.
        const std::wstring fallback = message + L"\r\n";
        OutputDebugStringW(fallback.c_str());
        return;
    }
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    g_knownSize += written;
}

void LogLine(const std::string& utf8Message) { LogLine(Utf8ToWide(utf8Message)); }

bool IsDebugLoggingOn() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    return s.settings.DebugLogging;
}

void LogDebug(const std::wstring& message) {
    if (IsDebugLoggingOn()) LogLine(message);
}

void LogDebug(const std::string& utf8Message) {
    if (IsDebugLoggingOn()) LogLine(Utf8ToWide(utf8Message));
}
