// The controls of the configuration window's three pages: where each one
// sits, how it is filled from a settings record and how Save reads it back.
// Runs on the thread that owns the window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/settings_record.h"

struct CheckRun;

// One per open configuration window; lives in OpenConfigWindow's frame and
// in the window's user data while the window exists.
struct ConfigContext {
    PluginSettings settings;  // the copy being edited
    std::wstring iniPath;
    bool saved = false;
    HWND tabControl = nullptr;
    std::vector<HWND> pages;                      // in tab order
    int currentPage = 0;
    std::vector<std::vector<HWND>> pageControls;  // per page, every control placed on it
    HWND saveButton = nullptr;
    HWND cancelButton = nullptr;
    std::wstring checkTicker;         // the connection check's ticker when the window opens
    bool startCheck = false;          // run the connection check at once, on the Tools tab
    std::shared_ptr<CheckRun> check;  // the connection check under way or last run
};

// Control ids.
enum ConfigControlId : int {
    kIdMarket = 1001,
    kIdUsername = 1002,
    kIdPassword = 1003,
    kIdUserAgent = 1004,
    kIdTimeoutMs = 1005,
    kIdPollSeconds = 1006,
    kIdExtendedHours = 1013,
    kIdAdjustContracts = 1014,
    kIdResolutionOverride = 1015,
    kIdIntradayShift = 1016,
    kIdEodShift = 1017,
    kIdUseSettlementAsClose = 1018,
    kIdBulkSymbols = 1019,
    kIdBulkUpdate = 1020,
    kIdClearCache = 1021,
    kIdInfo = 1022,
    kIdTechGuide = 1026,
    kIdBackgroundDownloads = 1027,
    kIdStreaming = 1028,
    kIdTestConnection = 1029,
    kIdCheckTicker = 1030,
    kIdCopyCheck = 1031,
    kIdCheckResults = 1032,
    kIdSessionCookie = 1033,
    kIdSessionCookieSign = 1034,
};

// The drop-down items of the Market and Timeframe override boxes.
const std::vector<std::wstring>& MarketItems();
const std::vector<std::wstring>& TimeframeItems();

// Creates the controls of page `index` (0 Chart, 1 Connection, 2 Tools) on
// ctx.pages[index], filled from ctx.settings, and lists them in ctx.pageControls.
void CreatePageControls(ConfigContext& ctx, int index);

// The control with `id` on whichever page holds it, or null.
HWND FindControl(const ConfigContext& ctx, int id);

// Reads every page's controls back into ctx.settings.
void ReadConfigControls(ConfigContext& ctx);

// The decimal value at the start of a text (after blanks and an optional
// sign); 0 when there is none, clamped to the 32-bit range.
int LeadingDecimalValue(const std::wstring& text);

// Puts the default GUI font on a window.
void UseGuiFont(HWND window);
