// The newest bars of one symbol at one chart interval, for the live update of
// a chart: a short chart-session conversation on a place of the shared
// service session, under the plug-in's account. Runs on the poll worker's
// thread.
#pragma once

#include <string>
#include <vector>

#include "foundation/host_types.h"
#include "foundation/settings_record.h"
#include "protocol/service_session.h"

// True with 1 to 3 bars, oldest first. `symbolId` empty: the ticker is used.
bool PollLatestBars(const std::wstring& ticker, const std::string& symbolId, int periodicity,
                    const PluginSettings& settings, std::vector<Bar>& bars, std::wstring& errorText,
                    Priority priority = Priority::Background);
