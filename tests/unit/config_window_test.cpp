// The configuration window as the user meets it, in-process under a display:
// every control where the tables put it, the tabs, Save and the ways of
// leaving without saving, the Tools buttons. Message boxes and the shell are
// caught through the desktop seams, so nothing but the window appears.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/path.h"
#include "foundation/settings.h"
#include "foundation/state.h"
#include "support/test_support.h"
#include "support/ui_driver.h"
#include "ui/config_window.h"
#include "ui/desktop.h"
#include "support/state_access.h"

namespace {

using testing_support::WithState;

using namespace ui_driver;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

struct BoxShown {
    std::wstring text;
    std::wstring title;
    UINT flags;
};

std::mutex g_seenLock;
std::vector<BoxShown> g_boxes;
std::vector<std::wstring> g_opened;

int RecordBox(HWND, const std::wstring& text, const std::wstring& title, UINT flags) {
    std::lock_guard<std::mutex> lock(g_seenLock);
    g_boxes.push_back({text, title, flags});
    return IDOK;
}

void RecordShellOpen(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_seenLock);
    g_opened.push_back(path);
}

class ConfigWindow : public ::testing::Test {
public:
    void SetUp() override {
        SetMessageBoxSeam(RecordBox);
        SetShellOpenSeam(RecordShellOpen);
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_boxes.clear();
        g_opened.clear();
    }
    void TearDown() override {
        if (call) {
            CloseConfigWindow();
            call->Wait();
        }
        SetMessageBoxSeam(nullptr);
        SetShellOpenSeam(nullptr);
    }

    // Opens the window on a thread of its own, as the host's thread would run it.
    HWND Open(const PluginSettings& settings) {
        edited = settings;
        call = std::make_unique<ModalCall>([this] { saved = OpenConfigWindow(ini, edited); });
        window = WaitFor([] { return FindConfigWindow(); });
        return window;
    }
    // Waits for OpenConfigWindow to return; true when it did.
    bool Finished() {
        const bool done = call->Wait();
        call.reset();
        return done;
    }
    HWND Control(int id) const { return FindById(window, id); }
    HWND Page(int index) const {
        const int idOnPage[] = {kIdExtendedHours, kIdMarket, kIdBulkSymbols};
        return GetParent(Control(idOnPage[index]));
    }
    void Type(int id, const std::wstring& text) const {
        SendMessageW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void Click(HWND button) const { SendMessageW(button, BM_CLICK, 0, 0); }
    std::vector<BoxShown> Boxes() const {
        std::lock_guard<std::mutex> lock(g_seenLock);
        return g_boxes;
    }

    TempFolder folder;
    std::wstring ini = folder.Join(L"Velmarquin.ini");
    PluginSettings edited;
    bool saved = false;
    std::unique_ptr<ModalCall> call;
    HWND window = nullptr;
};

void ExpectRect(HWND control, int x, int y, int width, int height, const std::wstring& what) {
    ASSERT_NE(control, nullptr) << testing_support::Narrow(what);
    const RECT r = RectInParent(control);
    EXPECT_EQ(r.left, x) << testing_support::Narrow(what);
    EXPECT_EQ(r.top, y) << testing_support::Narrow(what);
    EXPECT_EQ(r.right - r.left, width) << testing_support::Narrow(what);
    if (height > 0) {
        EXPECT_EQ(r.bottom - r.top, height) << testing_support::Narrow(what);
    }
}

bool HasStyle(HWND control, LONG style) { return (GetWindowLongW(control, GWL_STYLE) & style) == style; }
bool HasExStyle(HWND control, LONG style) { return (GetWindowLongW(control, GWL_EXSTYLE) & style) == style; }

int MeasuredCheckBoxWidth(const wchar_t* caption) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SIZE size{};
    GetTextExtentPoint32W(dc, caption, static_cast<int>(wcslen(caption)), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size.cx + 34;
}

TEST_F(ConfigWindow, EveryControlSitsWhereTheTablesPutIt) {
    ASSERT_NE(Open(PluginSettings{}), nullptr);
    EXPECT_EQ(Text(window), L"Velmarquin Configuration");
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 620);
    EXPECT_EQ(client.bottom, 560);
    EXPECT_TRUE(HasExStyle(window, WS_EX_DLGMODALFRAME));
    EXPECT_FALSE(HasStyle(window, WS_THICKFRAME));

    HWND tab = FindById(window, 0);
    ASSERT_EQ(ClassOf(tab), L"SysTabControl32");
    ExpectRect(tab, 14, 10, 592, 28, L"tab control");
    ASSERT_EQ(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0), 3);
    const wchar_t* tabNames[] = {L"Chart", L"Connection", L"Tools"};
    for (int i = 0; i < 3; ++i) {
        wchar_t name[32] = {};
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = name;
        item.cchTextMax = 32;
        SendMessageW(tab, TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(name, tabNames[i]);
        ExpectRect(Page(i), 14, 46, 592, 460, L"page");
        EXPECT_EQ(ClassOf(Page(i)), L"VelmarquinConfigPage");
    }
    ExpectRect(Control(IDOK), 442, 522, 78, 24, L"Save");
    ExpectRect(Control(IDCANCEL), 528, 522, 78, 24, L"Cancel");
    EXPECT_EQ(Text(Control(IDOK)), L"Save");
    EXPECT_TRUE(HasStyle(Control(IDOK), BS_DEFPUSHBUTTON));
    EXPECT_EQ(Text(Control(IDCANCEL)), L"Cancel");

    struct Field {
        int page, id;
        const wchar_t* cls;
        int x, y, width, height;
        LONG style;
        const wchar_t* caption;
    };
    const Field fields[] = {
        {0, kIdExtendedHours, L"Button", 14, 102, 0, 24, BS_AUTOCHECKBOX, L"Extended trading hours"},
        {0, kIdAdjustContracts, L"Button", 14, 134, 0, 24, BS_AUTOCHECKBOX, L"Adjusted prices for splits"},
        {0, kIdUseSettlementAsClose, L"Button", 14, 166, 0, 24, BS_AUTOCHECKBOX, L"Use settlement as close"},
        {0, kIdResolutionOverride, L"ComboBox", 152, 200, 280, 0, CBS_DROPDOWNLIST | CBS_HASSTRINGS, nullptr},
        {0, kIdIntradayShift, L"Edit", 152, 234, 280, 22, ES_NUMBER, nullptr},
        {0, kIdEodShift, L"Edit", 152, 268, 280, 22, ES_NUMBER, nullptr},
        {1, kIdMarket, L"ComboBox", 152, 90, 280, 0, CBS_DROPDOWNLIST | CBS_HASSTRINGS, nullptr},
        {1, kIdUsername, L"Edit", 152, 122, 280, 22, 0, nullptr},
        {1, kIdPassword, L"Edit", 152, 154, 280, 22, ES_PASSWORD, nullptr},
        {1, kIdUserAgent, L"Edit", 152, 186, 280, 22, 0, nullptr},
        {1, kIdTimeoutMs, L"Edit", 152, 218, 280, 22, ES_NUMBER, nullptr},
        {1, kIdPollSeconds, L"Edit", 152, 250, 280, 22, ES_NUMBER, nullptr},
        // Below the Connection tab's fields, moving none of them.
        {1, kIdBackgroundDownloads, L"Button", 14, 288, 0, 24, BS_AUTOCHECKBOX,
         L"Download in the background (charts never wait)"},
        {1, kIdStreaming, L"Button", 14, 320, 0, 24, BS_AUTOCHECKBOX, L"Stream live data over one connection"},
        {1, kIdSessionCookie, L"Edit", 152, 356, 280, 22, ES_PASSWORD, nullptr},
        {1, kIdSessionCookieSign, L"Edit", 152, 388, 280, 22, ES_PASSWORD, nullptr},
        {2, kIdBulkSymbols, L"Edit", 152, 110, 280, 90, ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL | ES_WANTRETURN,
         nullptr},
        {2, kIdBulkUpdate, L"Button", 14, 208, 110, 24, 0, L"Bulk update"},
        {2, kIdTechGuide, L"Button", 234, 208, 92, 24, 0, L"Tech guide"},
        {2, kIdInfo, L"Button", 334, 208, 80, 24, 0, L"Info"},
        {2, kIdClearCache, L"Button", 424, 208, 110, 24, 0, L"Clear cache"},
        // The connection check, below the Tools tab's texts, moving none of them.
        {2, kIdTestConnection, L"Button", 14, 310, 130, 24, 0, L"Test connection"},
        {2, kIdCheckTicker, L"Edit", 152, 311, 130, 22, 0, L"AAPL"},
        {2, kIdCopyCheck, L"Button", 292, 310, 80, 24, 0, L"Copy"},
        {2, kIdCheckResults, L"Edit", 14, 342, 560, 110, ES_MULTILINE | ES_READONLY | WS_VSCROLL, L""},
    };
    HFONT guiFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (const Field& f : fields) {
        HWND control = Control(f.id);
        const std::wstring what = L"control " + std::to_wstring(f.id);
        ASSERT_NE(control, nullptr) << f.id;
        EXPECT_EQ(GetParent(control), Page(f.page)) << f.id;
        EXPECT_EQ(ClassOf(control), f.cls) << f.id;
        const int width = f.width > 0 ? f.width : MeasuredCheckBoxWidth(f.caption);
        ExpectRect(control, f.x, f.y, width, f.height, what);
        EXPECT_TRUE(HasStyle(control, WS_CHILD | WS_TABSTOP | f.style)) << f.id;
        if (f.cls == std::wstring(L"Edit")) {
            EXPECT_TRUE(HasExStyle(control, WS_EX_CLIENTEDGE)) << f.id;
        }
        if (f.caption != nullptr) {
            EXPECT_EQ(Text(control), f.caption) << f.id;
        }
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), guiFont) << f.id;
    }
    // The combo boxes' 200 pixels include their list, which the platform
    // rounds down to whole items.
    for (int id : {kIdMarket, kIdResolutionOverride}) {
        RECT dropped{};
        SendMessageW(Control(id), CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
        const LONG item = static_cast<LONG>(SendMessageW(Control(id), CB_GETITEMHEIGHT, 0, 0));
        EXPECT_LE(dropped.bottom - dropped.top, 200) << id;
        EXPECT_GE(dropped.bottom - dropped.top, 200 - 3 * item) << id;
    }

    struct Static {
        int page;
        const wchar_t* text;
        int x, y, width, height;
        bool transparent;
    };
    const Static statics[] = {
        {0, L"Chart settings", 14, 68, 200, 18, true},
        {0, L"Timeframe override", 14, 204, 130, 18, false},
        {0, L"Intraday shift (min)", 14, 238, 130, 18, false},
        {0, L"EOD shift (days)", 14, 272, 130, 18, false},
        {1, L"Connection settings", 14, 68, 200, 18, true},
        {1, L"Market", 14, 94, 130, 18, false},
        {1, L"Username", 14, 126, 130, 18, false},
        {1, L"Password", 14, 158, 130, 18, false},
        {1, L"User agent", 14, 190, 130, 18, false},
        {1, L"Timeout ms", 14, 222, 130, 18, false},
        {1, L"Poll seconds", 14, 254, 130, 18, false},
        {2, L"Tools", 14, 68, 200, 18, true},
        {2, L"Bulk update runs the symbol list below. The other buttons open local docs and maintenance helpers.", 14,
         86, 480, 30, true},
        {2, L"Bulk symbols", 14, 114, 130, 18, false},
        {2, L"Saved in the database INI. 'auto' lets the plugin choose the market automatically.", 14, 272, 430, 30,
         true},
    };
    for (const Static& st : statics) {
        HWND control = FindByText(Page(st.page), L"Static", st.text);
        ExpectRect(control, st.x, st.y, st.width, st.height, st.text);
        if (control != nullptr) {
            EXPECT_EQ(HasExStyle(control, WS_EX_TRANSPARENT), st.transparent) << testing_support::Narrow(st.text);
        }
    }

    // The drop-down items, in order.
    const std::vector<std::wstring> markets = {L"auto", L"stock", L"futures", L"forex", L"crypto", L"index", L"cfd", L"economic"};
    const std::vector<std::wstring> timeframes = {L"auto", L"1", L"5", L"15", L"30", L"60", L"120", L"240", L"1D", L"1W"};
    auto items = [](HWND box) {
        std::vector<std::wstring> list;
        const LRESULT count = SendMessageW(box, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t text[64] = {};
            SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
            list.push_back(text);
        }
        return list;
    };
    EXPECT_EQ(items(Control(kIdMarket)), markets);
    EXPECT_EQ(items(Control(kIdResolutionOverride)), timeframes);

    MINMAXINFO limits{};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, 520);
    EXPECT_EQ(limits.ptMinTrackSize.y, 480);
}

TEST_F(ConfigWindow, TabsShowExactlyOnePageAndTheLayoutFollowsTheSize) {
    ASSERT_NE(Open(PluginSettings{}), nullptr);
    auto visiblePages = [this] {
        std::vector<int> shown;
        for (int i = 0; i < 3; ++i) {
            if (IsWindowVisible(Page(i))) shown.push_back(i);
        }
        return shown;
    };
    EXPECT_EQ(visiblePages(), std::vector<int>{0});
    HWND tab = FindById(window, 0);
    for (int index : {2, 1, 0, 2}) {
        ClickTab(tab, index);
        EXPECT_EQ(visiblePages(), std::vector<int>{index});
        EXPECT_EQ(IsWindowVisible(Control(kIdBulkUpdate)) != FALSE, index == 2);
        EXPECT_EQ(IsWindowVisible(Control(kIdMarket)) != FALSE, index == 1);
    }

    RECT frame{0, 0, 800, 700};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top, SWP_NOMOVE | SWP_NOZORDER);
    ExpectRect(tab, 14, 10, 772, 28, L"tab control");
    ExpectRect(Page(1), 14, 46, 772, 600, L"page");
    ExpectRect(Control(IDOK), 622, 662, 78, 24, L"Save");
    ExpectRect(Control(IDCANCEL), 708, 662, 78, 24, L"Cancel");
}

PluginSettings UnusualSettings() {
    PluginSettings s;
    s.Market = L"etf";
    s.ResolutionOverride = L"d";
    s.Username = L"trader";
    s.Password = L"secret";
    s.TimeoutMs = 2500;
    s.PollSeconds = 7;
    s.ExtendedHours = false;
    s.UseSettlementAsClose = true;
    s.IntradayTimeShiftMinutes = -45;
    s.EodTimeShiftDays = 2;
    s.BulkSymbols = L"AAPL\r\nMSFT; BRK B";
    s.SessionCookie = L"sid-abc";
    return s;
}

TEST_F(ConfigWindow, ShowsTheStoredValuesAndSaveKeepsOnesOutsideTheLists) {
    const PluginSettings stored = UnusualSettings();
    ASSERT_NE(Open(stored), nullptr);
    // A market type and a resolution the lists do not offer are shown, not blank.
    EXPECT_EQ(Text(Control(kIdMarket)), L"etf");
    EXPECT_EQ(Text(Control(kIdResolutionOverride)), L"D");
    EXPECT_EQ(Text(Control(kIdUsername)), L"trader");
    EXPECT_EQ(Text(Control(kIdPassword)), L"secret");
    EXPECT_EQ(Text(Control(kIdUserAgent)), kDefaultUserAgent);
    EXPECT_EQ(Text(Control(kIdTimeoutMs)), L"2500");
    EXPECT_EQ(Text(Control(kIdPollSeconds)), L"7");
    EXPECT_EQ(Text(Control(kIdIntradayShift)), L"-45");
    EXPECT_EQ(Text(Control(kIdEodShift)), L"2");
    EXPECT_EQ(Text(Control(kIdBulkSymbols)), L"AAPL\r\nMSFT; BRK B");
    EXPECT_EQ(Text(Control(kIdSessionCookie)), L"sid-abc");
    EXPECT_EQ(Text(Control(kIdSessionCookieSign)), L"");
    EXPECT_EQ(SendMessageW(Control(kIdExtendedHours), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(Control(kIdAdjustContracts), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(Control(kIdUseSettlementAsClose), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(Control(kIdBackgroundDownloads), BM_GETCHECK, 0, 0), BST_CHECKED);

    // Save after changing something else.
    Type(kIdUsername, L"other");
    SendMessageW(Control(kIdBackgroundDownloads), BM_SETCHECK, BST_UNCHECKED, 0);
    EXPECT_EQ(SendMessageW(Control(kIdStreaming), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(Control(kIdStreaming), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(Control(kIdAdjustContracts), BM_SETCHECK, BST_UNCHECKED, 0);
    Type(kIdBulkSymbols, L"AAPL\r\nMSFT\r\n\r\nIBM");
    Type(kIdSessionCookieSign, L" v3:signed \r\n");  // as pasted from the browser
    Click(Control(IDOK));
    ASSERT_TRUE(Finished());
    EXPECT_TRUE(saved);
    EXPECT_EQ(edited.Market, L"etf");
    EXPECT_EQ(edited.ResolutionOverride, L"D");
    EXPECT_EQ(edited.Username, L"other");
    EXPECT_EQ(edited.UserAgent, kDefaultUserAgent);
    EXPECT_FALSE(edited.AdjustContracts);
    EXPECT_EQ(edited.IntradayTimeShiftMinutes, -45);
    EXPECT_EQ(edited.EodTimeShiftDays, 2);
    EXPECT_EQ(edited.BulkSymbols, L"AAPL\r\nMSFT\r\n\r\nIBM");

    // The file holds what was saved; the symbol list stays on its one line.
    PluginSettings fromFile;
    ReadSettingsFile(ini, fromFile);
    EXPECT_EQ(fromFile.Market, L"etf");
    EXPECT_EQ(fromFile.ResolutionOverride, L"D");
    EXPECT_EQ(fromFile.Username, L"other");
    EXPECT_EQ(fromFile.Password, L"secret");
    EXPECT_EQ(fromFile.SessionCookie, L"sid-abc");
    EXPECT_EQ(fromFile.SessionCookieSign, L"v3:signed");
    for (const char* secret : {"secret", "sid-abc", "v3:signed"}) {
        EXPECT_EQ(ReadFileBytes(ini).find(secret), std::string::npos) << secret << " saved in plain text";
    }
    EXPECT_EQ(fromFile.TimeoutMs, 2500);
    EXPECT_EQ(fromFile.PollSeconds, 7);
    EXPECT_FALSE(fromFile.ExtendedHours);
    EXPECT_FALSE(fromFile.AdjustContracts);
    EXPECT_TRUE(fromFile.UseSettlementAsClose);
    EXPECT_EQ(fromFile.IntradayTimeShiftMinutes, -45);
    EXPECT_EQ(fromFile.BulkSymbols, L"AAPL,MSFT,,IBM");
    EXPECT_EQ(ReadFileBytes(ini).find("\nIBM"), std::string::npos);
    // The plug-in's own option goes into its own section; [TradingView]
    // keeps its fourteen keys.
    EXPECT_FALSE(fromFile.BackgroundDownloads);
    EXPECT_TRUE(fromFile.Streaming);
    EXPECT_NE(ReadFileBytes(ini).find("[Velmarquin]\r\nBackgroundDownloads=0\r\nStreaming=1\r\n"), std::string::npos);
    const std::string tradingView = ReadFileBytes(ini).substr(ReadFileBytes(ini).find("[TradingView]"));
    EXPECT_EQ(std::count(tradingView.begin(), tradingView.begin() + static_cast<std::ptrdiff_t>(tradingView.find("[Velmarquin]")), '='), 14);
}

TEST_F(ConfigWindow, SaveReadsNumbersByTheirRules) {
    PluginSettings stored = UnusualSettings();
    ASSERT_NE(Open(stored), nullptr);
    Type(kIdTimeoutMs, L"0");            // keeps 2500
    Type(kIdPollSeconds, L"0");          // 0 is taken
    Type(kIdIntradayShift, L"abc");      // no number gives 0
    Type(kIdEodShift, L"12x");           // leading digits
    Type(kIdUsername, std::wstring(600, L'u'));  // 511 characters are taken
    Type(kIdResolutionOverride, L"");
    SendMessageW(Control(kIdResolutionOverride), CB_SETCURSEL, 9, 0);  // "1W"
    SendMessageW(Control(kIdMarket), CB_SETCURSEL, 4, 0);              // "crypto"
    Click(Control(IDOK));
    ASSERT_TRUE(Finished());
    ASSERT_TRUE(saved);
    EXPECT_EQ(edited.TimeoutMs, 2500);
    EXPECT_EQ(edited.PollSeconds, 0);
    EXPECT_EQ(edited.IntradayTimeShiftMinutes, 0);
    EXPECT_EQ(edited.EodTimeShiftDays, 12);
    EXPECT_EQ(edited.Username.size(), 511u);
    EXPECT_EQ(edited.ResolutionOverride, L"1W");
    EXPECT_EQ(edited.Market, L"crypto");

    // An empty Timeout ms keeps the value too; a huge one saturates.
    ASSERT_NE(Open(stored), nullptr);
    Type(kIdTimeoutMs, L"");
    Type(kIdPollSeconds, L"99999999999");
    Click(Control(IDOK));
    ASSERT_TRUE(Finished());
    EXPECT_EQ(edited.TimeoutMs, 2500);
    EXPECT_EQ(edited.PollSeconds, 2147483647);
}

TEST_F(ConfigWindow, CancelTheCloseBoxAndAPostedCloseChangeNothing) {
    const PluginSettings stored = UnusualSettings();
    const std::vector<std::function<void(ConfigWindow&)>> ways = {
        [](ConfigWindow& t) { t.Click(t.Control(IDCANCEL)); },
        [](ConfigWindow& t) { PostMessageW(t.window, WM_SYSCOMMAND, SC_CLOSE, 0); },
        [](ConfigWindow&) { CloseConfigWindow(); },  // what Release and a database unload do
    };
    for (size_t way = 0; way < ways.size(); ++way) {
        ASSERT_NE(Open(stored), nullptr) << way;
        Type(kIdUsername, L"changed");
        Type(kIdPollSeconds, L"1");
        ways[way](*this);
        ASSERT_TRUE(Finished()) << way;
        EXPECT_FALSE(saved) << way;
        EXPECT_EQ(edited.Username, L"trader") << way;
        EXPECT_EQ(edited.PollSeconds, 7) << way;
        EXPECT_FALSE(PathExists(ini)) << way;
        EXPECT_EQ(FindConfigWindow(), nullptr) << way;
    }
}

TEST_F(ConfigWindow, ASecondOpenReturnsFalseAtOnce) {
    ASSERT_NE(Open(PluginSettings{}), nullptr);
    PluginSettings other = UnusualSettings();
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(OpenConfigWindow(ini, other));
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(other.Market, L"etf");
    EXPECT_EQ(FindConfigWindow(), window);
    EXPECT_EQ(CountTopLevel(L"VelmarquinConfigWindow"), 1);
    Click(Control(IDCANCEL));
    ASSERT_TRUE(Finished());
}

TEST_F(ConfigWindow, ToolsButtonsShowHelpOpenTheGuideAndClearTheCache) {
    TempFolder database;
    WithState([&](PluginState& s) { s.databaseFolder = database.Path(); });
    const std::wstring cacheFolder = database.Join(L"VelmarquinCache");
    ASSERT_TRUE(CreateDirectoryW(cacheFolder.c_str(), nullptr));
    WriteFileBytes(cacheFolder + L"\\bars_41.cache", "VelmarquinCache 1\r\n");

    ASSERT_NE(Open(PluginSettings{}), nullptr);
    ClickTab(FindById(window, 0), 2);
    Click(Control(kIdInfo));
    Click(Control(kIdTechGuide));
    Click(Control(kIdClearCache));
    EXPECT_FALSE(PathExists(cacheFolder));

    const std::vector<BoxShown> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, L"Velmarquin");
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    const std::wstring& help = boxes[0].text;
    EXPECT_EQ(help.rfind(L"Market: use auto if you want the plugin to choose automatically.\n", 0), 0u);
    EXPECT_NE(help.find(L"\nPollSeconds: how often the live quote should be refreshed.\nUsername/Password: optional.\n"),
              std::wstring::npos);
    const std::wstring last = L"\nClear cache: deletes locally downloaded files.";
    EXPECT_EQ(help.size() - help.rfind(last), last.size()) << "no line feed after the last line";
    EXPECT_EQ(std::count(help.begin(), help.end(), L'\n'), 9);
    EXPECT_EQ(boxes[1].text, L"Cache cleared.");
    EXPECT_EQ(boxes[1].title, L"Velmarquin");
    {
        std::lock_guard<std::mutex> lock(g_seenLock);
        ASSERT_EQ(g_opened.size(), 1u);
        EXPECT_EQ(g_opened[0], JoinPath(ModuleFolder(), L"TECHNICAL_GUIDE.html"));
    }
    EXPECT_TRUE(IsWindow(window)) << "the tools leave the window open";
    Click(Control(IDCANCEL));
    ASSERT_TRUE(Finished());
    EXPECT_FALSE(saved);
}

}  // namespace
