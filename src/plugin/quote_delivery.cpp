#include "plugin/quote_delivery.h"

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "foundation/volume.h"
#include "plugin/live_overlay.h"
#include "plugin/session_state.h"
#include "protocol/history_fetch.h"

namespace {

// The newest min(size, count) bars, or none when the fetch failed.
bool FetchForHost(const std::wstring& ticker, int periodicity, int size, std::vector<Bar>& bars,
                  std::wstring& errorText) {
    if (!FetchBars(ticker, periodicity, size, bars, errorText)) return false;
    ApplyLiveOverlay(ticker, periodicity, bars);
    if (bars.size() > static_cast<size_t>(size)) bars.erase(bars.begin(), bars.end() - size);
    return true;
}

}  // namespace

std::uint32_t LegacyDate(std::uint64_t packed) {
    const std::uint32_t year = static_cast<std::uint32_t>((packed >> 52) & 0xFFF);
    const std::uint32_t month = static_cast<std::uint32_t>((packed >> 48) & 0xF);
    const std::uint32_t day = static_cast<std::uint32_t>((packed >> 43) & 0x1F);
    const std::uint32_t hour = static_cast<std::uint32_t>((packed >> 38) & 0x1F);
    const std::uint32_t minute = static_cast<std::uint32_t>((packed >> 32) & 0x3F);
    const std::uint32_t second = static_cast<std::uint32_t>((packed >> 26) & 0x3F);
    const std::uint32_t tick = second == 63 ? 15u : second / 5u;
    return (((year - 1900u) & 0xFFu) << 24) | (month << 20) | (day << 15) | (hour << 10) | (minute << 4) | tick;
}

int DeliverQuotesEx(const char* ticker, int periodicity, int size, Quotation* quotes) {
    if (ticker == nullptr || quotes == nullptr || size <= 0) {
        SetStatusText(L"Invalid GetQuotesEx call");
        return 0;
    }
    const std::wstring t = AnsiToWide(ticker);
    RememberTicker(t, periodicity, size);
    LogDebug(L"GetQuotesEx requested: " + t + L" periodicity=" + std::to_wstring(periodicity) + L" size=" +
             std::to_wstring(size));
    std::vector<Bar> bars;
    std::wstring errorText;
    if (!FetchForHost(t, periodicity, size, bars, errorText)) {
        SetStatusText(errorText.empty() ? L"TradingView loading: " + t : L"TradingView fetch failed: " + errorText);
        return 0;
    }
    SetStatusText(L"TradingView OK: " + t);
    for (size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        quotes[i] = Quotation{b.dateTime, b.close, b.open, b.high, b.low, VolumeAsFloat(b.volume),
                              VolumeAsFloat(b.openInterest), 0.0f, 0.0f};
    }
    return static_cast<int>(bars.size());
}

int DeliverQuotes(const char* ticker, int periodicity, int size, LegacyQuotation* quotes) {
    if (ticker == nullptr || quotes == nullptr || size <= 0) return 0;
    const std::wstring t = AnsiToWide(ticker);
    RememberTicker(t, periodicity, size);
    std::vector<Bar> bars;
    std::wstring errorText;
    if (!FetchForHost(t, periodicity, size, bars, errorText)) {
        if (errorText.empty()) {
            SetStatusText(L"TradingView loading: " + t);
        } else {
            LogDebug(L"GetQuotes legacy failed: " + errorText);
        }
        return 0;
    }
    for (size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        LegacyQuotation& q = quotes[i];  // bytes 28..31 are not written
        q.date = LegacyDate(b.dateTime);
        q.close = b.close;
        q.open = b.open;
        q.high = b.high;
        q.low = b.low;
        q.volume = VolumeAsInt32(b.volume);
        q.openInterest = VolumeAsInt32(b.openInterest);
    }
    return static_cast<int>(bars.size());
}
