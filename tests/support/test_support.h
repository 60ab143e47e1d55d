// Helpers shared by the tests: private temporary folders, whole-file reads
// and writes, a private copy of the plug-in DLL loaded like the host loads it,
// and a reader of debugger output.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

std::wstring ExeFolder();
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool PathExists(const std::wstring& path);
// Sets a file's last-write time `hours` back from now.
bool SetFileAge(const std::wstring& path, int hours);
void RemoveTree(const std::wstring& path);
std::wstring Widen(const std::string& ascii);
std::string Narrow(const std::wstring& ascii);
std::vector<std::string> SplitCrLfLines(const std::string& text);

// A file of tests/data, e.g. TestData(L"real\\browser-session-2023-06-11.txt").
std::wstring TestData(const std::wstring& name);
// The payloads of the real service's captured frames, in capture order
// (tests/data/real/README.md says which is which).
const std::vector<std::string>& RealFrames();
// The frame of a real payload, length as the service wrote it.
std::string RealFrame(size_t index);
// The WebSocket messages of the real long-lived stream (one a line of
// tests/data/real/stream-2025-07-06.txt), each holding whole frames.
const std::vector<std::string>& RealStreamMessages();

// A [Service] section whose origins are a closed port on loopback: a test that
// starts the worker without the double must never reach beyond this machine.
inline constexpr char kOfflineServiceSection[] =
    "[Service]\r\nSymbolSearchOrigin=https://127.0.0.1:9\r\nWebOrigin=https://127.0.0.1:9\r\n"
    "DataOrigin=https://127.0.0.1:9\r\n";

// Appends one row of tab-separated fields to the reliability report's raw
// file when the environment variable VELMARQUIN_RELIABILITY_ROWS names one
// (make reliability-report); otherwise does nothing. The first field names
// the report's table.
void AddReliabilityRow(const std::vector<std::string>& fields);

// A fresh, empty folder under the temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring Join(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// A private copy of Velmarquin.dll in its own folder, so that its log, its
// INI and its process-wide state belong to this test alone.
class PluginCopy {
public:
    // A copy of the DLL beside this program, or of `source`.
    PluginCopy();
    explicit PluginCopy(const std::wstring& source);
    ~PluginCopy();
    PluginCopy(const PluginCopy&) = delete;
    PluginCopy& operator=(const PluginCopy&) = delete;

    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    HMODULE Module() const { return module_; }
    const std::wstring& Folder() const { return folder_.Path(); }
    std::wstring DatabaseFolder() const { return folder_.Join(L"db"); }
    std::string Log() const { return ReadFileBytes(folder_.Join(L"Velmarquin.log")); }
    // Gives this copy's reference back now; true when that unmapped the DLL,
    // that is when no other reference (a thread's, a parked connection's)
    // was left.
    bool Unload();

private:
    TempFolder folder_;
    HMODULE module_ = nullptr;
};

// A message-only window standing in for the host's main window, with the
// streaming messages posted to it counted from the calling thread's queue.
class HostWindow {
public:
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    HWND Get() const { return hwnd_; }
    // Message 14024 waiting in the queue, taken out; each must carry 0, 0.
    int TakeStreaming() const;

private:
    HWND hwnd_ = nullptr;
};

// What a log file gained after this object was made.
class LogTail {
public:
    explicit LogTail(std::wstring path) : path_(std::move(path)), start_(ReadFileBytes(path_).size()) {}
    std::string Text() const {
        const std::string all = ReadFileBytes(path_);
        return all.size() > start_ ? all.substr(start_) : std::string();
    }

private:
    std::wstring path_;
    size_t start_;
};

// Collects OutputDebugString text the way a debug-output viewer does
// (the DBWIN buffer protocol). Only one may exist at a time per session.
class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    bool Ready() const { return ready_; }
    // Everything received so far, waiting up to timeoutMs for `expected` to appear.
    std::string WaitFor(const std::string& expected, DWORD timeoutMs);

private:
    static DWORD WINAPI Run(void* self);
    bool ready_ = false;
    HANDLE mutex_ = nullptr, bufferReady_ = nullptr, dataReady_ = nullptr, mapping_ = nullptr, thread_ = nullptr;
    void* view_ = nullptr;
    volatile LONG stop_ = 0;
    CRITICAL_SECTION lock_;
    std::string text_;
};

}  // namespace testing_support
