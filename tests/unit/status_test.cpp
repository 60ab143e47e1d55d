#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "foundation/state.h"
#include "foundation/status_text.h"
#include "plugin/status.h"

namespace {
PluginStatus StatusFor(const std::wstring& text) {
    SetStatusText(text);
    PluginStatus status;
    std::memset(&status, 0xAB, sizeof(status));
    EXPECT_EQ(FillPluginStatus(&status), 1);
    return status;
}
}  // namespace

TEST(PluginStatusRecord, ColoursAndLabels) {
    PluginStatus failed = StatusFor(L"TradingView fetch failed: HTTP status 404");
    EXPECT_EQ(failed.color, 0x000000C0u);  // "failed" wins over "fetch"
    EXPECT_STREQ(failed.shortMessage, "Velmarquin error");
    EXPECT_STREQ(failed.longMessage, "TradingView fetch failed: HTTP status 404 [anonymous]");

    PluginStatus loading = StatusFor(L"TradingView loading: AAPL");
    EXPECT_EQ(loading.color, 0x000078B4u);
    EXPECT_STREQ(loading.shortMessage, "Velmarquin loading");

    PluginStatus ready = StatusFor(ReadyStatusText());
    EXPECT_EQ(ready.color, 0x00008000u);
    EXPECT_STREQ(ready.shortMessage, "Velmarquin ready");
    EXPECT_STREQ(ready.longMessage, "Ready | right-click for menu [anonymous]");
    EXPECT_EQ(ready.structSize, 300);
    EXPECT_EQ(ready.statusCode, 1);

    EXPECT_EQ(StatusFor(L"Invalid GetQuotesEx call").color, 0x000000C0u);
    EXPECT_EQ(StatusFor(L"Live quote ERROR: x").color, 0x000000C0u);  // case-insensitive
    EXPECT_EQ(StatusFor(L"Prefetching").color, 0x000078B4u);
}

TEST(PluginStatusRecord, LongTextCutTo255BytesAndRestZeroed) {
    PluginStatus status = StatusFor(std::wstring(300, L'x'));
    EXPECT_EQ(std::strlen(status.longMessage), 255u);
    EXPECT_EQ(status.longMessage[255], '\0');
    // Bytes after the terminators are zero, not left over from the caller.
    const std::string shortLabel = "Velmarquin ready";
    for (size_t i = shortLabel.size(); i < sizeof(status.shortMessage); ++i) {
        EXPECT_EQ(status.shortMessage[i], '\0') << i;
    }
    PluginStatus shortText = StatusFor(L"OK");
    for (size_t i = std::strlen(shortText.longMessage); i < sizeof(shortText.longMessage); ++i) {
        ASSERT_EQ(shortText.longMessage[i], '\0') << i;
    }
}

// The status says how timely the data of the ticker last asked for is, by
// what the service said of its symbol, whatever the status text.
TEST(PluginStatusRecord, SaysHowTimelyTheLastTickersDataIs) {
    const struct {
        const char* updateMode;
        const char* detail;
    } cases[] = {
        {"streaming", "[real time; anonymous]"},
        {"delayed_streaming_900", "[delayed 15 min; anonymous]"},
        {"delayed_streaming", "[delayed; anonymous]"},
        {"endofday", "[end of day; anonymous]"},
        {"odd\x01mode", "[odd?mode; anonymous]"},
        {"", "[anonymous]"},
    };
    for (const auto& c : cases) {
        {
            PluginState& s = State();
            std::lock_guard<std::mutex> lock(s.stateLock);
            s.lastTicker = L"AAPL";
            s.symbolCache["AAPL"].symbolId = "NASDAQ:AAPL";
            s.updateModes.clear();
            if (*c.updateMode != '\0') s.updateModes["NASDAQ:AAPL"] = c.updateMode;
        }
        const std::string message = StatusFor(L"TradingView OK: AAPL").longMessage;
        EXPECT_EQ(message, std::string("TradingView OK: AAPL ") + c.detail) << c.updateMode;
    }
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.lastTicker.clear();
    s.symbolCache.clear();
    s.updateModes.clear();
}

TEST(PluginStatusRecord, NullPointerAnswersZero) { EXPECT_EQ(FillPluginStatus(nullptr), 0); }

TEST(PluginStatusRecord, SetStatusTextStoresText) {
    SetStatusText(L"TradingView OK: \u00C4BC");
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_EQ(s.statusText, L"TradingView OK: \u00C4BC");
}
