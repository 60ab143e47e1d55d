// The diagnostic log: Velmarquin.log in the DLL's folder, UTF-8 with CR LF,
// one open/write/close per line under its own logLock. Any thread, but never
// with stateLock held (LogDebug reads the DebugLogging setting under it).
#pragma once

#include <string>

void LogLine(const std::wstring& message);
void LogLine(const std::string& utf8Message);

bool IsDebugLoggingOn();

void LogDebug(const std::wstring& message);
void LogDebug(const std::string& utf8Message);
