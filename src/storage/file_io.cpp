#include "storage/file_io.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "foundation/handles.h"
#include "foundation/path.h"

namespace {

// A temporary name in the folder of `path` for one writing thread: 29
// characters whatever the final name's length, so a long cache key that
// still fits the file system's limit cannot fail for its temporary file.
std::wstring TemporaryPathFor(const std::wstring& path) {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a of the final path
    for (wchar_t c : path) {
        hash ^= static_cast<std::uint64_t>(c);
        hash *= 1099511628211ULL;
    }
    wchar_t name[40];
    std::swprintf(name, 40, L"~%016llX%08lX.tmp", static_cast<unsigned long long>(hash),
                  static_cast<unsigned long>(GetCurrentThreadId()));
    return JoinPath(FolderOf(path), name);
}

}  // namespace

std::string ReadWholeFile(const std::wstring& path, bool& ok) {
    ok = false;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return {};
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr)) return {};
        if (read == 0) break;
        content.append(buffer, read);
    }
    ok = true;
    return content;
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Writes `text` to a temporary file in the same folder that then replaces
// `path` in one step, so a reader never sees a cut file.
bool ReplaceWholeFile(const std::wstring& path, const std::string& text) {
    const std::wstring temporary = TemporaryPathFor(path);
    bool written = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return false;
        DWORD count = 0;
        written = WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &count, nullptr) &&
                  count == text.size() && FlushFileBuffers(file.Get());
    }
    if (!written || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}
