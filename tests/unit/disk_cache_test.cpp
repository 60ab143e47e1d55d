#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "foundation/state.h"
#include "foundation/volume.h"
#include "protocol/host_time.h"
#include "storage/cache_row.h"
#include "storage/disk_cache.h"
#include "support/test_support.h"
#include "support/state_access.h"

using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

namespace {

using testing_support::WithState;

class DiskCache : public ::testing::Test {
protected:
    void SetUp() override { SetDatabase(folder.Path()); }
    void TearDown() override { SetDatabase(L""); }
    static void SetDatabase(const std::wstring& path) {
        WithState([&](PluginState& s) { s.databaseFolder = path; });
    }
    // Makes the file look `seconds` old.
    static void Age(const std::wstring& path, long long seconds) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t;
        t.LowPart = now.dwLowDateTime;
        t.HighPart = now.dwHighDateTime;
        t.QuadPart -= static_cast<ULONGLONG>(seconds) * 10000000ULL;
        FILETIME then = {t.LowPart, t.HighPart};
        HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        SetFileTime(file, nullptr, nullptr, &then);
        CloseHandle(file);
    }
    std::wstring Write(const std::string& content) {
        CreateDirectoryW(CacheDirectory().c_str(), nullptr);
        const std::wstring path = CacheDirectory() + L"\\bars_test.cache";
        WriteFileBytes(path, content);
        return path;
    }
    static std::vector<Bar> Series(bool daily, int count) {
        std::vector<Bar> bars;
        for (int i = 0; i < count; ++i) {
            Bar bar;
            bar.dateTime = daily ? PackDateTime(2024, 3, 1 + i, 31, 63, 63)
                                 : PackDateTime(2024, 3, 15, 9 + i / 12, (i % 12) * 5, 0);
            bar.open = 100.5f + static_cast<float>(i);
            bar.high = 101.25f + static_cast<float>(i);
            bar.low = 99.75f;
            bar.close = 100.125f;
            bar.volume = 1234.5f;
            bar.openInterest = 0;
            bars.push_back(bar);
        }
        return bars;
    }
    TempFolder folder;
    PluginSettings settings;
};

bool SameBars(const std::vector<Bar>& a, const std::vector<Bar>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].dateTime != b[i].dateTime || a[i].open != b[i].open || a[i].high != b[i].high ||
            a[i].low != b[i].low || a[i].close != b[i].close || a[i].volume != b[i].volume) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(DiskCache, KeyAndFileName) {
    EXPECT_EQ(CacheKey(L"AAPL", 86400, settings), L"AAPL|86400|auto|1|splits|0|0|0|auto");
    settings.Market = L" Crypto ";
    settings.ResolutionOverride = L"1d";
    settings.IntradayTimeShiftMinutes = -30;
    EXPECT_EQ(CacheKey(L"BTCUSDT", 300, settings), L"BTCUSDT|300| Crypto |1|splits|0|-30|0|1D");
    const std::wstring path = CacheFilePath(L"\u00C4B", 60, PluginSettings{});
    // "ÄB|60|auto|1|splits|0|0|0|auto": Ä is C3 84 in UTF-8.
    EXPECT_NE(path.find(L"\\VelmarquinCache\\bars_C38442"), std::wstring::npos);
    EXPECT_EQ(path.substr(path.size() - 6), L".cache");
    EXPECT_EQ(path.find(folder.Path()), 0u);
}

TEST_F(DiskCache, RoundTripWithAndWithoutShifts) {
    for (int shift : {0, 90, -45}) {
        settings.IntradayTimeShiftMinutes = shift;
        settings.EodTimeShiftDays = shift / 45;
        for (bool daily : {false, true}) {
            const int periodicity = daily ? 86400 : 300;
            const std::vector<Bar> bars = Series(daily, 20);
            const std::wstring path = CacheFilePath(L"AAPL", periodicity, settings);
            SaveCachedBars(path, periodicity, bars, settings);
            std::vector<Bar> back;
            ASSERT_TRUE(LoadCachedBars(path, periodicity, settings, back)) << shift;
            EXPECT_TRUE(SameBars(back, bars)) << "shift " << shift << " daily " << daily;
        }
    }
    // The format: header lines, ten decimals, CR LF; no temporary file left.
    const std::wstring path = CacheFilePath(L"AAPL", 300, PluginSettings{});
    SaveCachedBars(path, 300, Series(false, 1), PluginSettings{});
    const std::string file = ReadFileBytes(path);
    const long long t = UnixFromPackedLocal(PackDateTime(2024, 3, 15, 9, 0, 0));
    EXPECT_EQ(file, "VelmarquinCache 1\r\nperiodicity=300\r\n" + std::to_string(t) +
                        ",100.5000000000,101.2500000000,99.7500000000,100.1250000000,1234.5000000000,0.0000000000\r\n");
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((CacheDirectory() + L"\\*.tmp").c_str(), &entry);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

TEST_F(DiskCache, FreshnessLimits) {
    const std::wstring path = Write("VelmarquinCache 1\r\nperiodicity=300\r\n1700000000,1,2,0.5,1.5\r\n");
    std::vector<Bar> bars;
    Age(path, 10800);
    EXPECT_TRUE(LoadCachedBars(path, 300, settings, bars)) << "exactly 3 hours is still fresh";
    Age(path, 10801);
    EXPECT_FALSE(LoadCachedBars(path, 300, settings, bars));
    EXPECT_TRUE(bars.empty());
    EXPECT_TRUE(LoadCachedBars(path, 86400, settings, bars)) << "daily charts accept 36 hours";
    Age(path, 129600);
    EXPECT_TRUE(LoadCachedBars(path, 86400, settings, bars));
    Age(path, 129601);
    EXPECT_FALSE(LoadCachedBars(path, 86400, settings, bars));
    Age(path, -3600);  // written "in the future": age 0
    EXPECT_TRUE(LoadCachedBars(path, 300, settings, bars));
}

TEST_F(DiskCache, DamagedAndForeignFiles) {
    std::vector<Bar> bars;
    EXPECT_FALSE(LoadCachedBars(Write("VelmarquinCache 2\r\nperiodicity=300\r\n1700000000,1,2,0.5,1.5\r\n"), 300,
                                settings, bars));
    EXPECT_FALSE(LoadCachedBars(Write("VelmarquinCache 1\r\nperiodicity=300\r\n"), 300, settings, bars));
    EXPECT_FALSE(LoadCachedBars(Write(""), 300, settings, bars));
    EXPECT_FALSE(LoadCachedBars(CacheDirectory() + L"\\missing.cache", 300, settings, bars));

    ASSERT_TRUE(LoadCachedBars(Write("VelmarquinCache 1\r\nperiodicity=300\r\n1700000000,1,2,0.5,1.5\r\n"
                                     "1700000300,1,2,0.5\r\nnot a row\r\n1700000600,1,2,0.5,1.5,7,8\r\n"),
                               300, settings, bars));
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0].volume, 0.0f);
    EXPECT_EQ(bars[0].openInterest, 0.0f);
    EXPECT_EQ(bars[0].close, 1.5f);
    EXPECT_EQ(bars[1].volume, 7.0f);
    EXPECT_EQ(bars[1].openInterest, 8.0f);
}

// A file cut anywhere inside its last row (damaged or half-copied outside the
// plug-in) serves the rows before it and never a shortened number.
TEST_F(DiskCache, FileCutInsideItsLastRow) {
    const std::wstring path = CacheFilePath(L"CUT", 300, settings);
    const std::vector<Bar> series = Series(false, 4);
    SaveCachedBars(path, 300, series, settings);
    const std::string whole = ReadFileBytes(path);
    const size_t lastRow = whole.rfind('\n', whole.size() - 2) + 1;
    ASSERT_GT(lastRow, 0u);
    const std::vector<Bar> head(series.begin(), series.end() - 1);
    for (size_t cut = lastRow; cut < whole.size(); ++cut) {
        WriteFileBytes(path, whole.substr(0, cut));
        std::vector<Bar> bars;
        ASSERT_TRUE(LoadCachedBars(path, 300, settings, bars)) << cut;
        EXPECT_TRUE(SameBars(bars, head)) << "cut at " << cut << " of " << whole.size();
    }
    WriteFileBytes(path, whole);
    std::vector<Bar> bars;
    ASSERT_TRUE(LoadCachedBars(path, 300, settings, bars));
    EXPECT_TRUE(SameBars(bars, series));
}

// Rows as the plug-in writes them and rows edited by hand read exactly as the
// scan "%lld,%lf,%lf,%lf,%lf,%lf,%lf" reads them.
TEST_F(DiskCache, RowsReadAsTheScanReadsThem) {
    std::vector<std::string> rows;
    std::uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed;
    };
    char row[512];
    for (int i = 0; i < 2000; ++i) {
        const double scale[] = {1e-6, 0.01, 1, 173.25, 65000, 3e9, 1e15};
        auto value = [&] {
            const double v = static_cast<double>(static_cast<float>(next() % 100000) / 997.0f) * scale[next() % 7];
            return next() % 9 == 0 ? -v : v;
        };
        std::snprintf(row, sizeof(row), "%lld,%.10f,%.10f,%.10f,%.10f,%.10f,%.10f",
                      1600000000LL + static_cast<long long>(next() % 400000000u), value(), value(), value(), value(),
                      value(), value());
        rows.push_back(row);
    }
    for (const char* odd :
         {" 1700000000,1,2,3,4", "+1700000000,+1.5,2,3,4,5,6", "1700000000, 1,2,3,4,5,6", "1700000000,1e2,2.5E-3,3,4,5,6",
          "1700000000,1,2,3,4,5,6,7", "1700000000,1,2,3,4,5,6xyz", "1700000000,1,2,3,4,1e400,0", "1700000000,.5,5.,-.25,-0,1,2",
          "1700000000,1,2,3,4,5e", "99999999999999999999,1,2,3,4", "1700000000,1,2,3", "1700000000.5,1,2,3,4"}) {
        rows.push_back(odd);
    }
    std::string file = "VelmarquinCache 1\r\nperiodicity=300\r\n";
    std::vector<Bar> expected;
    for (const std::string& r : rows) {
        file += r + "\r\n";
        long long time = 0;
        double v[6] = {0, 0, 0, 0, 0, 0};
        const int fields =
            std::sscanf(r.c_str(), "%lld,%lf,%lf,%lf,%lf,%lf,%lf", &time, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        if (fields < 5) continue;
        Bar bar;
        bar.dateTime = ToHostDateTime(time, false, settings);
        if (bar.dateTime == 0) continue;
        bar.open = static_cast<float>(v[0]);
        bar.high = static_cast<float>(v[1]);
        bar.low = static_cast<float>(v[2]);
        bar.close = static_cast<float>(v[3]);
        // Volumes as the host can hold them: 1e400 (inf) reads as none.
        bar.volume = fields >= 6 ? VolumeAsFloat(v[4]) : 0.0f;
        bar.openInterest = fields >= 7 ? VolumeAsFloat(v[5]) : 0.0f;
        expected.push_back(bar);
    }
    std::vector<Bar> bars;
    ASSERT_TRUE(LoadCachedBars(Write(file), 300, settings, bars));
    ASSERT_EQ(bars.size(), expected.size());
    for (size_t i = 0; i < bars.size(); ++i) {
        ASSERT_EQ(bars[i].dateTime, expected[i].dateTime) << i;
        // Bit for bit: NaN and the sign of zero included.
        ASSERT_EQ(std::memcmp(&bars[i].open, &expected[i].open, 6 * sizeof(float)), 0) << i;
    }
}

TEST_F(DiskCache, RandomBytesNeverCrashTheReader) {
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<char>(seed >> 24);
    };
    for (int round = 0; round < 40; ++round) {
        std::string noise(static_cast<size_t>(round) * 97 + 1, '\0');
        for (char& c : noise) c = next();
        std::vector<Bar> bars;
        EXPECT_FALSE(LoadCachedBars(Write(noise), 300, settings, bars)) << round;
        EXPECT_TRUE(bars.empty());
        // Behind a good header the noise is read row by row; nothing may crash and
        // every row served must carry a convertible time.
        LoadCachedBars(Write("VelmarquinCache 1\r\n" + noise + "\r\n"), 300, settings, bars);
        for (const Bar& bar : bars) EXPECT_NE(bar.dateTime, 0u);
    }
}

TEST_F(DiskCache, ReplacingAFileNeverLeavesAShortOne) {
    const std::wstring path = CacheFilePath(L"MSFT", 86400, settings);
    SaveCachedBars(path, 86400, Series(true, 25), settings);
    // A writer killed half-way leaves only its temporary file behind; the
    // real file is untouched and still reads whole.
    WriteFileBytes(path + L".999.tmp", "VelmarquinCache 1\r\nperiodicity=86400\r\n17000");
    std::vector<Bar> bars;
    ASSERT_TRUE(LoadCachedBars(path, 86400, settings, bars));
    EXPECT_EQ(bars.size(), 25u);
    SaveCachedBars(path, 86400, Series(true, 3), settings);
    ASSERT_TRUE(LoadCachedBars(path, 86400, settings, bars));
    EXPECT_EQ(bars.size(), 3u);
    SaveCachedBars(path, 86400, {}, settings);  // nothing to write: the file stays
    ASSERT_TRUE(LoadCachedBars(path, 86400, settings, bars));
    EXPECT_EQ(bars.size(), 3u);
}

TEST_F(DiskCache, DeleteTreeAndClearCache) {
    EXPECT_TRUE(DeleteTree(folder.Join(L"no such folder")));
    const std::wstring path = CacheFilePath(L"AAPL", 86400, settings);
    SaveCachedBars(path, 86400, Series(true, 2), settings);
    CreateDirectoryW((CacheDirectory() + L"\\sub").c_str(), nullptr);
    WriteFileBytes(CacheDirectory() + L"\\sub\\x.cache", "x");
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((CacheDirectory() + L"\\sub\\x.cache").c_str(), FILE_ATTRIBUTE_READONLY);
    WithState([&](PluginState& s) {
        s.recentValid = true;
        s.symbolCache["AAPL"].hasQuote = true;
    });
    ClearCache();
    EXPECT_FALSE(PathExists(CacheDirectory()));
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    EXPECT_FALSE(s.recentValid);
    EXPECT_TRUE(s.symbolCache.empty());
}

TEST_F(DiskCache, SessionCompanionGoesWithItsCacheFile) {
    const std::wstring path = Write("VelmarquinCache 1\r\nperiodicity=86400\r\n");
    const std::wstring companion = CacheDirectory() + L"\\bars_test.session";
    const ExchangeSession forex{"America/New_York", "1700-1700", "20251225"};
    SaveSessionCompanion(path, "FX:EURUSD", forex);
    std::string id;
    ExchangeSession read;
    ASSERT_TRUE(LoadSessionCompanion(path, id, read));
    EXPECT_EQ(id, "FX:EURUSD");
    EXPECT_EQ(read.timezone, forex.timezone);
    EXPECT_EQ(read.session, forex.session);
    EXPECT_EQ(read.holidays, forex.holidays);

    // Written again without a known session (or with a value that would
    // break the file's lines), the old companion goes: it belonged to
    // another download.
    for (const ExchangeSession& unknown : {ExchangeSession{}, ExchangeSession{"Etc/UTC", "24x7\r\nsymbol=X:Y", ""}}) {
        SaveSessionCompanion(path, "FX:EURUSD", forex);
        SaveSessionCompanion(path, "FX:EURUSD", unknown);
        EXPECT_FALSE(PathExists(companion));
        EXPECT_FALSE(LoadSessionCompanion(path, id, read));
    }

    // Foreign or damaged companions are not read.
    for (const std::string& bad : {std::string("VelmarquinSession 2\r\nsymbol=A:B\r\ntimezone=Etc/UTC\r\n"),
                                   std::string("VelmarquinSession 1\r\ntimezone=Etc/UTC\r\n"),
                                   std::string("VelmarquinSession 1\r\nsymbol=A:B\r\nsession=24x7\r\n"),
                                   std::string("\x00\xFF garbage", 10)}) {
        WriteFileBytes(companion, bad);
        EXPECT_FALSE(LoadSessionCompanion(path, id, read)) << bad;
    }
}

TEST_F(DiskCache, ClearingNeverFollowsALinkOutOfTheCache) {
    TempFolder outside;
    const std::wstring precious = outside.Join(L"precious.txt");
    WriteFileBytes(precious, "not the cache's");
    CreateDirectoryW(CacheDirectory().c_str(), nullptr);
    const std::wstring link = CacheDirectory() + L"\\linked";
    if (!CreateSymbolicLinkW(link.c_str(), outside.Path().c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        GTEST_SKIP() << "no directory links here: " << GetLastError();
    }
    EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    // Windows follows the link (its target's file shows through it); Wine
    // does not, so here the test shows only that the link goes and what it
    // points at stays.
    ClearCache();
    EXPECT_FALSE(PathExists(CacheDirectory()));
    EXPECT_EQ(ReadFileBytes(precious), "not the cache's");
}

TEST_F(DiskCache, ALongKeyStillCaches) {
    // A cache file name just inside the file system's 255 characters: its
    // temporary file must not be the one name too long.
    const std::wstring ticker(90, L'X');
    const std::wstring path = CacheFilePath(ticker, 86400, settings);
    const size_t nameLength = path.size() - path.find_last_of(L'\\') - 1;
    ASSERT_GT(nameLength, 240u);
    ASSERT_LE(nameLength, 255u);
    ASSERT_TRUE(SaveCachedBars(path, 86400, Series(true, 3), settings));
    std::vector<Bar> bars;
    EXPECT_TRUE(LoadCachedBars(path, 86400, settings, bars));
    EXPECT_EQ(bars.size(), 3u);
}

TEST(CacheRow, TheFastWriterPrintsWhatTheCLibraryPrints) {
    // Ties at the tenth decimal go to the even digit, as the print rounds;
    // the rest are prices and volumes as the service sends them, the
    // smallest and largest floats, and values only the print itself writes.
    const float cases[] = {0.0f, -0.0f, 1.0f, 172.94f, 0.00048828125f, 1.00048828125f, 0.000030517578125f, 123456.78125f,
                           1e-20f, -1e-20f, 1.17549435e-38f, 1.4e-45f, 2.7e9f, 1.8e9f, 59825372.0f, 3.0e38f,
                           -4.5f, std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(), 0.1f, 0.3f, 9.9999999e-11f};
    for (float value : cases) {
        const float values[6] = {value, 1.5f, value, 2.25f, value, 0.0f};
        char fast[kCacheRowCapacity];
        char printed[kCacheRowCapacity];
        const size_t n = FormatCacheRow(-1234567890123LL, values, fast);
        const int expected = std::snprintf(printed, sizeof(printed), "%lld,%.10f,%.10f,%.10f,%.10f,%.10f,%.10f\r\n",
                                           -1234567890123LL, static_cast<double>(values[0]), 1.5, static_cast<double>(value),
                                           2.25, static_cast<double>(value), 0.0);
        ASSERT_GT(expected, 0);
        EXPECT_EQ(std::string(fast, n), std::string(printed, static_cast<size_t>(expected))) << value;
    }
}
