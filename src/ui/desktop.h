// What the menu and the configuration window hand to the desktop: message
// boxes, the technical guide opened through the shell, and the plug-in's
// module instance for its window classes. Tests may replace the message box
// and the shell call, so no dialog or browser appears. Host threads only.
#pragma once

#include <windows.h>

#include <string>

// The technical guide beside the plug-in library.
std::wstring TechnicalGuidePath();

// Opens the technical guide with the shell's "open" verb; a failure is not reported.
void OpenTechnicalGuide();

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags);

// The instance that owns the plug-in's window classes: this DLL, or the
// program itself when the code is linked into it.
HINSTANCE PluginInstance();

struct PluginState;
// Registers a window class of this plug-in once (`registered` is the flag in
// PluginState); a class that already exists counts as registered.
bool RegisterPluginClass(bool PluginState::*registered, const wchar_t* name, WNDPROC procedure, HBRUSH background);

// A window procedure whose body may throw: no exception crosses into the
// platform; the message then gets the default handling.
template <LRESULT (*Body)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK GuardedProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        return Body(window, message, wParam, lParam);
    } catch (...) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Keeps this module mapped while one of its own message loops (the
// configuration window, the status menu) runs on a host thread: a host that
// releases and unloads the plug-in from inside that loop cannot unmap the
// code the loop returns into. The reference is given back by a short-lived
// thread once the host thread has long left this module's code; if no
// thread can be made, it is kept and the module stays until the process ends.
class ModuleHold {
public:
    ModuleHold();
    ~ModuleHold();
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;

private:
    HMODULE module_ = nullptr;
};

using MessageBoxSeam = int (*)(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags);
using ShellOpenSeam = void (*)(const std::wstring& path);
// Null puts the platform's call back.
void SetMessageBoxSeam(MessageBoxSeam seam);
void SetShellOpenSeam(ShellOpenSeam seam);
