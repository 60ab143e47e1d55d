// Brings the newest delivered bar up to date with the live data the poll
// worker keeps per ticker. Host thread; the entry is copied out under
// stateLock and the bar list (the caller's) is edited without it.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"

bool ApplyLiveOverlay(const std::wstring& ticker, int periodicity, std::vector<Bar>& bars);
