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
    EXPECT_STREQ(failed.longMessage, "TradingView fetch failed: HTTP status 404");

    PluginStatus loading = StatusFor(L"TradingView loading: AAPL");
    EXPECT_EQ(loading.color, 0x000078B4u);
    EXPECT_STREQ(loading.shortMessage, "Velmarquin loading");

    PluginStatus ready = StatusFor(ReadyStatusText());
    EXPECT_EQ(ready.color, 0x00008000u);
    EXPECT_STREQ(ready.shortMessage, "Velmarquin ready");
    EXPECT_STREQ(ready.longMessage, "Ready | right-click for menu");
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
    for (size_t i = 2; i < sizeof(shortText.longMessage); ++i) ASSERT_EQ(shortText.longMessage[i], '\0') << i;
}

TEST(PluginStatusRecord, NullPointerAnswersZero) { EXPECT_EQ(FillPluginStatus(nullptr), 0); }

TEST(PluginStatusRecord, SetStatusTextStoresText) {
    SetStatusText(L"TradingView OK: \u00C4BC");
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_EQ(s.statusText, L"TradingView OK: \u00C4BC");
}
