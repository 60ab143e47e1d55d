#include "ui/desktop.h"

#include <shellapi.h>

#include <atomic>
#include <mutex>

#include "foundation/path.h"
#include "foundation/state.h"

namespace {

std::atomic<MessageBoxSeam> g_messageBox{nullptr};
std::atomic<ShellOpenSeam> g_shellOpen{nullptr};

// Long enough for the host thread to have returned from the export it is in.
constexpr DWORD kReleaseAfterMs = 2000;

DWORD WINAPI GiveBackModule(void* module) {
    Sleep(kReleaseAfterMs);
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

}  // namespace

std::wstring TechnicalGuidePath() { return JoinPath(ModuleFolder(), L"TECHNICAL_GUIDE.html"); }

void OpenTechnicalGuide() {
    const std::wstring path = TechnicalGuidePath();
    if (ShellOpenSeam seam = g_shellOpen.load()) {
        seam(path);
        return;
    }
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags) {
    if (MessageBoxSeam seam = g_messageBox.load()) return seam(owner, text, title, flags);
    return MessageBoxW(owner, text.c_str(), title.c_str(), flags);
}

HINSTANCE PluginInstance() {
    void* module = PluginModule();
    return module != nullptr ? static_cast<HINSTANCE>(module) : GetModuleHandleW(nullptr);
}

bool RegisterPluginClass(bool PluginState::*registered, const wchar_t* name, WNDPROC procedure, HBRUSH background) {
    PluginState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.stateLock);
        if (s.*registered) return true;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = procedure;
    wc.hInstance = PluginInstance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    std::lock_guard<std::mutex> lock(s.stateLock);
    s.*registered = true;
    return true;
}

ModuleHold::ModuleHold() {
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&GiveBackModule)), &module_);
}

ModuleHold::~ModuleHold() {
    if (module_ == nullptr) return;
    HANDLE thread = CreateThread(nullptr, 0, &GiveBackModule, module_, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}

void SetMessageBoxSeam(MessageBoxSeam seam) { g_messageBox.store(seam); }
void SetShellOpenSeam(ShellOpenSeam seam) { g_shellOpen.store(seam); }
