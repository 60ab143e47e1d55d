// The diagnostic log file: layout, encoding, re-creation and the debugger
// output fallback.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

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

namespace {

constexpr size_t kRotateBytes = 10u * 1024 * 1024;
const std::string kNullTickerLine = "API GetRecentInfo called with null ticker\r\n";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

}  // namespace

TEST(LogFile, AFullLogRotatesOnceAndLosesNoLine) {
    PluginCopy plugin;
    Exports dll(plugin);
    const std::wstring log = plugin.Folder() + L"\\Velmarquin.log";
    const std::wstring older = log + L".1";
    // A log 6 kB short of the limit and an older rotated one.
    const std::string filler = std::string(kRotateBytes - 6000 - 2, 'x') + "\r\n";
    testing_support::WriteFileBytes(log, filler);
    testing_support::WriteFileBytes(older, "an older log\r\n");

    // Four threads write 100 lines each (about 8 kB in all) across the limit.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dll] {
            for (int i = 0; i < 100; ++i) dll.GetRecentInfo(nullptr);
        });
    }
    for (std::thread& t : threads) t.join();

    const std::string first = testing_support::ReadFileBytes(older);
    const std::string second = testing_support::ReadFileBytes(log);
    EXPECT_EQ(first.compare(0, filler.size(), filler), 0) << "the full log became the older one";
    EXPECT_EQ(first.find("an older log"), std::string::npos) << "replacing the older one";
    EXPECT_LE(first.size(), kRotateBytes);
    EXPECT_FALSE(second.empty());
    EXPECT_EQ(Count(first, kNullTickerLine) + Count(second, kNullTickerLine), 400u) << "no line lost or doubled";
    for (const std::string& line : SplitCrLfLines(second)) {
        EXPECT_NE(line.find("] API GetRecentInfo called with null ticker"), std::string::npos) << line;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((plugin.Folder() + L"\\Velmarquin.log*").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int files = 0;
    do ++files;
    while (FindNextFileW(find, &found));
    FindClose(find);
    EXPECT_EQ(files, 2) << "two files at most";
}

TEST(LogFile, ALogThatCannotBeRenamedKeepsItsLinesAndRotatesLater) {
    PluginCopy plugin;
    Exports dll(plugin);
    const std::wstring log = plugin.Folder() + L"\\Velmarquin.log";
    const std::string full = std::string(kRotateBytes - 2, 'x') + "\r\n";
    testing_support::WriteFileBytes(log, full);
    {
        // A viewer that does not let the file be renamed, and a second host
        // process appending to the same log at the same time.
        HANDLE viewer = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        HANDLE other = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        for (int i = 0; i < 50; ++i) {
            dll.GetRecentInfo(nullptr);
            const std::string line = "another process\r\n";
            DWORD written = 0;
            WriteFile(other, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        CloseHandle(other);
        CloseHandle(viewer);
    }
    const std::string grown = testing_support::ReadFileBytes(log);
    EXPECT_EQ(Count(grown, kNullTickerLine), 50u) << "no line lost while the file could not be renamed";
    EXPECT_EQ(Count(grown, "another process\r\n"), 50u);
    // Once the file may be renamed, a later line rotates it; nothing is lost.
    for (int i = 0; i < 2000; ++i) dll.GetRecentInfo(nullptr);
    const std::string older = testing_support::ReadFileBytes(log + L".1");
    ASSERT_FALSE(older.empty()) << "rotated";
    EXPECT_EQ(older.compare(0, full.size(), full), 0);
    EXPECT_EQ(Count(older, kNullTickerLine) + Count(testing_support::ReadFileBytes(log), kNullTickerLine), 2050u);
}
