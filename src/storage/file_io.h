// Whole-file reading and the atomic replacement every file of the cache
// folder is written with (a temporary file in the same folder, then one
// rename), so a reader never sees a cut file. No lock; any thread (two
// writers of one file: the last one wins, never a mix).
#pragma once

#include <string>

// The file's bytes; `ok` false (and nothing) when it cannot be read.
std::string ReadWholeFile(const std::wstring& path, bool& ok);
std::wstring FolderOf(const std::wstring& path);
// Writes `text` to a temporary file beside `path` that then replaces
// `path` in one step. False (and no temporary file left) on failure.
bool ReplaceWholeFile(const std::wstring& path, const std::string& text);
