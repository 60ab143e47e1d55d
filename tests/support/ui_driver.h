// Driving the plug-in's real windows from a test thread, as a user would:
// finding windows and controls, clicking tabs and buttons, pressing keys in
// a popup menu, reading and answering message boxes. Every wait is bounded.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <functional>
#include <string>
#include <thread>

namespace ui_driver {

// Polls `find` every 20 ms until it yields a window; null after the time-out.
HWND WaitFor(const std::function<HWND()>& find, DWORD timeoutMs = 10000);

// Polls `done` every 20 ms until it holds; false after the time-out.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// A top-level window of this process with the class (and title, when given), visible or not.
HWND FindTopLevel(const wchar_t* cls, const wchar_t* title = nullptr);
// How many top-level windows of this process have the class.
int CountTopLevel(const wchar_t* cls);
// The same, shown (a window is shown once its contents are made).
HWND FindShownTopLevel(const wchar_t* cls);
// The descendant of `root` with the control id.
HWND FindById(HWND root, int id);
// The descendant of `root` with the class and text.
HWND FindByText(HWND root, const wchar_t* cls, const std::wstring& text);

std::wstring Text(HWND window);
std::wstring ClassOf(HWND window);
// The window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND window);
// The visible popup menu of this process, or null.
HWND OpenMenu();

// Clicks tab `index` of a tab control with the mouse, as a user does.
void ClickTab(HWND tabControl, int index);
// Posts key presses to a thread's window (a menu's owner reads them from its queue).
void PostKey(HWND window, WPARAM key);

struct MessageBoxSeen {
    std::wstring title;
    std::wstring text;
};
// Waits for a message box of this process, reads it and presses OK.
bool AnswerMessageBox(MessageBoxSeen& seen, DWORD timeoutMs = 15000);

// A call that runs a modal loop (a window, a menu) on a thread of its own,
// standing in for the host's thread; joined by Wait or the destructor.
class ModalCall {
public:
    explicit ModalCall(std::function<void()> call);
    ~ModalCall();
    ModalCall(const ModalCall&) = delete;
    ModalCall& operator=(const ModalCall&) = delete;
    // True when the call has returned within the time-out.
    bool Wait(DWORD timeoutMs = 15000);
    bool Done() const { return done_.load(); }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One long-lived thread that runs calls one after another, as the host's
// main thread does (windows it creates live until it ends).
class HostThread {
public:
    HostThread();
    ~HostThread();
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;
    // Queues a call and returns at once.
    void Start(std::function<void()> call);
    // True when every queued call has returned within the time-out.
    bool Wait(DWORD timeoutMs = 15000);

private:
    void Loop();
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace ui_driver
