// Owners for the user-interface handles of the menu and the configuration
// window: a popup menu, a window this code created, a screen device context
// and the cursor shown during a long action. Host threads only.
#pragma once

#include <windows.h>


// A menu from CreatePopupMenu, destroyed with DestroyMenu.
class MenuHandle {
public:
    explicit MenuHandle(HMENU menu) : menu_(menu) {}
    MenuHandle(const MenuHandle&) = delete;
    MenuHandle& operator=(const MenuHandle&) = delete;
    ~MenuHandle() {
        if (menu_ != nullptr) DestroyMenu(menu_);
    }
    HMENU Get() const { return menu_; }

private:
    HMENU menu_;
};

// A top-level window destroyed on scope exit unless it is already gone, so
// that no way out of a modal loop leaves a window whose context has ended.
class OwnedWindow {
public:
    explicit OwnedWindow(HWND window) : window_(window) {}
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;
    ~OwnedWindow() {
        if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    }
    HWND Get() const { return window_; }

private:
    HWND window_;
};

// The screen's device context with the default GUI font selected, for
// measuring captions.
class ScreenDC {
public:
    ScreenDC() : dc_(GetDC(nullptr)) {
        if (dc_ != nullptr) previousFont_ = SelectObject(dc_, GetStockObject(DEFAULT_GUI_FONT));
    }
    ScreenDC(const ScreenDC&) = delete;
    ScreenDC& operator=(const ScreenDC&) = delete;
    ~ScreenDC() {
        if (dc_ == nullptr) return;
        if (previousFont_ != nullptr) SelectObject(dc_, previousFont_);
        ReleaseDC(nullptr, dc_);
    }
    HDC Get() const { return dc_; }

private:
    HDC dc_;
    HGDIOBJ previousFont_ = nullptr;
};

// Shows the hour-glass cursor and puts the previous one back on every way out.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    ~WaitCursor() { Restore(); }
    void Restore() {
        if (active_) SetCursor(previous_);
        active_ = false;
    }

private:
    HCURSOR previous_;
    bool active_ = true;
};
