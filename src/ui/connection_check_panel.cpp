#include "ui/connection_check_panel.h"

#include <cstring>
#include <memory>
#include <utility>

#include "foundation/clock.h"
#include "foundation/held_thread.h"
#include "foundation/log.h"
#include "foundation/state.h"
#include "foundation/text.h"
#include "protocol/connection_check.h"

namespace {

// Adds to what the window shows and tells the window, if it is still there.
void Show(const std::shared_ptr<CheckRun>& run, const std::wstring& text, bool finished) {
    std::lock_guard<std::mutex> lock(run->lock);
    run->text += text;
    if (finished) run->running = false;
    if (run->window != nullptr) PostMessageW(run->window, kCheckProgressMessage, 0, 0);
}

void RunCheck(const std::shared_ptr<CheckRun>& run, const std::wstring& ticker, const PluginSettings& settings) {
    const std::uint64_t start = TickCount64();
    CheckHooks hooks;
    hooks.keepGoing = [run] {
        std::lock_guard<std::mutex> lock(run->lock);
        return run->window != nullptr;
    };
    hooks.onStep = [run](const CheckStep& step) { Show(run, FormatCheckStep(step), false); };
    const bool passed = RunConnectionCheck(ticker, settings, hooks);
    const std::uint64_t ms = TickCount64() - start;
    Show(run,
         passed ? L"All steps passed in " + std::to_wstring(ms) + L" ms.\r\n"
                : L"The check stopped at the step above after " + std::to_wstring(ms) + L" ms.\r\n",
         true);
    LogLine(L"CHECK ended ms=" + std::to_wstring(ms));
}

// The clipboard's text: a moveable global block, freed unless the clipboard
// takes it.
class ClipboardText {
public:
    explicit ClipboardText(const std::wstring& text) {
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        memory_ = GlobalAlloc(GMEM_MOVEABLE, bytes);
        if (memory_ == nullptr) return;
        if (void* at = GlobalLock(memory_)) {
            std::memcpy(at, text.c_str(), bytes);
            GlobalUnlock(memory_);
        } else {
            GlobalFree(memory_);
            memory_ = nullptr;
        }
    }
    ~ClipboardText() {
        if (memory_ != nullptr) GlobalFree(memory_);
    }
    ClipboardText(const ClipboardText&) = delete;
    ClipboardText& operator=(const ClipboardText&) = delete;
    HGLOBAL Get() const { return memory_; }
    void Release() { memory_ = nullptr; }

private:
    HGLOBAL memory_ = nullptr;
};

}  // namespace

std::wstring DefaultCheckTicker() {
    PluginState& s = State();
    std::lock_guard<std::mutex> lock(s.stateLock);
    const std::wstring last = TrimWide(s.lastTicker);
    return last.empty() ? L"AAPL" : last;
}

void StartConnectionCheck(HWND window, ConfigContext& ctx) {
    if (ctx.check) {
        std::lock_guard<std::mutex> lock(ctx.check->lock);
        if (ctx.check->running) return;  // one at a time
    }
    // What is typed on every tab counts, saved or not; nothing is saved.
    ReadConfigControls(ctx);
    wchar_t typed[128] = {};
    if (HWND field = FindControl(ctx, kIdCheckTicker)) GetWindowTextW(field, typed, 128);
    std::wstring ticker = TrimWide(typed);
    if (ticker.empty()) ticker = DefaultCheckTicker();

    auto run = std::make_shared<CheckRun>();
    run->window = window;
    run->running = true;
    run->text = L"Test connection for " + ticker + L" (Market " + ctx.settings.Market + L", Timeout " +
                std::to_wstring(EffectiveTimeoutMs(ctx.settings.TimeoutMs)) + L" ms)\r\n";
    ctx.check = run;
    ShowCheckProgress(ctx);
    const PluginSettings settings = ctx.settings;
    // Not joined: the thread holds its own reference to this module and
    // ends with its step, whatever becomes of the window.
    FileHandle thread = StartHeldThread([run, ticker, settings] { RunCheck(run, ticker, settings); }, L"CHECK");
    if (!thread.Valid()) Show(run, L"The check could not be started.\r\n", true);
}

void ShowCheckProgress(ConfigContext& ctx) {
    if (!ctx.check) return;
    std::wstring text;
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(ctx.check->lock);
        text = ctx.check->text;
        running = ctx.check->running;
    }
    if (HWND results = FindControl(ctx, kIdCheckResults)) {
        SetWindowTextW(results, text.c_str());
        const LRESULT lines = SendMessageW(results, EM_GETLINECOUNT, 0, 0);
        SendMessageW(results, EM_LINESCROLL, 0, lines);
    }
    if (HWND button = FindControl(ctx, kIdTestConnection)) EnableWindow(button, running ? FALSE : TRUE);
}

bool CopyCheckResults(HWND window, const ConfigContext& ctx) {
    std::wstring text;
    if (ctx.check) {
        std::lock_guard<std::mutex> lock(ctx.check->lock);
        text = ctx.check->text;
    }
    if (text.empty()) return false;
    ClipboardText block(text);
    if (block.Get() == nullptr || !OpenClipboard(window)) return false;
    bool copied = false;
    if (EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, block.Get()) != nullptr) {
        block.Release();  // the clipboard owns it now
        copied = true;
    }
    CloseClipboard();
    return copied;
}

void AbandonConnectionCheck(ConfigContext& ctx) {
    if (!ctx.check) return;
    std::lock_guard<std::mutex> lock(ctx.check->lock);
    ctx.check->window = nullptr;
}
