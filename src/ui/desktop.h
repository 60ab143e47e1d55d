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

using MessageBoxSeam = int (*)(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags);
using ShellOpenSeam = void (*)(const std::wstring& path);
// Null puts the platform's call back.
void SetMessageBoxSeam(MessageBoxSeam seam);
void SetShellOpenSeam(ShellOpenSeam seam);
