#include "support/ui_driver.h"

#include <commctrl.h>

#include <chrono>
#include <vector>

namespace ui_driver {

namespace {

bool OwnProcess(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId();
}

struct TopLevelSearch {
    const wchar_t* cls;
    const wchar_t* title;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<TopLevelSearch*>(param);
    if (!OwnProcess(window) || ClassOf(window) != search->cls) return TRUE;
    if (search->title != nullptr && Text(window) != search->title) return TRUE;
    if (search->visibleOnly && !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

struct ChildSearch {
    std::function<bool(HWND)> match;
    HWND found;
};

BOOL CALLBACK MatchChild(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<ChildSearch*>(param);
    if (!search->match(window)) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindChild(HWND root, std::function<bool(HWND)> match) {
    ChildSearch search{std::move(match), nullptr};
    if (root != nullptr) EnumChildWindows(root, MatchChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HWND WaitFor(const std::function<HWND()>& find, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND window = find()) return window;
        if (GetTickCount64() >= end) return nullptr;
        Sleep(20);
    }
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    return WaitFor([&done] { return done() ? GetDesktopWindow() : nullptr; }, timeoutMs) != nullptr;
}

HWND FindTopLevel(const wchar_t* cls, const wchar_t* title) {
    TopLevelSearch search{cls, title, false, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindById(HWND root, int id) {
    return FindChild(root, [id](HWND w) { return GetDlgCtrlID(w) == id; });
}

HWND FindByText(HWND root, const wchar_t* cls, const std::wstring& text) {
    return FindChild(root, [&](HWND w) { return ClassOf(w) == cls && Text(w) == text; });
}

std::wstring Text(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

RECT RectInParent(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

int CountTopLevel(const wchar_t* cls) {
    struct Count {
        const wchar_t* cls;
        int n;
    } count{cls, 0};
    EnumWindows(
        [](HWND w, LPARAM param) {
            auto* c = reinterpret_cast<Count*>(param);
            if (OwnProcess(w) && ClassOf(w) == c->cls) ++c->n;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count.n;
}

HWND FindShownTopLevel(const wchar_t* cls) {
    TopLevelSearch search{cls, nullptr, true, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND OpenMenu() { return FindShownTopLevel(L"#32768"); }

void ClickTab(HWND tabControl, int index) {
    RECT item{};
    SendMessageW(tabControl, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    SendMessageW(tabControl, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(tabControl, WM_LBUTTONUP, 0, at);
}

void PostKey(HWND window, WPARAM key) {
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

bool AnswerMessageBox(MessageBoxSeen& seen, DWORD timeoutMs) {
    HWND box = WaitFor([] { return FindTopLevel(L"#32770"); }, timeoutMs);
    if (box == nullptr) return false;
    seen.title = Text(box);
    // The message text is the static control the platform gives id 0xFFFF.
    HWND text = GetDlgItem(box, 0xFFFF);
    seen.text = text != nullptr ? Text(text) : std::wstring();
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitUntil([box] { return !IsWindow(box); }, timeoutMs);
}

ModalCall::ModalCall(std::function<void()> call)
    : thread_([this, call = std::move(call)] {
          call();
          done_.store(true);
      }) {}

ModalCall::~ModalCall() {
    if (thread_.joinable()) thread_.join();
}

bool ModalCall::Wait(DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done_.load() && GetTickCount64() < end) Sleep(10);
    if (!done_.load()) return false;
    thread_.join();
    return true;
}

HostThread::HostThread() : thread_([this] { Loop(); }) {}

HostThread::~HostThread() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void HostThread::Start(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(std::move(call));
    }
    changed_.notify_all();
}

bool HostThread::Wait(DWORD timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return queue_.empty() && !busy_; });
}

void HostThread::Loop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        std::function<void()> call = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        guard.unlock();
        call();
        guard.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace ui_driver
