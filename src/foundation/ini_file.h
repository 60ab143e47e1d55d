// Reading and writing single keys of an INI file through the Windows
// profile functions. No caching, no lock; any thread.
#pragma once

#include <string>

std::wstring IniReadString(const std::wstring& path, const wchar_t* section, const wchar_t* key,
                           const std::wstring& fallback, unsigned capacity);
int IniReadInt(const std::wstring& path, const wchar_t* section, const wchar_t* key, int fallback);
void IniWriteString(const std::wstring& path, const wchar_t* section, const wchar_t* key,
                    const std::wstring& value);
bool FileExists(const std::wstring& path);
