#include "foundation/path.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<void*> g_module{nullptr};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    if (folder.empty()) return std::wstring(name);
    if (name.empty()) return std::wstring(folder);
    const bool folderEnds = IsSeparator(folder.back());
    const bool nameBegins = IsSeparator(name.front());
    std::wstring out(folder);
    if (folderEnds && nameBegins) {
        out.append(name.substr(1));
    } else if (!folderEnds && !nameBegins) {
        out.push_back(L'\\');
        out.append(name);
    } else {
        out.append(name);
    }
    return out;
}

std::wstring FolderOfModulePath(const wchar_t* path, unsigned long length, unsigned long capacity) {
    if (path == nullptr || length == 0 || length >= capacity) return L".";
    const std::wstring_view full(path, length);
    const size_t slash = full.rfind(L'\\');
    if (slash == std::wstring_view::npos) return L".";
    return std::wstring(full.substr(0, slash));
}

std::wstring ModuleFolder() {
    constexpr DWORD kCapacity = 260;
    wchar_t buffer[kCapacity] = {};
    const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(PluginModule()), buffer, kCapacity);
    return FolderOfModulePath(buffer, length, kCapacity);
}

void SetPluginModule(void* module) { g_module.store(module); }
void* PluginModule() { return g_module.load(); }
