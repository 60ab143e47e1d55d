// The diagnostic log: Velmarquin.log in the DLL's folder, UTF-8 with CR LF,
// one open/write/close per line under its own logLock. A line that would take
// the file past kLogRotateBytes first renames it to Velmarquin.log.1
// (replacing an older one) and starts a new file, so at most two files of
// about 10 MB exist. Any thread, but never with stateLock held (LogDebug
// reads the DebugLogging setting under it).
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint64_t kLogRotateBytes = 10u * 1024 * 1024;

void LogLine(const std::wstring& message);
void LogLine(const std::string& utf8Message);

bool IsDebugLoggingOn();

void LogDebug(const std::wstring& message);
void LogDebug(const std::string& utf8Message);
