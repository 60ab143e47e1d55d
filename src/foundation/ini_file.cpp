#include "foundation/ini_file.h"

#include <windows.h>

#include <vector>

std::wstring IniReadString(const std::wstring& path, const wchar_t* section, const wchar_t* key,
                           const std::wstring& fallback, unsigned capacity) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    const DWORD n = GetPrivateProfileStringW(section, key, fallback.c_str(), buffer.data(), capacity, path.c_str());
    return std::wstring(buffer.data(), n < capacity ? n : capacity - 1);
}

int IniReadInt(const std::wstring& path, const wchar_t* section, const wchar_t* key, int fallback) {
    return static_cast<int>(GetPrivateProfileIntW(section, key, fallback, path.c_str()));
}

void IniWriteString(const std::wstring& path, const wchar_t* section, const wchar_t* key,
                    const std::wstring& value) {
    WritePrivateProfileStringW(section, key, value.c_str(), path.c_str());
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
