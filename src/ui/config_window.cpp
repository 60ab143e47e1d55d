#include "ui/config_window.h"

#include <commctrl.h>

#include <algorithm>
#include <mutex>

#include "foundation/settings.h"
#include "foundation/state.h"
#include "storage/disk_cache.h"
#include "ui/bulk_update.h"
#include "ui/connection_check_panel.h"
#include "ui/desktop.h"
#include "ui/ui_handles.h"

namespace {

constexpr wchar_t kWindowClass[] = L"VelmarquinConfigWindow";
constexpr wchar_t kPageClass[] = L"VelmarquinConfigPage";
constexpr wchar_t kTitle[] = L"Velmarquin";
constexpr DWORD kWindowStyle = WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_DLGMODALFRAME;

constexpr wchar_t kHelpText[] =
    L"Market: use auto if you want the plugin to choose automatically.\n"
    L"Extended trading hours: uses TradingView's extended session where available.\n"
    L"Timeframe override: forces a specific TradingView resolution instead of auto.\n"
    L"Intraday shift / EOD shift: offsets bar timestamps for charts and sessions.\n"
    L"Adjusted prices for splits: asks TradingView for split-adjusted historical prices.\n"
    L"Use settlement as close: reserved for daily-bar markets where settlement handling makes sense.\n"
    L"TimeoutMs: increase this if your network is slow.\n"
    L"PollSeconds: how often the live quote should be refreshed.\n"
    L"Username/Password: optional.\n"
    L"Clear cache: deletes locally downloaded files.";

ConfigContext* ContextOf(HWND window) {
    return reinterpret_cast<ConfigContext*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT PageProcedure(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND: {
        RECT client;
        GetClientRect(page, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, GetSysColorBrush(COLOR_WINDOW));
        return 1;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
        return SendMessageW(GetParent(page), message, wParam, lParam);
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    default:
        return DefWindowProcW(page, message, wParam, lParam);
    }
}

HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int width,
                 int height, int id) {
    HWND child = CreateWindowExW(0, cls, text, style, x, y, width, height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), PluginInstance(), nullptr);
    if (child != nullptr) UseGuiFont(child);
    return child;
}

bool CreateContents(HWND window, ConfigContext& ctx) {
    INITCOMMONCONTROLSEX common{sizeof(common), ICC_TAB_CLASSES};
    InitCommonControlsEx(&common);
    if (!RegisterPluginClass(&PluginState::pageClassRegistered, kPageClass, GuardedProcedure<PageProcedure>, nullptr)) return false;

    ctx.tabControl = CreateChild(window, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | TCS_FIXEDWIDTH,
                                 10, 10, 540, 26, 0);
    if (ctx.tabControl == nullptr) return false;
    SendMessageW(ctx.tabControl, TCM_SETITEMSIZE, 0, MAKELPARAM(140, 24));
    const wchar_t* tabs[] = {L"Chart", L"Connection", L"Tools"};
    for (int i = 0; i < 3; ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(tabs[i]);
        SendMessageW(ctx.tabControl, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(ctx.tabControl, TCM_SETCURSEL, 0, 0);

    ctx.pageControls.resize(3);
    for (int i = 0; i < 3; ++i) {
        HWND page = CreateWindowExW(0, kPageClass, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_BORDER, 0, 0,
                                    0, 0, window, nullptr, PluginInstance(), nullptr);
        if (page == nullptr) return false;
        ctx.pages.push_back(page);
        CreatePageControls(ctx, i);
    }
    ctx.saveButton = CreateChild(window, L"BUTTON", L"Save", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                                 0, 78, 24, IDOK);
    ctx.cancelButton = CreateChild(window, L"BUTTON", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                                   0, 78, 24, IDCANCEL);
    ShowConfigPage(ctx, 0);
    LayoutConfigWindow(window, ctx);
    ShowWindow(window, SW_SHOW);
    return true;
}

void OnCommand(HWND window, ConfigContext& ctx, int id) {
    switch (id) {
    case IDOK:
        ReadConfigControls(ctx);
        SaveSettingsFile(ctx.iniPath, ctx.settings);
        ctx.saved = true;
        DestroyWindow(window);
        break;
    case IDCANCEL:
        DestroyWindow(window);
        break;
    case kIdBulkUpdate: {
        // What is typed on every tab counts, saved or not; nothing is saved.
        ReadConfigControls(ctx);
        std::wstring summary;
        {
            WaitCursor wait;
            summary = RunBulkUpdate(ctx.settings, ctx.settings.BulkSymbols);
        }
        ShowMessageBox(window, summary, kTitle, MB_OK | MB_ICONINFORMATION);
        break;
    }
    case kIdClearCache:
        ClearCache();
        ShowMessageBox(window, L"Cache cleared.", kTitle, MB_OK | MB_ICONINFORMATION);
        break;
    case kIdInfo:
        ShowMessageBox(window, kHelpText, kTitle, MB_OK | MB_ICONINFORMATION);
        break;
    case kIdTechGuide:
        OpenTechnicalGuide();
        break;
    case kIdTestConnection:
        StartConnectionCheck(window, ctx);
        break;
    case kIdCopyCheck:
        CopyCheckResults(window, ctx);
        break;
    default:
        break;
    }
}

LRESULT WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ConfigContext* ctx = ContextOf(window);
    switch (message) {
    case WM_CREATE: {
        ctx = static_cast<ConfigContext*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ctx));
        return CreateContents(window, *ctx) ? 0 : -1;
    }
    case WM_SIZE:
        if (ctx != nullptr) LayoutConfigWindow(window, *ctx);
        return 0;
    case WM_GETMINMAXINFO: {
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = 520;
        info->ptMinTrackSize.y = 480;
        return 0;
    }
    case WM_VSCROLL:
    case WM_MOUSEWHEEL:
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (ctx != nullptr && header != nullptr && header->hwndFrom == ctx->tabControl && header->code == TCN_SELCHANGE) {
            const LRESULT selected = SendMessageW(ctx->tabControl, TCM_GETCURSEL, 0, 0);
            if (selected >= 0 && selected < static_cast<LRESULT>(ctx->pages.size())) {
                ShowConfigPage(*ctx, static_cast<int>(selected));
            }
        }
        return 0;
    }
    case WM_COMMAND:
        if (ctx != nullptr && HIWORD(wParam) == BN_CLICKED) OnCommand(window, *ctx, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        // The check stops before its next step at once, not when the window
        // is finally gone (hiding a window may take a while).
        if (ctx != nullptr) AbandonConnectionCheck(*ctx);
        DestroyWindow(window);
        return 0;
    case kCheckProgressMessage:
        if (ctx != nullptr) ShowCheckProgress(*ctx);
        return 0;
    case kStartCheckMessage:
        if (ctx != nullptr) {
            SendMessageW(ctx->tabControl, TCM_SETCURSEL, 2, 0);
            ShowConfigPage(*ctx, 2);
            StartConnectionCheck(window, *ctx);
        }
        return 0;
    case WM_NCDESTROY:
        if (ctx != nullptr) AbandonConnectionCheck(*ctx);
        ForgetConfigWindow(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        // The window may go while a message sent from another thread is
        // handled inside GetMessageW, which would then wait on for the next
        // posted message: wake the loop so it sees the window is gone.
        PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The foreground window when it belongs to this process (the host's), else none.
HWND OwnerWindow() {
    HWND foreground = GetForegroundWindow();
    DWORD process = 0;
    if (foreground != nullptr) GetWindowThreadProcessId(foreground, &process);
    return process == GetCurrentProcessId() ? foreground : nullptr;
}

}  // namespace

HWND FindConfigWindow() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.configWindowLock);
    HWND window = static_cast<HWND>(s.configWindow);
    if (window != nullptr && !IsWindow(window)) {
        s.configWindow = nullptr;
        window = nullptr;
    }
    return window;
}

void ForgetConfigWindow(HWND window) {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.configWindowLock);
    if (s.configWindow == window) s.configWindow = nullptr;
}

void CloseConfigWindow() {
    if (HWND window = FindConfigWindow()) PostMessageW(window, WM_CLOSE, 0, 0);
}

void ShowConfigPage(ConfigContext& ctx, int index) {
    for (size_t i = 0; i < ctx.pages.size(); ++i) {
        const int show = static_cast<int>(i) == index ? SW_SHOW : SW_HIDE;
        ShowWindow(ctx.pages[i], show);
        if (i < ctx.pageControls.size()) {
            for (HWND control : ctx.pageControls[i]) ShowWindow(control, show);
        }
    }
    ctx.currentPage = index;
}

void LayoutConfigWindow(HWND window, ConfigContext& ctx) {
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (ctx.tabControl != nullptr) {
        MoveWindow(ctx.tabControl, 14, 10, width - 28, 28, TRUE);
        SendMessageW(ctx.tabControl, TCM_SETITEMSIZE, 0, MAKELPARAM(140, 24));
    }
    for (HWND page : ctx.pages) MoveWindow(page, 14, 46, std::max(width - 28, 1), std::max(height - 100, 1), TRUE);
    const int x = std::max(width - 178, 14);
    const int y = std::max(height - 38, 14);
    if (ctx.saveButton != nullptr) MoveWindow(ctx.saveButton, x, y, 78, 24, TRUE);
    if (ctx.cancelButton != nullptr) MoveWindow(ctx.cancelButton, x + 86, y, 78, 24, TRUE);
}

bool OpenConfigWindow(const std::wstring& iniPath, PluginSettings& settings, ConfigOpening opening) {
    const bool check = opening == ConfigOpening::ConnectionCheck;
    if (HWND open = FindConfigWindow()) {
        // Asynchronous: the window's thread may be busy (a bulk update), and
        // this caller must not wait for it.
        ShowWindowAsync(open, SW_SHOWNORMAL);
        SetForegroundWindow(open);
        if (check) PostMessageW(open, kStartCheckMessage, 0, 0);
        return false;
    }
    // The window's loop runs on the host's thread.
    const ModuleHold hold;
    if (!RegisterPluginClass(&PluginState::configClassRegistered, kWindowClass, GuardedProcedure<WindowProcedure>,
                           reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1))) {
        return false;
    }
    ConfigContext ctx;
    ctx.settings = settings;
    ctx.iniPath = iniPath;
    ctx.checkTicker = DefaultCheckTicker();

    RECT frame{0, 0, 620, 560};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    HWND created = CreateWindowExW(kWindowExStyle, kWindowClass, L"Velmarquin Configuration", kWindowStyle,
                                   CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                   OwnerWindow(), nullptr, PluginInstance(), &ctx);
    if (created == nullptr) return false;
    // Declared after ctx, so a window still alive at the end (the loop left
    // on a quit message) is destroyed while its context exists.
    OwnedWindow window(created);
    {
        PluginState& s = State();
        std::lock_guard<std::mutex> lock(s.configWindowLock);
        s.configWindow = created;
    }
    if (check) PostMessageW(created, kStartCheckMessage, 0, 0);

    while (IsWindow(created)) {
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    ForgetConfigWindow(created);
    if (!ctx.saved) return false;
    settings = ctx.settings;
    return true;
}
