#include <gtest/gtest.h>

#include <mutex>

#include "foundation/ini_file.h"
#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "support/test_support.h"
#include "support/state_access.h"

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

namespace {

using testing_support::WithState;
void SetPaths(const std::wstring& databaseFolder, const std::wstring& iniPath) {
    WithState([&](PluginState& s) {
        s.databaseFolder = databaseFolder;
        s.iniPath = iniPath;
    });
}

class SettingsInProcess : public ::testing::Test {
protected:
    void TearDown() override { SetPaths(L"", L""); }
    TempFolder folder;
};
}  // namespace

TEST_F(SettingsInProcess, ResolveIniPathFallsBackInOrder) {
    SetPaths(L"", L"");
    EXPECT_EQ(ResolveIniPath(), JoinPath(ModuleFolder(), L"Velmarquin.ini"));
    SetPaths(L"C:\\db", L"");
    EXPECT_EQ(ResolveIniPath(), L"C:\\db\\Velmarquin.ini");
    SetPaths(L"C:\\db", L"D:\\other.ini");
    EXPECT_EQ(ResolveIniPath(), L"D:\\other.ini");
}

TEST_F(SettingsInProcess, ServiceOriginsAreReadAndNeverWritten) {
    const std::wstring ini = folder.Join(L"Velmarquin.ini");
    const std::string original =
        "[Service]\r\nSymbolSearchOrigin=https://127.0.0.1:4443\r\nWebOrigin=  https://localhost:4444/ \r\n"
        "DataOrigin=\r\n";
    WriteFileBytes(ini, original);
    SetPaths(folder.Path(), ini);
    LoadSettings();

    const ServiceOrigins origins = CopyServiceOrigins();
    EXPECT_EQ(origins.symbolSearch, L"https://127.0.0.1:4443");
    EXPECT_EQ(origins.web, L"https://localhost:4444");  // blanks and a trailing slash dropped
    EXPECT_EQ(origins.data, L"https://data.tradingview.com");  // blank means the default

    // The settings were written (the section was missing) but the Service
    // section is exactly as it was.
    const std::string after = ReadFileBytes(ini);
    EXPECT_EQ(after.find("[Service]\r\nSymbolSearchOrigin=https://127.0.0.1:4443\r\n"), 0u) << after;
    EXPECT_NE(after.find("[TradingView]"), std::string::npos);
    EXPECT_EQ(IniReadString(ini, L"Service", L"DataOrigin", L"absent", 64), L"");

    // A file without the section gets no Service keys either.
    const std::wstring fresh = folder.Join(L"fresh.ini");
    SetPaths(folder.Path(), fresh);
    LoadSettings();
    EXPECT_EQ(ReadFileBytes(fresh).find("Origin"), std::string::npos);
    EXPECT_EQ(CopyServiceOrigins().symbolSearch, L"https://symbol-search.tradingview.com");
}

TEST_F(SettingsInProcess, ThePlugInsOwnSectionIsReadButNeverAddedByLoading) {
    const std::wstring ini = folder.Join(L"own.ini");
    SetPaths(folder.Path(), ini);
    LoadSettings();
    EXPECT_TRUE(CopySettings().BackgroundDownloads) << "absent: the default";
    EXPECT_EQ(ReadFileBytes(ini).find("[Velmarquin]"), std::string::npos) << "not written just to add it";
    WriteFileBytes(ini, ReadFileBytes(ini) + "[Velmarquin]\r\nBackgroundDownloads=0\r\n");
    LoadSettings();
    EXPECT_FALSE(CopySettings().BackgroundDownloads);
    // Integers are the plug-in's reading of the text, negative ones included.
    const std::pair<const wchar_t*, std::int32_t> integers[] = {
        {L"-90", -90}, {L" 12abc", 12}, {L"abc", 0}, {L"+7", 7}, {L"99999999999", 2147483647}, {L"-99999999999", -2147483647 - 1}};
    for (const auto& c : integers) EXPECT_EQ(IniInteger(c.first), c.second) << testing_support::Narrow(c.first);
}

TEST_F(SettingsInProcess, ReadKeepsCurrentValuesForAbsentKeysAndCutsLongText) {
    const std::wstring ini = folder.Join(L"partial.ini");
    WriteFileBytes(ini, "[TradingView]\r\nMarket=crypto\r\nTimeoutMs=abc\r\nExtendedHours=2\r\nBulkSymbols=" +
                            std::string(700, 'S') + "\r\nIntradayTimeShiftMinutes=-90\r\n");
    PluginSettings settings;
    settings.Username = L"kept";
    ReadSettingsFile(ini, settings);
    EXPECT_EQ(settings.Market, L"crypto");
    EXPECT_EQ(settings.Username, L"kept");
    EXPECT_EQ(settings.TimeoutMs, 0);  // non-numeric reads as 0 and is not repaired here
    EXPECT_TRUE(settings.ExtendedHours);
    EXPECT_EQ(settings.BulkSymbols.size(), 511u);
    EXPECT_EQ(settings.IntradayTimeShiftMinutes, -90);
    EXPECT_EQ(settings.PollSeconds, 5);
}
