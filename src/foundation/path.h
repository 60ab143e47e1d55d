// Path helpers: the backslash join and the folder of this DLL. Any thread.
#pragma once

#include <string>
#include <string_view>

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// The folder of a module path as GetModuleFileNameW reported it into a
// buffer of `capacity` units: "." when the call failed (length 0), filled the
// buffer, or the path has no backslash.
std::wstring FolderOfModulePath(const wchar_t* path, unsigned long length, unsigned long capacity);

// The folder of this DLL's file (see FolderOfModulePath).
std::wstring ModuleFolder();

// The module handle of this DLL, stored once by DllMain. Null in programs
// that link the library directly (ModuleFolder then names the program's folder).
void SetPluginModule(void* module);
void* PluginModule();
