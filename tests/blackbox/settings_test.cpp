// Loading, repairing and writing Velmarquin.ini, driven through Configure as
// the host's configure command does.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/plugin_exports.h"

using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::PluginCopy;
using testing_support::ReadFileBytes;
using testing_support::SplitCrLfLines;
using testing_support::WriteFileBytes;

namespace {

const char kBrowserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0 Safari/537.36";

class SettingsFile : public ::testing::Test {
protected:
    SettingsFile() : dll(plugin) {}

    std::wstring Ini() const { return plugin.DatabaseFolder() + L"\\Velmarquin.ini"; }

    // Writes the database's INI (unless empty), runs Configure and returns the file afterwards.
    std::string Configure(const std::string& content) {
        if (!content.empty()) WriteFileBytes(Ini(), content);
        EXPECT_EQ(dll.ConfigureAndCancel(Narrow(plugin.DatabaseFolder()).c_str()), 1);
        return ReadFileBytes(Ini());
    }

    // key=value pairs of one section, in file order.
    static std::vector<std::pair<std::string, std::string>> Section(const std::string& file, const std::string& name) {
        std::vector<std::pair<std::string, std::string>> keys;
        bool inside = false;
        for (const std::string& line : SplitCrLfLines(file)) {
            if (!line.empty() && line[0] == '[') {
                inside = line == "[" + name + "]";
                continue;
            }
            const size_t eq = line.find('=');
            if (inside && eq != std::string::npos) keys.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
        return keys;
    }

    static std::string Value(const std::string& file, const std::string& key) {
        for (const auto& kv : Section(file, "TradingView")) {
            if (kv.first == key) return kv.second;
        }
        return "(absent)";
    }

    PluginCopy plugin;
    Exports dll;
};

const char kCompleteFile[] =
    "[TradingView]\r\nMarket=auto\r\nUsername=\r\nPassword=\r\nUserAgent=Custom/2.0\r\nExtendedHours=1\r\n"
    "AdjustContracts=1\r\nUseSettlementAsClose=0\r\nResolutionOverride=auto\r\nIntradayTimeShiftMinutes=0\r\n"
    "EodTimeShiftDays=0\r\nBulkSymbols=\r\nPollSeconds=7\r\nDebugLogging=0\r\nTimeoutMs=8000\r\n";

}  // namespace

TEST_F(SettingsFile, FreshDatabaseGetsAllFourteenKeysInOrder) {
    const std::string file = Configure("");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Market", "auto"},          {"Username", ""},
        {"Password", ""},            {"UserAgent", kBrowserAgent},
        {"ExtendedHours", "1"},      {"AdjustContracts", "1"},
        {"UseSettlementAsClose", "0"}, {"ResolutionOverride", "auto"},
        {"IntradayTimeShiftMinutes", "0"}, {"EodTimeShiftDays", "0"},
        {"BulkSymbols", ""},         {"PollSeconds", "5"},
        {"DebugLogging", "0"},       {"TimeoutMs", "8000"},
    };
    EXPECT_EQ(Section(file, "TradingView"), expected) << file;
    EXPECT_EQ(plugin.Log().find("CONFIG"), std::string::npos);
    // Nothing was written beside the DLL: the database folder was known.
    EXPECT_FALSE(PathExists(plugin.Folder() + L"\\Velmarquin.ini"));
}

TEST_F(SettingsFile, CompleteFileIsLeftAlone) {
    const std::string file = Configure(kCompleteFile);
    EXPECT_EQ(file, kCompleteFile);
}

TEST_F(SettingsFile, PollSecondsZeroOrTextRepairedWithUnconditionalLine) {
    for (const char* stored : {"0", "abc", "-3", " "}) {
        std::string content = kCompleteFile;
        content.replace(content.find("PollSeconds=7"), 13, std::string("PollSeconds=") + stored);
        const std::string file = Configure(content);
        EXPECT_EQ(Value(file, "PollSeconds"), "5") << stored;
    }
    const std::string expectedLine =
        "CONFIG PollSeconds was missing or <= 0; reset to 5 in " + Narrow(Ini()) + "\r\n";
    const std::string log = plugin.Log();
    size_t count = 0;
    for (size_t at = log.find(expectedLine); at != std::string::npos; at = log.find(expectedLine, at + 1)) ++count;
    EXPECT_EQ(count, 4u) << log;
}

TEST_F(SettingsFile, UserAgentPlaceholderOrBlankReplacedAndWrittenBack) {
    for (const char* stored : {"Velmarquin/1.0", "   "}) {
        std::string content = kCompleteFile;
        content.replace(content.find("Custom/2.0"), 10, stored);
        EXPECT_EQ(Value(Configure(content), "UserAgent"), kBrowserAgent) << stored;
    }
    // Any other agent is the user's choice and stays.
    EXPECT_EQ(Value(Configure(kCompleteFile), "UserAgent"), "Custom/2.0");
}

TEST_F(SettingsFile, MissingKeysAreAddedAndBooleansNormalised) {
    std::string content = kCompleteFile;
    content.erase(content.find("DebugLogging=0\r\n"), 16);
    content.replace(content.find("ExtendedHours=1"), 15, "ExtendedHours=2");
    const std::string file = Configure(content);
    EXPECT_EQ(Value(file, "DebugLogging"), "0");
    EXPECT_EQ(Value(file, "ExtendedHours"), "1");

    content = kCompleteFile;
    content.erase(content.find("AdjustContracts=1\r\n"), 19);
    EXPECT_EQ(Value(Configure(content), "AdjustContracts"), "1");
}

TEST_F(SettingsFile, ConfigureWithoutPathKeepsTheDatabase) {
    Configure("");
    ASSERT_TRUE(DeleteFileW(Ini().c_str()));
    EXPECT_EQ(dll.ConfigureAndCancel(nullptr), 1);
    EXPECT_EQ(dll.ConfigureAndCancel(""), 1);
    EXPECT_TRUE(PathExists(Ini()));
    EXPECT_FALSE(PathExists(plugin.Folder() + L"\\Velmarquin.ini"));
}

TEST_F(SettingsFile, DebugLoggingTurnsOnDebugLines) {
    std::string content = kCompleteFile;
    content.replace(content.find("DebugLogging=0"), 14, "DebugLogging=1");
    Configure(content);
    Configure(content);  // the same ready text again
    const std::string log = plugin.Log();
    EXPECT_NE(log.find("STATUS unchanged: Ready | right-click for menu\r\n"), std::string::npos) << log;
}
