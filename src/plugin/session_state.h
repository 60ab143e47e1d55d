// The session's current ticker: remembered on every host request and kept
// in section "State" of the settings file. Host threads.
#pragma once

#include <string>

// periodicity and bars of 0 or below mean "not given"; only a request that
// gives one of them writes the "State" section.
void RememberTicker(const std::wstring& ticker, int periodicity, int bars);
