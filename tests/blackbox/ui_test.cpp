// The configuration window and the status menu through the DLL's exports,
// as the host opens them: Configure's window saved and closed by Release,
// and the right-click notification's menu with its real message box.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/plugin_exports.h"
#include "support/ui_driver.h"

namespace {

using namespace ui_driver;
using testing_support::Narrow;
using testing_support::PluginCopy;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr int kIdMarket = 1001;
constexpr int kIdTimeoutMs = 1005;
constexpr int kIdPollSeconds = 1006;

class HostUi : public ::testing::Test {
protected:
    HostUi() : dll(plugin), folder(Narrow(plugin.DatabaseFolder())) {
        WriteFileBytes(Ini(), "[TradingView]\r\nTimeoutMs=4000\r\nPollSeconds=9\r\nMarket=fund\r\n");
    }
    std::wstring Ini() const { return plugin.DatabaseFolder() + L"\\Velmarquin.ini"; }
    static HWND ConfigWindow() { return WaitFor([] { return FindShownTopLevel(L"VelmarquinConfigWindow"); }); }
    static void Type(HWND window, int id, const wchar_t* text) {
        SendMessageW(FindById(window, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }

    PluginCopy plugin;
    Exports dll;
    std::string folder;
};

TEST_F(HostUi, ConfigureOpensTheWindowAndSaveWritesTheFile) {
    int result = 0;
    ModalCall configure([&] { result = dll.Configure(folder.c_str(), nullptr); });
    HWND window = ConfigWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Text(FindById(window, kIdMarket)), L"fund");
    Type(window, kIdTimeoutMs, L"0");
    Type(window, kIdPollSeconds, L"0");
    SendMessageW(FindById(window, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(configure.Wait());
    EXPECT_EQ(result, 1);
    const std::string file = ReadFileBytes(Ini());
    EXPECT_NE(file.find("\r\nPollSeconds=0\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\r\nTimeoutMs=4000\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\r\nMarket=fund\r\n"), std::string::npos) << file;
}

TEST_F(HostUi, ReleaseClosesAnOpenWindowWithoutSaving) {
    ASSERT_EQ(dll.Init(), 1);
    ModalCall configure([&] { dll.Configure(folder.c_str(), nullptr); });
    HWND window = ConfigWindow();
    ASSERT_NE(window, nullptr);
    const std::string before = ReadFileBytes(Ini());
    Type(window, kIdPollSeconds, L"1");
    EXPECT_EQ(dll.Release(), 1);
    EXPECT_TRUE(configure.Wait(10000)) << "the posted close ends Configure";
    EXPECT_EQ(ReadFileBytes(Ini()), before);
}

TEST_F(HostUi, RightClickMenuRedownloadShowsItsMessage) {
    HostNotification n{};
    n.size = sizeof(n);
    n.reason = 8;
    int result = 0;
    ModalCall notify([&] { result = dll.Notify(&n); });
    ASSERT_NE(WaitFor(OpenMenu), nullptr);
    HWND owner = FindTopLevel(L"VelmarquinPopupHost");
    ASSERT_NE(owner, nullptr);
    for (int i = 0; i < 3; ++i) PostKey(owner, VK_DOWN);  // "Re-download quotes"
    PostKey(owner, VK_RETURN);
    MessageBoxSeen seen;
    ASSERT_TRUE(AnswerMessageBox(seen));
    EXPECT_EQ(seen.title, L"Velmarquin - Re-download");
    EXPECT_EQ(seen.text.rfind(L"Downloaded quote cache cleared.", 0), 0u) << Narrow(seen.text);
    ASSERT_TRUE(notify.Wait());
    EXPECT_EQ(result, 1);
    StatusBytes status{};
    ASSERT_EQ(dll.GetPluginStatus(&status), 1);
    EXPECT_EQ(status.Text(), "Re-download requested: cache cleared");
}

}  // namespace
