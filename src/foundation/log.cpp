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

}  // namespace

void LogLine(const std::wstring& message) {
    std::string line = WideToUtf8(LinePrefix() + message);
    line += "\r\n";
    const std::wstring path = JoinPath(ModuleFolder(), L"Velmarquin.log");

    std::lock_guard<std::mutex> lock(LogLock());
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        const std::wstring fallback = message + L"\r\n";
        OutputDebugStringW(fallback.c_str());
        return;
    }
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
