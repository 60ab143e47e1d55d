// The popup menu of the host's status field and its maintenance actions
// (configuration, technical guide, re-download, clear cache, bulk update,
// connection check).
// Runs on the host thread that delivered the right-click notification; every
// command has finished when ShowStatusMenu returns.
#pragma once

#include <windows.h>

enum StatusMenuCommand : UINT {
    kCmdOpenConfiguration = 2001,
    kCmdOpenTechnicalGuide = 2005,
    kCmdClearCache = 2006,
    kCmdBulkUpdate = 2007,
    kCmdRedownloadQuotes = 2008,
    kCmdTestConnection = 2009,
};

void ShowStatusMenu();

// Clears every cache, then downloads the last requested ticker again (or
// runs the bulk update when none was requested yet) and reports to the user.
void RedownloadQuotes(HWND owner);
