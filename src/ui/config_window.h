// The plug-in's configuration window: three tabs editing a copy of the
// settings, saved to the database INI on Save, with the maintenance buttons
// of the Tools tab. At most one exists; it runs a nested message loop on the
// thread that opens it. FindConfigWindow and CloseConfigWindow may be called
// from any thread.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/settings_record.h"
#include "ui/config_controls.h"

enum class ConfigOpening {
    Normal,
    ConnectionCheck,  // on the Tools tab, the connection check started at once
};

// Returns when the window is gone: true when the user pressed Save (the
// record then holds the saved values); false when it was closed otherwise,
// could not be created, or was already open (it is then brought to the front,
// and starts the check when asked to).
bool OpenConfigWindow(const std::wstring& iniPath, PluginSettings& settings,
                      ConfigOpening opening = ConfigOpening::Normal);

// The open window, or null; a stored handle that is no longer a window is cleared.
HWND FindConfigWindow();
void ForgetConfigWindow(HWND window);
// Asks an open window to close (posted, no wait).
void CloseConfigWindow();

void ShowConfigPage(ConfigContext& ctx, int index);
void LayoutConfigWindow(HWND window, ConfigContext& ctx);
