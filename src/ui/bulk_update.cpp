#include "ui/bulk_update.h"

#include <mutex>

#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/history_fetch.h"

namespace {

constexpr int kDailyPeriodicity = 86400;
constexpr int kBulkBars = 5000;

bool IsSeparator(wchar_t c) { return c == L'\r' || c == L'\n' || c == L',' || c == L';'; }

void SwapCurrentSettings(PluginSettings& settings) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    std::swap(s.settings, settings);
}

}  // namespace

std::vector<std::wstring> SplitBulkSymbols(const std::wstring& text) {
    std::vector<std::wstring> tickers;
    std::wstring token;
    auto flush = [&] {
        const std::wstring trimmed = TrimWide(token);
        if (!trimmed.empty()) tickers.push_back(trimmed);
        token.clear();
    };
    for (const wchar_t c : text) {
        if (IsSeparator(c)) {
            flush();
        } else {
            token.push_back(c);
        }
    }
    flush();
    return tickers;
}

std::wstring RunBulkUpdate(const PluginSettings& settings, const std::wstring& bulkSymbolsText) {
    const std::vector<std::wstring> tickers = SplitBulkSymbols(bulkSymbolsText);
    if (tickers.empty()) return L"No bulk symbols entered.";

    PluginSettings previous = settings;
    SwapCurrentSettings(previous);  // `previous` now holds the plug-in's own settings
    // Whatever happens in the downloads, the plug-in's own settings come back.
    struct Restore {
        PluginSettings& own;
        ~Restore() { SwapCurrentSettings(own); }
    } restore{previous};
    int ok = 0;
    int failed = 0;
    std::wstring firstError;
    for (const std::wstring& ticker : tickers) {
        std::vector<Bar> bars;
        std::wstring error;
        if (FetchBars(ticker, kDailyPeriodicity, kBulkBars, bars, error, Priority::Bulk)) {
            ++ok;
        } else {
            ++failed;
            if (firstError.empty() && !error.empty()) firstError = ticker + L": " + error;
        }
    }

    std::wstring summary = L"Bulk update finished: " + std::to_wstring(ok) + L" ok, " + std::to_wstring(failed) +
                           L" failed.";
    if (!firstError.empty()) summary += L"\nFirst error: " + firstError;
    return summary;
}
