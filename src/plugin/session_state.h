// The session's current ticker, remembered on every host request and kept in
// section "State" of the settings file, and the streaming message that tells
// the host new data is ready (NotifyHostStreaming, declared with the state).
// Host threads and the poll worker.
#pragma once

#include <string>

// periodicity and bars of 0 or below mean "not given"; only a request that
// gives one of them writes the "State" section.
void RememberTicker(const std::wstring& ticker, int periodicity, int bars);

// Takes the last session's ticker from section "State" of `iniPath` when no
// ticker is known yet. True when it was restored.
bool RestoreSessionState(const std::wstring& iniPath);

// The message number the host redraws on.
constexpr unsigned kStreamingMessage = 0x0400 + 13000;  // WM_USER + 13000
