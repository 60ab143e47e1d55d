// The Tools tab's connection check: started with the settings as they stand
// in the window (unsaved edits included) for the ticker typed beside the
// button, run on a thread of its own so the window stays responsive, its
// steps shown as they finish, copied to the clipboard on request. Closing
// the window abandons the check: its thread stops before the next step and
// ends when the step under way does (each step is bounded by TimeoutMs).
// The functions run on the window's thread.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include "ui/config_controls.h"

// Posted to the configuration window when the check has more to show.
constexpr UINT kCheckProgressMessage = WM_APP + 21;
// Posted to it to switch to the Tools tab and start the check.
constexpr UINT kStartCheckMessage = WM_APP + 22;

// Shared by the window and the check's thread.
struct CheckRun {
    std::mutex lock;
    HWND window = nullptr;  // the window to tell, until it goes
    std::wstring text;      // everything shown so far
    bool running = false;
};

// The ticker the check starts with: the last one the host asked for, else AAPL.
std::wstring DefaultCheckTicker();

void StartConnectionCheck(HWND window, ConfigContext& ctx);
// Shows what the check has found so far (on kCheckProgressMessage).
void ShowCheckProgress(ConfigContext& ctx);
// Puts the results on the clipboard as text; false when there is none or
// the clipboard cannot be had.
bool CopyCheckResults(HWND window, const ConfigContext& ctx);
// The window is going: the check tells it nothing more and stops.
void AbandonConnectionCheck(ConfigContext& ctx);
