// Fixed status texts used by more than one layer.
#pragma once

#include <string>

// "Ready | right-click for menu": shown once the settings are loaded.
inline std::wstring ReadyStatusText() { return std::wstring(L"Ready") + L" | right-click for menu"; }
