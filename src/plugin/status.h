// The status line as the host's status area shows it: colour, short label
// and long message. Host threads; takes stateLock only to copy the text.
#pragma once

#include <string>

#include "plugin/host_records.h"

// Fills the record from the current status text; 0 for a null pointer, else 1.
int FillPluginStatus(PluginStatus* status);

// The colour (0x00BBGGRR) and short label for a status text.
struct StatusLook {
    unsigned color;
    const char* label;
};
StatusLook ClassifyStatus(const std::wstring& statusText);
