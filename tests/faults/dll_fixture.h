// The fixture of the tests that drive a private copy of the DLL as the host
// does, with a database whose settings file points at the local service double.
#pragma once

#include <string>
#include <vector>

#include "net/double_fixture.h"
#include "protocol/json_text.h"
#include "support/plugin_exports.h"

namespace {

using testing_support::HostWindow;
using testing_support::Narrow;
using testing_support::PluginCopy;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

class DllTest : public DoubleTest {
protected:
    // The database's settings file: `tradingView` as the [TradingView] lines,
    // every origin at the double unless another is given.
    std::string SettingsText(const std::string& tradingView, const std::string& searchOrigin = "",
                             const std::string& webOrigin = "", const std::string& dataOrigin = "") const {
        const std::string good = Narrow(service.Origin());
        auto orGood = [&](const std::string& origin) { return origin.empty() ? good : origin; };
        return "[TradingView]\r\n" + tradingView + "[Velmarquin]\r\n" + ownSection +
               "[Service]\r\nSymbolSearchOrigin=" + orGood(searchOrigin) + "\r\nWebOrigin=" + orGood(webOrigin) +
               "\r\nDataOrigin=" + orGood(dataOrigin) + "\r\n";
    }
    // The plug-in's own section. The test's thread owns the window passed to
    // Notify, so it is the host's window thread: these tests ask for the
    // bars the way the host's other threads do, synchronously, unless a
    // test says otherwise.
    std::string ownSection = "BackgroundDownloads=0\r\n";
    int Notify(int reason) { return Notify(reason, window.Get()); }
    int Notify(int reason, HWND mainWindow) {
        HostNotification n = {};
        n.size = sizeof(n);
        n.reason = reason;
        n.databasePath = database.c_str();
        n.mainWindow = mainWindow;
        return dll.Notify(&n);
    }
    StatusBytes Status() {
        StatusBytes status = {};
        EXPECT_EQ(dll.GetPluginStatus(&status), 1);
        return status;
    }
    std::wstring IniPath() const { return plugin.DatabaseFolder() + L"\\Velmarquin.ini"; }
    std::wstring CacheFolder() const { return plugin.DatabaseFolder() + L"\\VelmarquinCache"; }
    // The names and sizes of the cache files, as one text.
    std::string CacheListing() const {
        std::string listing;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((CacheFolder() + L"\\bars_*.cache").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return listing;
        do {
            listing += Narrow(found.cFileName) + ":" + std::to_string(found.nFileSizeLow) + ";";
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return listing;
    }
    // The first cache file, or empty when there is none.
    std::wstring CacheFile() const {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((CacheFolder() + L"\\bars_*.cache").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return {};
        FindClose(find);
        return CacheFolder() + L"\\" + found.cFileName;
    }
    // The status lines the plug-in set since the test began, in order.
    std::vector<std::string> StatusLines() const {
        std::vector<std::string> lines;
        const std::string log = plugin.Log();
        const std::string tag = "STATUS: ";
        for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
            const size_t end = log.find("\r\n", at);
            lines.push_back(log.substr(at + tag.size(), end - at - tag.size()));
        }
        return lines;
    }
    bool HasStatusLine(const std::string& text) const {
        for (const std::string& line : StatusLines()) {
            if (line == text) return true;
        }
        return false;
    }

    PluginCopy plugin;
    Exports dll{plugin};
    HostWindow window;
    std::string database = Narrow(plugin.DatabaseFolder());
    std::vector<HostQuotation> quotes = std::vector<HostQuotation>(100);
};

// A DLL the host has initialised and told of its database: TimeoutMs 3000,
// PollSeconds `pollSeconds` (an hour: each ticker polled once, at once) and
// the settings lines of `extra`.
class HostDllTest : public DllTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        WriteFileBytes(IniPath(), SettingsText("TimeoutMs=3000\r\nPollSeconds=" + pollSeconds + "\r\n" + extra));
        ASSERT_EQ(dll.Init(), 1);
        ASSERT_EQ(Notify(1), 1);
    }
    void TearDown() override {
        dll.Release();
        DoubleTest::TearDown();
    }
    std::string pollSeconds = "3600";
    std::string extra;
};

// A frame of ASCII text, its length as the service writes it.
inline std::string AsciiFrame(const std::string& ascii) {
    return "~m~" + std::to_string(ascii.size()) + "~m~" + ascii;
}

// One ws.replay entry: the double answers `on` with `text`, each frame's
// session renamed to the client's own (the service always names them).
inline std::string Replay(const std::string& on, const std::string& text, const std::string& then = "go_on") {
    return "{\"on\":\"" + on + "\",\"text\":" + JsonQuote(text) + ",\"then\":\"" + then + "\",\"rename\":true}";
}

}  // namespace
