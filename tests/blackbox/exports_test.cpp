// The exports' fixed answers and the start-up and shut-down order, through a
// private copy of the DLL.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/plugin_exports.h"

using testing_support::PluginCopy;

TEST(Exports, PluginInfoImageByteForByte) {
    PluginCopy plugin;
    Exports dll(plugin);
    ASSERT_NE(dll.GetPluginInfo, nullptr);
    std::uint8_t info[160];
    std::memset(info, 0xCC, sizeof(info));
    ASSERT_EQ(dll.GetPluginInfo(info), 1);

    std::uint8_t expected[152] = {};
    const std::int32_t head[4] = {152, 2, 10000, 0x564D514E};
    std::memcpy(expected, head, sizeof(head));
    std::memcpy(expected + 16, "Velmarquin", 10);
    std::memcpy(expected + 80, "Orvell", 6);
    const std::int32_t tail[2] = {0, 387000};
    std::memcpy(expected + 144, tail, sizeof(tail));
    EXPECT_EQ(std::memcmp(info, expected, 152), 0);
    EXPECT_EQ(info[152], 0xCC) << "wrote past the record";
    EXPECT_EQ(info[12], 'N');  // little-endian: 'V' is the most significant byte
    EXPECT_EQ(info[15], 'V');

    EXPECT_EQ(dll.GetPluginInfo(nullptr), 0);
}

// What Explorer's file properties show: the version agrees with the one the host is told.
TEST(Exports, VersionResourceNamesTheProduct) {
    PluginCopy plugin;
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(plugin.Module(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_GT(size, 0u) << "the DLL carries a version resource";
    std::vector<std::uint8_t> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars)) return std::wstring();
        return std::wstring(value);
    };
    EXPECT_EQ(text(L"ProductName"), L"Velmarquin");
    EXPECT_EQ(text(L"FileVersion"), L"1.0.0.0");
    EXPECT_NE(text(L"FileDescription").find(L"AmiBroker"), std::wstring::npos);
}

TEST(Exports, FixedAnswers) {
    PluginCopy plugin;
    Exports dll(plugin);
    EXPECT_EQ(dll.SetTimeBase(0), 0);
    EXPECT_EQ(dll.SetTimeBase(1), 1);
    EXPECT_EQ(dll.SetTimeBase(86400), 1);
    EXPECT_EQ(dll.SetTimeBase(86401), 0);
    EXPECT_EQ(dll.SetTimeBase(0xFFFFFFFFu), 0);
    EXPECT_EQ(dll.IsBackfillComplete("AAPL"), 1);
    EXPECT_EQ(dll.IsBackfillComplete(nullptr), 1);
    EXPECT_EQ(dll.GetSymbolLimit(), 4096);

    bool allocatorCalled = false;
    static bool* called = nullptr;
    called = &allocatorCalled;
    auto allocator = [](unsigned int) -> void* {
        *called = true;
        return nullptr;
    };
    const HostValueBytes value = dll.GetExtraData("AAPL", "Shares", 10, 86400, allocator);
    const HostValueBytes zero = {};
    EXPECT_EQ(std::memcmp(value.bytes, zero.bytes, 12), 0);
    EXPECT_FALSE(allocatorCalled);
}

TEST(Exports, InvalidQuoteRequestsAndLaterExports) {
    PluginCopy plugin;
    Exports dll(plugin);
    ASSERT_EQ(dll.Init(), 1);
    std::uint8_t quotes[40 * 4] = {};
    // Invalid requests never reach the network.
    EXPECT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 0, quotes, nullptr), 0);
    StatusBytes status = {};
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Invalid GetQuotesEx call");
    EXPECT_EQ(status.Color(), 0x000000C0u);
    EXPECT_EQ(dll.GetQuotesEx("AAPL", 86400, 0, 4, nullptr, nullptr), 0);
    EXPECT_EQ(dll.GetQuotesEx(nullptr, 86400, 0, 4, quotes, nullptr), 0);
    ASSERT_EQ(dll.Init(), 1);  // back to ready
    EXPECT_EQ(dll.GetQuotes("AAPL", 86400, 0, -1, quotes), 0);
    EXPECT_EQ(dll.GetQuotes("AAPL", 86400, 0, 4, nullptr), 0);
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Ready | right-click for menu") << "GetQuotes leaves the status alone";
    EXPECT_EQ(dll.Notify(nullptr), 1);
    EXPECT_EQ(dll.GetRecentInfo("AAPL"), nullptr);
    dll.Release();
}

TEST(Exports, InitThenReleaseWithoutRequests) {
    PluginCopy plugin;
    Exports dll(plugin);
    StatusBytes status = {};
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Idle");

    ASSERT_EQ(dll.Init(), 1);
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Ready | right-click for menu");
    EXPECT_STREQ(status.ShortMessage(), "Velmarquin ready");
    EXPECT_EQ(status.Color(), 0x00008000u);
    // With no database known, the settings file is created beside the DLL.
    EXPECT_TRUE(testing_support::PathExists(plugin.Folder() + L"\\Velmarquin.ini"));

    EXPECT_EQ(dll.Release(), 1);
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Released");
    EXPECT_EQ(dll.GetPluginStatus(nullptr), 0);

    // Release sets the text directly: the log holds the ready line once and no "Released".
    const std::string log = plugin.Log();
    EXPECT_NE(log.find("STATUS: Ready | right-click for menu\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("STATUS: Ready", log.find("STATUS: Ready") + 1), std::string::npos) << log;
    EXPECT_EQ(log.find("Released"), std::string::npos);
    EXPECT_EQ(log.find("STATUS unchanged"), std::string::npos) << "debug line without DebugLogging";
}

TEST(Exports, StatusCallsLoggedOneToTwentyThenEveryTwentieth) {
    PluginCopy plugin;
    Exports dll(plugin);
    testing_support::WriteFileBytes(plugin.DatabaseFolder() + L"\\Velmarquin.ini", "[TradingView]\r\nDebugLogging=1\r\n");
    ASSERT_EQ(dll.ConfigureAndCancel(testing_support::Narrow(plugin.DatabaseFolder()).c_str()), 1);
    StatusBytes status = {};
    for (int i = 0; i < 65; ++i) ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    const std::string log = plugin.Log();
    std::vector<int> logged;
    const std::string tag = "API GetPluginStatus call=";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
        logged.push_back(std::atoi(log.c_str() + at + tag.size()));
    }
    std::vector<int> expected;
    for (int n = 1; n <= 20; ++n) expected.push_back(n);
    expected.push_back(40);
    expected.push_back(60);
    EXPECT_EQ(logged, expected);
    EXPECT_NE(log.find("API GetPluginStatus call=1 ticker=(none) statusText=Ready | right-click for menu "
                       "color=0,128,0 short=Velmarquin ready\r\n"),
              std::string::npos)
        << log;
}

TEST(Exports, InitRestoresTheLastSessionTicker) {
    PluginCopy plugin;
    Exports dll(plugin);
    // With no database known yet, Init reads the settings file beside the DLL.
    testing_support::WriteFileBytes(plugin.Folder() + L"\\Velmarquin.ini",
                   std::string("[TradingView]\r\nDebugLogging=1\r\nTimeoutMs=1500\r\n[State]\r\nLastTicker=NYSE:IBM\r\n"
                               "LastPeriodicity=300\r\n") +
                       testing_support::kOfflineServiceSection);
    ASSERT_EQ(dll.Init(), 1);
    const std::string log = plugin.Log();
    EXPECT_NE(log.find("STATE restored last ticker from INI ticker=NYSE:IBM periodicity=300 requestedBars=30000 path=" +
                       testing_support::Narrow(plugin.Folder()) + "\\Velmarquin.ini\r\n"),
              std::string::npos)
        << log;
    StatusBytes status = {};
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_NE(plugin.Log().find("API GetPluginStatus call=1 ticker=NYSE:IBM "), std::string::npos);
    EXPECT_EQ(dll.Release(), 1);
}
