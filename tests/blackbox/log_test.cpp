// The diagnostic log file: layout, encoding, re-creation and the debugger
// output fallback.
#include <gtest/gtest.h>

#include <regex>

#include "support/plugin_exports.h"

using testing_support::DebugOutputCapture;
using testing_support::PluginCopy;
using testing_support::SplitCrLfLines;

TEST(LogFile, LinesHavePrefixAndCrLf) {
    PluginCopy plugin;
    Exports dll(plugin);
    ASSERT_EQ(dll.Init(), 1);
    const std::string log = plugin.Log();
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log.substr(log.size() - 2), "\r\n");
    EXPECT_EQ(log.find("\xEF\xBB\xBF"), std::string::npos) << "no byte-order mark";
    const std::regex prefix(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[tid=\d+\] .+)");
    for (const std::string& line : SplitCrLfLines(log)) {
        EXPECT_TRUE(std::regex_match(line, prefix)) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

TEST(LogFile, NonAsciiTextIsUtf8AndDeletedLogIsRecreated) {
    PluginCopy plugin;
    Exports dll(plugin);
    // A database folder with an accent; the CONFIG line names it.
    const std::wstring folder = plugin.Folder() + L"\\d\u00E9pot";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    testing_support::WriteFileBytes(folder + L"\\Velmarquin.ini", "[TradingView]\r\nPollSeconds=0\r\n");
    char ansi[MAX_PATH] = {};
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, ansi, MAX_PATH, nullptr, nullptr), 0);
    ASSERT_EQ(dll.ConfigureAndCancel(ansi), 1);
    EXPECT_NE(plugin.Log().find("d\xC3\xA9pot\\Velmarquin.ini\r\n"), std::string::npos) << plugin.Log();

    ASSERT_TRUE(DeleteFileW((plugin.Folder() + L"\\Velmarquin.log").c_str()));
    ASSERT_EQ(dll.Release(), 1);
    ASSERT_EQ(dll.Init(), 1);  // "Released" back to ready: a status change is always logged
    EXPECT_NE(plugin.Log().find("STATUS: Ready | right-click for menu\r\n"), std::string::npos);
}

TEST(LogFile, UnopenableLogGoesToDebuggerOutputWithoutPrefix) {
    PluginCopy plugin;
    Exports dll(plugin);
    // A folder where the log file should be makes every open fail.
    ASSERT_TRUE(CreateDirectoryW((plugin.Folder() + L"\\Velmarquin.log").c_str(), nullptr));
    DebugOutputCapture capture;
    ASSERT_TRUE(capture.Ready());
    ASSERT_EQ(dll.Init(), 1);
    const std::string text = capture.WaitFor("STATUS: Ready | right-click for menu\r\n", 5000);
    EXPECT_NE(text.find("STATUS: Ready | right-click for menu\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("[tid="), std::string::npos) << text;
}
