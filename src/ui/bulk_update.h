// The bulk update: the daily history of every symbol of the BulkSymbols list
// downloaded in one go, so their disk cache is filled before their charts
// are opened. Runs synchronously on the calling (host or window) thread.
#pragma once

#include <string>
#include <vector>

#include "foundation/settings_record.h"

// Tickers separated by line ends, commas or semicolons; trimmed, empty ones
// dropped, order and duplicates kept.
std::vector<std::wstring> SplitBulkSymbols(const std::wstring& text);

// Downloads each ticker with `settings` installed as the current settings,
// puts the previous ones back, and returns the one-line summary.
std::wstring RunBulkUpdate(const PluginSettings& settings, const std::wstring& bulkSymbolsText);
