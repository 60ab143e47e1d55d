// The status field's popup menu driven with the keyboard, in-process under a
// display, and the re-download action's answers. The service origins point
// at a closed loopback port, so every download fails at once and nothing
// leaves this machine; message boxes and the shell go through the seams.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/path.h"
#include "foundation/state.h"
#include "support/test_support.h"
#include "support/ui_driver.h"
#include "ui/config_window.h"
#include "ui/desktop.h"
#include "ui/status_menu.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using namespace ui_driver;
using testing_support::PathExists;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

struct BoxShown {
    HWND owner;
    std::wstring text;
    std::wstring title;
    UINT flags;
};

std::mutex g_lock;
std::vector<BoxShown> g_boxes;
std::vector<std::wstring> g_opened;

int RecordBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_boxes.push_back({owner, text, title, flags});
    return IDOK;
}

void RecordShellOpen(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_opened.push_back(path);
}

// Menu positions of the commands (the separator is skipped by the keys).
enum MenuItem { kConfiguration = 0, kGuide, kRedownload, kClearCache, kBulk };

class StatusMenu : public ::testing::Test {
protected:
    void SetUp() override {
        SetMessageBoxSeam(RecordBox);
        SetShellOpenSeam(RecordShellOpen);
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_boxes.clear();
            g_opened.clear();
        }
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.settings = PluginSettings{};
        s.settings.TimeoutMs = 2000;
        s.origins.symbolSearch = s.origins.web = s.origins.data = L"https://127.0.0.1:9";
        s.databaseFolder = database.Path();
        s.iniPath = database.Join(L"Velmarquin.ini");
        s.lastTicker.clear();
        s.lastPeriodicity = 86400;
        s.lastBars = 300;
    }
    void TearDown() override {
        SetMessageBoxSeam(nullptr);
        SetShellOpenSeam(nullptr);
    }

    // Opens the menu as a right-click does, presses Down `item` + 1 times and
    // Enter (or only Escape when item < 0); true when the menu came and went.
    bool Choose(int item) {
        host.Start([] { ShowStatusMenu(); });
        if (WaitFor(OpenMenu) == nullptr) return false;
        owner = FindTopLevel(L"VelmarquinPopupHost");
        if (owner == nullptr) return false;
        if (item < 0) {
            PostKey(owner, VK_ESCAPE);
        } else {
            for (int i = 0; i <= item; ++i) PostKey(owner, VK_DOWN);
            PostKey(owner, VK_RETURN);
        }
        return host.Wait(20000);
    }
    std::vector<BoxShown> Boxes() const {
        std::lock_guard<std::mutex> lock(g_lock);
        return g_boxes;
    }
    void SetTickerAndSymbols(const std::wstring& ticker, const std::wstring& symbols) {
        WithState([&](PluginState& s) {
            s.lastTicker = ticker;
            s.settings.BulkSymbols = symbols;
        });
    }
    std::wstring Status() const { return WithState([&](PluginState& s) { return s.statusText; }); }

    TempFolder database;
    HWND owner = nullptr;
    // The popup's hidden owner belongs to the thread that made it, so every
    // menu of a test comes from the same thread, as the host's do.
    HostThread host;
};

TEST_F(StatusMenu, EscapeRunsNothingAndTheOwnerWindowIsReused) {
    ASSERT_TRUE(Choose(-1));
    const HWND first = owner;
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(IsWindowVisible(first));
    ASSERT_TRUE(Choose(-1));
    EXPECT_EQ(owner, first);
    EXPECT_EQ(CountTopLevel(L"VelmarquinPopupHost"), 1);
    EXPECT_TRUE(Boxes().empty());
    std::lock_guard<std::mutex> lock(g_lock);
    EXPECT_TRUE(g_opened.empty());
}

TEST_F(StatusMenu, GuideClearCacheAndBulkUpdateCommands) {
    ASSERT_TRUE(Choose(kGuide));
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ASSERT_EQ(g_opened.size(), 1u);
        EXPECT_EQ(g_opened[0], JoinPath(ModuleFolder(), L"TECHNICAL_GUIDE.html"));
    }

    const std::wstring cache = database.Join(L"VelmarquinCache");
    ASSERT_TRUE(CreateDirectoryW(cache.c_str(), nullptr));
    WriteFileBytes(cache + L"\\bars_41.cache", "VelmarquinCache 1\r\n");
    ASSERT_TRUE(Choose(kClearCache));
    EXPECT_FALSE(PathExists(cache));

    ASSERT_TRUE(Choose(kBulk));  // no symbols configured
    SetTickerAndSymbols(L"", L"AAPL;ZZZ");
    ASSERT_TRUE(Choose(kBulk));

    const std::vector<BoxShown> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, L"Cache cleared.");
    EXPECT_EQ(boxes[0].title, L"Velmarquin");
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(boxes[1].text, L"No bulk symbols entered.");
    EXPECT_EQ(boxes[1].title, L"Velmarquin");
    EXPECT_EQ(boxes[2].text.rfind(L"Bulk update finished: 0 ok, 2 failed.\nFirst error: AAPL: ", 0), 0u) << testing_support::Narrow(boxes[2].text);
    EXPECT_EQ(boxes[2].title, L"Velmarquin");
}

TEST_F(StatusMenu, RedownloadWithoutATicker) {
    // Nothing charted yet and no bulk symbols: the cache is cleared and the user is told.
    const std::wstring cache = database.Join(L"VelmarquinCache");
    ASSERT_TRUE(CreateDirectoryW(cache.c_str(), nullptr));
    ASSERT_TRUE(Choose(kRedownload));
    EXPECT_FALSE(PathExists(cache));
    EXPECT_EQ(Status(), L"Re-download requested: cache cleared");

    // With bulk symbols, the bulk update runs under the re-download title.
    SetTickerAndSymbols(L"  ", L" MSFT ");
    ASSERT_TRUE(Choose(kRedownload));

    const std::vector<BoxShown> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              L"Downloaded quote cache cleared.\n\nAmiBroker will re-download the quotes on the next chart refresh or "
              L"symbol request.");
    EXPECT_EQ(boxes[0].title, L"Velmarquin - Re-download");
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(boxes[1].text.rfind(L"Bulk update finished: 0 ok, 1 failed.\nFirst error: MSFT: ", 0), 0u);
    EXPECT_EQ(boxes[1].title, L"Velmarquin - Re-download");
}

TEST_F(StatusMenu, RedownloadOfAFailingTickerShowsTheErrorAndRestoresTheCursor) {
    SetTickerAndSymbols(L"ZZZ", L"AAPL");
    const HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    RedownloadQuotes(nullptr);
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));
    SetCursor(before);

    const std::vector<BoxShown> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, L"Velmarquin - Re-download");
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    const std::wstring lead = L"Re-download failed for ZZZ:\n\n";
    ASSERT_EQ(boxes[0].text.rfind(lead, 0), 0u) << testing_support::Narrow(boxes[0].text);
    const std::wstring error = boxes[0].text.substr(lead.size());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Status(), L"Re-download failed: " + error);
}

// The host's own window: a right-click on the status field reaches the
// plug-in through the host's window procedure, also while the plug-in's
// configuration window runs its loop on the same thread.
constexpr UINT kRightClick = WM_APP + 1;

LRESULT CALLBACK HostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRightClick) {
        ShowStatusMenu();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(StatusMenu, OpenConfigurationOpensOneWindowAndStoresItsRecord) {
    HWND hostWindow = nullptr;
    host.Start([&hostWindow] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = HostProcedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"StatusMenuTestHost";
        RegisterClassW(&wc);
        hostWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    });
    ASSERT_TRUE(host.Wait());
    ASSERT_NE(hostWindow, nullptr);

    auto rightClickAndChoose = [&](int item) {
        PostMessageW(hostWindow, kRightClick, 0, 0);
        if (WaitFor(OpenMenu) == nullptr) return false;
        owner = FindTopLevel(L"VelmarquinPopupHost");
        for (int i = 0; i <= item; ++i) PostKey(owner, VK_DOWN);
        PostKey(owner, VK_RETURN);
        return WaitUntil([] { return OpenMenu() == nullptr; });
    };
    host.Start([] {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != WM_APP + 2) DispatchMessageW(&msg);
    });
    ASSERT_TRUE(rightClickAndChoose(kConfiguration));
    HWND window = WaitFor([] { return FindConfigWindow(); });
    ASSERT_NE(window, nullptr);

    // A second "Open configuration" while the window is open only brings it to the front.
    ASSERT_TRUE(rightClickAndChoose(kConfiguration));
    Sleep(300);
    EXPECT_EQ(FindConfigWindow(), window);
    EXPECT_EQ(CountTopLevel(L"VelmarquinConfigWindow"), 1);

    // Save stores the window's record as the current settings.
    SendMessageW(FindById(window, kIdUsername), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"menu-user"));
    SendMessageW(FindById(window, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntil([] {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        return s.settings.Username == L"menu-user";
    }));
    PostMessageW(hostWindow, WM_APP + 2, 0, 0);
    ASSERT_TRUE(host.Wait());
    host.Start([hostWindow] { DestroyWindow(hostWindow); });
    ASSERT_TRUE(host.Wait());
}

}  // namespace
