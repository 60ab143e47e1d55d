#include "plugin/session_state.h"

#include <mutex>

#include "foundation/ini_file.h"
#include "foundation/log.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "foundation/text.h"

void RememberTicker(const std::wstring& ticker, int periodicity, int bars) {
    if (TrimWide(ticker).empty()) return;
    int effectivePeriodicity = 0;
    int effectiveBars = 0;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.lastTicker = ticker;
        if (periodicity > 0) s.lastPeriodicity = periodicity;
        if (bars > 0) s.lastBars = bars;
        effectivePeriodicity = s.lastPeriodicity;
        effectiveBars = s.lastBars;
    }
    LogDebug(L"STATE last ticker updated ticker=" + ticker + L" periodicity=" + std::to_wstring(periodicity) +
             L" requestedBars=" + std::to_wstring(bars));
    if (periodicity > 0 || bars > 0) {
        const std::wstring path = ResolveIniPath();
        IniWriteString(path, L"State", L"LastTicker", ticker);
        IniWriteString(path, L"State", L"LastPeriodicity", std::to_wstring(effectivePeriodicity));
        IniWriteString(path, L"State", L"LastBars", std::to_wstring(effectiveBars));
    }
}
