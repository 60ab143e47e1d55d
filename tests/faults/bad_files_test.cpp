// What the disk and the user's files can do to the plug-in: damaged and
// foreign cache files, settings files of noise or of extreme values, a
// database folder that vanishes or cannot hold the cache, a log file another
// program keeps locked. Through a private copy of the DLL as the host drives
// it; each case is a row of the reliability report.
#include <cstdint>
#include <string>
#include <vector>

#include "faults/dll_fixture.h"

namespace {

using testing_support::AddReliabilityRow;
using testing_support::DebugOutputCapture;
using testing_support::PathExists;
using testing_support::RemoveTree;

const char kTicker[] = "NASDAQ:AAPL";
const char kHistory[] = R"({"ws":{"seed":11,"now":1710547200,"history":40}})";

// Deterministic noise: every byte value, line ends included.
std::string Noise(std::uint32_t seed, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

class BadFiles : public DllTest {
protected:
    void Start(const std::string& tradingView = "") {
        WriteFileBytes(IniPath(), SettingsText("TimeoutMs=" + std::to_string(kTimeoutMs) +
                                               "\r\nPollSeconds=3600\r\nDebugLogging=1\r\n" + tradingView));
        Load();
    }
    void Load() {
        Scenario(kHistory);
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
    }
    void TearDown() override {
        Stopwatch watch;
        EXPECT_EQ(dll.Release(), 1);
        EXPECT_LT(watch.Ms(), kGiveUpBoundMs);
        DoubleTest::TearDown();
    }
    // The host's database unload and load: the in-memory caches are emptied,
    // so the next request reads the disk. The last session's ticker is dropped
    // first: restored, it would be polled at once, and its live bar could be
    // laid over the bars read from the disk.
    void ReloadDatabase() {
        WritePrivateProfileStringW(L"State", nullptr, nullptr, IniPath().c_str());
        ASSERT_EQ(Notify(2), 1);
        ASSERT_EQ(Notify(1), 1);
    }
    int Fetch() {
        Stopwatch watch;
        const int got = dll.GetQuotesEx(kTicker, 86400, 0, static_cast<int>(quotes.size()), quotes.data(), nullptr);
        EXPECT_LT(watch.Ms(), kGiveUpBoundMs) << "the host's thread is held no longer than the time-outs";
        return got;
    }
    // History downloads the double has served so far (the worker's latest-bar
    // polls open their series in a live session).
    int Downloads() const {
        int count = 0;
        for (const std::string& m : Messages()) {
            if (m.find("\"create_series\"") != std::string::npos && m.find("\"cs_live_") == std::string::npos) ++count;
        }
        return count;
    }
    // The status after a good download; the worker's first poll of the ticker
    // may already have replaced it with its own good line.
    bool Ok() {
        const std::string status = Status().Text();
        return status == "TradingView OK: " + std::string(kTicker) || status == "Live OHLC OK: " + std::string(kTicker);
    }
};

bool SameQuote(const HostQuotation& a, const HostQuotation& b) {
    return a.dateTime == b.dateTime && a.open == b.open && a.high == b.high && a.low == b.low && a.close == b.close &&
           a.volume == b.volume;
}

TEST_F(BadFiles, DamagedCacheFiles) {
    Start();
    const int first = Fetch();
    ASSERT_GT(first, 1);
    // The worker polls a new ticker once at once (then not for an hour); its
    // live bar must be in before the database reload empties the memory, or
    // it would be laid over the bars read from the disk.
    Stopwatch watch;
    while (!HasStatusLine("Live OHLC OK: " + std::string(kTicker)) && watch.Ms() < 10000) Sleep(50);
    ASSERT_TRUE(HasStatusLine("Live OHLC OK: " + std::string(kTicker)));
    const std::vector<HostQuotation> original(quotes.begin(), quotes.begin() + first);
    const std::wstring path = CacheFile();
    ASSERT_FALSE(path.empty());
    const std::string whole = ReadFileBytes(path);

    // Cut inside the close of the last row: the rows before it are served
    // from the disk, and the shortened number never reaches the host.
    const size_t lastRow = whole.rfind('\n', whole.size() - 3) + 1;
    size_t closeAt = lastRow;
    for (int comma = 0; comma < 4; ++comma) closeAt = whole.find(',', closeAt) + 1;
    WriteFileBytes(path, whole.substr(0, closeAt + 2));
    ReloadDatabase();
    const int downloads = Downloads();
    const int cut = Fetch();
    EXPECT_EQ(Downloads(), downloads) << "served from the disk cache";
    ASSERT_EQ(cut, first - 1);
    for (int i = 0; i < cut; ++i) EXPECT_TRUE(SameQuote(quotes[i], original[i])) << i;
    AddReliabilityRow({"input", "disk cache", "cache file cut inside a number of its last row",
                       "the " + std::to_string(cut) + " whole rows served from the disk, the cut row skipped"});

    // Noise instead of a cache file: a miss, downloaded again and replaced.
    WriteFileBytes(path, Noise(3, 5000));
    ReloadDatabase();
    EXPECT_EQ(Fetch(), first);
    EXPECT_EQ(Downloads(), downloads + 1);
    EXPECT_TRUE(Ok()) << Status().LongMessage();
    EXPECT_EQ(ReadFileBytes(path).compare(0, 19, "VelmarquinCache 1\r\n"), 0) << "the file is written anew";
    AddReliabilityRow({"input", "disk cache", "cache file of 5000 random bytes",
                       "a miss: downloaded again, served, and the file written anew"});
}

struct SettingsCase {
    const char* name;
    std::string tradingView;
    // PollSeconds as stored after loading, and whether the repair line is logged.
    const char* pollSecondsStored;
    bool repaired;
};

class BadSettings : public BadFiles, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(BadSettings, LoadWithTheirFallbacksAndStillDeliver) {
    const SettingsCase& c = GetParam();
    WriteFileBytes(IniPath(), SettingsText(c.tradingView));
    // The service origins must still read as the double, or nothing may be asked.
    wchar_t origin[256] = {};
    GetPrivateProfileStringW(L"Service", L"DataOrigin", L"", origin, 256, IniPath().c_str());
    ASSERT_EQ(std::wstring(origin), service.Origin());
    Load();

    const int got = Fetch();
    EXPECT_GT(got, 0);
    EXPECT_TRUE(Ok()) << Status().LongMessage();
    const std::string log = plugin.Log();
    EXPECT_EQ(log.find("CONFIG PollSeconds was missing or <= 0; reset to 5 in ") != std::string::npos, c.repaired);
    wchar_t stored[64] = {};
    GetPrivateProfileStringW(L"TradingView", L"PollSeconds", L"", stored, 64, IniPath().c_str());
    EXPECT_EQ(Narrow(stored), c.pollSecondsStored);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(Status().LongMessage()[0] != '\0', true);
    AddReliabilityRow({"input", "settings file", c.name,
                       std::string(got > 0 ? "loaded; the download works" : "NOTHING DELIVERED") +
                           (c.repaired ? "; PollSeconds repaired to 5 with the CONFIG line" : "") + "; PollSeconds stored " +
                           c.pollSecondsStored});
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadSettings,
    ::testing::Values(SettingsCase{"4000 random bytes in [TradingView]", Noise(17, 4000) + "\r\n", "5", true},
                      SettingsCase{"TimeoutMs and PollSeconds of 2147483647",
                                   "TimeoutMs=2147483647\r\nPollSeconds=2147483647\r\n", "2147483647", false},
                      SettingsCase{"TimeoutMs and PollSeconds of -1 (TimeoutMs counts as 8000)",
                                   "TimeoutMs=-1\r\nPollSeconds=-1\r\n", "5", true}),
    [](const ::testing::TestParamInfo<SettingsCase>& param) { return "Case" + std::to_string(param.index); });

TEST_F(BadFiles, CacheFolderCannotBeCreated) {
    Start();
    // A file where the cache folder should be: the cache is simply not written.
    WriteFileBytes(CacheFolder(), "not a folder");
    EXPECT_GT(Fetch(), 0);
    EXPECT_TRUE(Ok()) << Status().LongMessage();
    EXPECT_EQ(ReadFileBytes(CacheFolder()), "not a folder");
    ReloadDatabase();
    EXPECT_GT(Fetch(), 0) << "every request downloads again";
    EXPECT_EQ(Downloads(), 2);
    AddReliabilityRow({"input", "database folder", "a file where the cache folder should be",
                       "served from every download; nothing cached; the file untouched"});
}

TEST_F(BadFiles, DatabaseFolderVanishes) {
    Start();
    RemoveTree(plugin.DatabaseFolder());
    ASSERT_FALSE(PathExists(plugin.DatabaseFolder()));
    EXPECT_GT(Fetch(), 0);
    EXPECT_TRUE(Ok()) << Status().LongMessage();
    EXPECT_FALSE(PathExists(plugin.DatabaseFolder())) << "only the cache folder itself is ever created";
    EXPECT_GT(Fetch(), 0);
    EXPECT_NE(dll.GetRecentInfo(kTicker), nullptr);
    AddReliabilityRow({"input", "database folder", "the folder deleted after the database was loaded",
                       "downloads served from memory; no cache and no settings written; nothing recreated"});
}

TEST_F(BadFiles, DatabasePathIsAFile) {
    WriteFileBytes(plugin.Folder() + L"\\db-file", "x");
    database = Narrow(plugin.Folder() + L"\\db-file");
    ASSERT_EQ(dll.Init(), 1);
    EXPECT_EQ(Notify(1), 1);
    EXPECT_EQ(Status().Text(), "Ready | right-click for menu");
    EXPECT_EQ(dll.GetRecentInfo(kTicker), nullptr);
    EXPECT_EQ(ReadFileBytes(plugin.Folder() + L"\\db-file"), "x");
    // No quote is asked for: with no settings file the origins are the real service's.
    AddReliabilityRow({"input", "database folder", "a file where the database folder should be",
                       "loaded with the default settings; the file untouched"});
}

TEST_F(BadFiles, LockedLogFile) {
    const std::wstring logPath = plugin.Folder() + L"\\Velmarquin.log";
    WriteFileBytes(logPath, "");
    DebugOutputCapture capture;
    ASSERT_TRUE(capture.Ready());
    HANDLE lock = CreateFileW(logPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Start();
    EXPECT_GT(Fetch(), 0);
    EXPECT_TRUE(Ok());
    const std::string seen = capture.WaitFor("STATUS: TradingView OK: NASDAQ:AAPL\r\n", 5000);
    EXPECT_NE(seen.find("STATUS: TradingView OK: NASDAQ:AAPL\r\n"), std::string::npos) << "lines go to the debugger";
    CloseHandle(lock);
    ASSERT_EQ(dll.Release(), 1);
    ASSERT_EQ(dll.Init(), 1);
    EXPECT_NE(ReadFileBytes(logPath).find("STATUS: Ready | right-click for menu\r\n"), std::string::npos)
        << "once the lock is gone the file is written again";
    AddReliabilityRow({"input", "log file", "Velmarquin.log held open without sharing by another program",
                       "every line went to the debugger output; the download worked; the file is used again once free"});
}

}  // namespace
