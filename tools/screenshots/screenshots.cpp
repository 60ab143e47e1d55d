// Writes pictures of what the user sees: each tab of the configuration
// window, the status field's popup menu and two finished connection checks
// (one that passes, one stopped by a refused sign-in), as 24-bit BMP files
// in the folder given on the command line. Run inside a Wine virtual
// desktop, so the window frames are drawn as Windows draws them, and inside
// with-double.sh: the checks talk to the local service double; every other
// picture has the origins at a closed loopback port.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/path.h"
#include "foundation/state.h"
#include "support/service_double_client.h"
#include "support/test_support.h"
#include "support/ui_driver.h"
#include "ui/config_window.h"
#include "ui/status_menu.h"

namespace {

using namespace ui_driver;

// Copies a rectangle of the screen into a bottom-up 24-bit BMP file.
bool CaptureScreenRect(const RECT& r, const std::wstring& path) {
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<char> pixels(static_cast<size_t>(stride) * static_cast<size_t>(height));
    const int lines = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                                reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied || lines != height) return false;

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
    bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
    bytes.append(pixels.data(), pixels.size());
    testing_support::WriteFileBytes(path, bytes);
    return true;
}

bool Save(const RECT& r, const std::wstring& folder, const wchar_t* name) {
    const std::wstring path = JoinPath(folder, name);
    const bool ok = CaptureScreenRect(r, path);
    std::fwprintf(ok ? stdout : stderr, L"%ls %ls\n", ok ? L"wrote" : L"could not write", path.c_str());
    return ok;
}

RECT WindowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

bool ShootConfigWindow(const std::wstring& folder, const std::wstring& iniPath) {
    PluginSettings shown;
    shown.Username = L"trader@example.com";
    shown.Password = L"secret";
    shown.BulkSymbols = L"AAPL,MSFT,ES1!,EURUSD,BTCUSD";
    HostThread host;
    host.Start([&] { OpenConfigWindow(iniPath, shown); });
    const HWND window = WaitFor([] { return FindConfigWindow(); });
    if (!window) return false;
    SetWindowPos(window, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    HWND tab = WaitFor([&] { return FindWindowExW(window, nullptr, L"SysTabControl32", nullptr); });
    bool ok = tab != nullptr;
    const wchar_t* names[] = {L"config-chart.bmp", L"config-connection.bmp", L"config-tools.bmp"};
    for (int i = 0; ok && i < 3; ++i) {
        ClickTab(tab, i);
        Sleep(600);
        ok = Save(WindowRect(window), folder, names[i]);
    }
    CloseConfigWindow();
    return host.Wait() && ok;
}

bool ShootStatusMenu(const std::wstring& folder) {
    SetCursorPos(120, 80);
    HostThread host;
    host.Start([] { ShowStatusMenu(); });
    const HWND menu = WaitFor([] { return OpenMenu(); });
    bool ok = menu != nullptr;
    if (ok) {
        Sleep(600);
        ok = Save(WindowRect(menu), folder, L"status-menu.bmp");
    }
    PluginState& s = State();
    HWND owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.stateLock);
        owner = static_cast<HWND>(s.popupHostWindow);
    }
    if (owner) PostKey(owner, VK_ESCAPE);
    return host.Wait() && ok;
}

void PointAt(const std::wstring& origin) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.origins.symbolSearch = s.origins.web = s.origins.data = origin;
}

// The configuration window's Tools tab after a check of AAPL has finished.
bool ShootCheck(const std::wstring& folder, const std::wstring& iniPath, const wchar_t* password, const wchar_t* name) {
    PluginSettings shown;
    shown.Username = L"trader@example.com";
    shown.Password = password;
    shown.TimeoutMs = 3000;
    HostThread host;
    host.Start([&] { OpenConfigWindow(iniPath, shown, ConfigOpening::ConnectionCheck); });
    const HWND window = WaitFor([] { return FindConfigWindow(); });
    if (!window) return false;
    SetWindowPos(window, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    const bool finished = WaitUntil(
        [window] {
            const std::wstring text = Text(FindById(window, kIdCheckResults));
            return text.find(L"All steps passed") != std::wstring::npos ||
                   text.find(L"The check stopped") != std::wstring::npos;
        },
        30000);
    Sleep(600);
    const bool ok = finished && Save(WindowRect(window), folder, name);
    CloseConfigWindow();
    return host.Wait() && ok;
}

bool ShootChecks(const std::wstring& folder, const std::wstring& iniPath) {
    const testing_support::ServiceDouble service;
    if (!service.Available()) {
        std::fwprintf(stderr, L"the connection checks need the service double (run inside with-double.sh)\n");
        return false;
    }
    PointAt(service.Origin());
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.lastTicker = L"AAPL";
    }
    const bool passed =
        service.SetScenario(R"({"signin":{"username":"trader@example.com","password":"secret","token":"tok-1"},)"
                            R"("ws":{"tokens":["tok-1"],"seed":3,"now":1710547200}})") &&
        ShootCheck(folder, iniPath, L"secret", L"check-passed.bmp");
    const bool refused = service.SetScenario(R"({"signin":{"username":"trader@example.com","password":"secret"}})") &&
                         ShootCheck(folder, iniPath, L"not-the-password", L"check-sign-in-refused.bmp");
    PointAt(L"https://127.0.0.1:9");
    return passed && refused;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: screenshots <output folder>\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring database = JoinPath(temp, L"velmarquin-screenshots");
    CreateDirectoryW(database.c_str(), nullptr);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.stateLock);
        s.origins.symbolSearch = s.origins.web = s.origins.data = L"https://127.0.0.1:9";
        s.databaseFolder = database;
        s.iniPath = JoinPath(database, L"Velmarquin.ini");
    }
    const bool config = ShootConfigWindow(folder, JoinPath(database, L"Velmarquin.ini"));
    const bool menu = ShootStatusMenu(folder);
    const bool checks = ShootChecks(folder, JoinPath(database, L"Velmarquin.ini"));
    return config && menu && checks ? 0 : 1;
}
