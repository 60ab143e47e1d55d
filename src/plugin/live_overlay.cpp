#include "plugin/live_overlay.h"

#include <algorithm>
#include <mutex>

#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/host_time.h"

namespace {
std::wstring F(float value) { return FormatFloat(static_cast<double>(value)); }
std::wstring I(long long value) { return std::to_wstring(value); }
}  // namespace

bool ApplyLiveOverlay(const std::wstring& ticker, int periodicity, std::vector<Bar>& bars) {
    if (bars.empty()) return false;
    const std::string key = WideToUtf8(ticker);
    bool hasQuote = false;
    bool barUsable = false;
    RecentInfo live{};
    std::string session;
    Bar latest{};
    Bar previous{};
    bool previousUsable = false;
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        const auto found = s.symbolCache.find(key);
        if (found != s.symbolCache.end() && found->second.hasQuote) {
            hasQuote = true;
            live = found->second.live;
            session = found->second.sessionText;
            if (found->second.hasBar && found->second.barPeriodicity == periodicity) {
                latest = found->second.latestBar;
                barUsable = true;
                previous = found->second.previousBar;
                previousUsable = found->second.hasPreviousBar;
            }
        }
    }
    const bool intraday = periodicity < 86400;
    Bar& last = bars.back();

    // -1: `a` is older than `b`, 0: the same bar, 1: newer (daily bars by their date).
    const auto compare = [intraday](const Bar& a, const Bar& b) {
        if (intraday) return a.dateTime > b.dateTime ? 1 : a.dateTime == b.dateTime ? 0 : -1;
        const int x = PackedYmd(a.dateTime);
        const int y = PackedYmd(b.dateTime);
        return x > y ? 1 : x == y ? 0 : -1;
    };
    // The bar the stream gave before it opened the newest keeps its final
    // streamed values over the downloaded ones.
    if (barUsable && previousUsable && previous.close > 0) {
        for (size_t i = bars.size(); i-- > 0 && i + 2 >= bars.size();) {
            if (compare(previous, bars[i]) == 0) {
                bars[i] = previous;
                break;
            }
        }
    }

    if (barUsable && latest.close > 0) {
        const int order = compare(latest, last);
        if (order < 0) {
            LogLine(L"LIVE OHLC overlay skipped ticker=" + ticker + L" reason=latest bar older than cached last bar" +
                    (intraday ? L" periodicity=" + I(periodicity)
                              : L" liveYmd=" + I(PackedYmd(latest.dateTime)) + L" lastYmd=" + I(PackedYmd(last.dateTime))));
            return false;
        }
        if (order > 0) {
            bars.push_back(latest);
            LogLine(L"LIVE OHLC overlay appended ticker=" + ticker + L" periodicity=" + I(periodicity) + L" close=" +
                    F(latest.close) + L" high=" + F(latest.high) + L" low=" + F(latest.low));
            return true;
        }
        const float oldClose = last.close;
        last = latest;
        LogLine(L"LIVE OHLC overlay applied ticker=" + ticker + L" periodicity=" + I(periodicity) + L" oldClose=" +
                F(oldClose) + L" newClose=" + F(latest.close) + L" high=" + F(latest.high) + L" low=" + F(latest.low) +
                L" volume=" + F(latest.volume));
        return true;
    }

    const float price = live.last;
    if (!hasQuote || price <= 0) {
        LogDebug(L"LIVE overlay skipped ticker=" + ticker + L" hasLive=" + (hasQuote ? L"1" : L"0"));
        return false;
    }
    const int liveYmd = live.tradeDate;
    if (liveYmd <= 0) {
        LogLine(L"LIVE overlay skipped ticker=" + ticker + L" reason=missing TradingView lp_time");
        return false;
    }
    const int lastYmd = PackedYmd(last.dateTime);
    const float liveVolume = live.totalVolumeF > 0 ? live.totalVolumeF : static_cast<float>(live.totalVolume);
    if (intraday && liveYmd != lastYmd) {
        LogLine(L"LIVE overlay skipped ticker=" + ticker + L" reason=intraday live date differs from last bar" +
                L" liveYmd=" + I(liveYmd) + L" lastYmd=" + I(lastYmd));
        return false;
    }
    if (!intraday && liveYmd < lastYmd) {
        LogLine(L"LIVE overlay skipped ticker=" + ticker + L" reason=live quote older than last bar" + L" liveYmd=" +
                I(liveYmd) + L" lastYmd=" + I(lastYmd));
        return false;
    }
    if (intraday || liveYmd == lastYmd) {
        const float oldClose = last.close;
        last.close = price;
        last.high = std::max(price, last.high);
        last.low = std::min(price, last.low);
        if (liveVolume > 0) last.volume = liveVolume;
        LogLine(L"LIVE overlay applied ticker=" + ticker + L" liveYmd=" + I(liveYmd) + L" lastYmd=" + I(lastYmd) +
                L" liveTime=" + I(live.tradeTime) + L" oldClose=" + F(oldClose) + L" newClose=" + F(price) +
                L" volume=" + F(last.volume));
        return true;
    }
    Bar appended;
    appended.dateTime = PackDateTime(liveYmd / 10000, liveYmd / 100 % 100, liveYmd % 100, 31, 63, 63);
    const float previousClose = last.close;
    appended.open = previousClose;
    appended.high = std::max(price, previousClose);
    appended.low = std::min(price, previousClose);
    appended.close = price;
    appended.volume = liveVolume;
    appended.openInterest = 0;
    bars.push_back(appended);
    LogLine(L"LIVE overlay appended ticker=" + ticker + L" ymd=" + I(liveYmd) + L" liveTime=" + I(live.tradeTime) +
            L" session=" + (session.empty() ? std::wstring(L"(empty)") : Utf8ToWide(session)) + L" close=" + F(price));
    return true;
}
