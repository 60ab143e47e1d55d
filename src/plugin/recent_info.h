// The host's real-time quote window asks for a ticker's quote record many
// times a second. Host threads.
#pragma once

#include "foundation/host_types.h"

// The ticker's servable quote record (the symbol cache first, then the most
// recent record), or null. The record lives in storage of the plug-in that
// is never freed while the DLL is loaded.
RecentInfo* ServeRecentInfo(const char* ticker);

// A record the host can show: the right size, marked usable, a price.
bool IsServable(const RecentInfo& record);
