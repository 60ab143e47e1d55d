#include "foundation/held_thread.h"

#include <memory>

#include "foundation/log.h"

namespace {

struct HeldStart {
    HMODULE module;
    std::function<void()> run;
};

DWORD WINAPI HeldThreadProc(void* parameter) {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<HeldStart> start(static_cast<HeldStart*>(parameter));
        module = start->module;
        try {
            start->run();
        } catch (...) {
        }
    }
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

FileHandle StartHeldThread(std::function<void()> run, const wchar_t* name) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&HeldThreadProc)), &module)) {
        LogLine(std::wstring(L"ERROR: ") + name + L" thread not started: the module reference could not be taken");
        return FileHandle();
    }
    auto start = std::make_unique<HeldStart>(HeldStart{module, std::move(run)});
    FileHandle thread(CreateThread(nullptr, 0, &HeldThreadProc, start.get(), 0, nullptr));
    if (!thread.Valid()) {
        FreeLibrary(module);
        LogLine(std::wstring(L"ERROR: ") + name + L" thread not started: error " + std::to_wstring(GetLastError()));
        return FileHandle();
    }
    start.release();  // the thread owns it now
    return thread;
}
