#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace testing_support {

std::wstring ExeFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer, n);
    return path.substr(0, path.rfind(L'\\'));
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string out;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return out;
    char chunk[65536];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) out.append(chunk, n);
    fclose(file);
    return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr) << "cannot write " << Narrow(path);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

std::vector<std::string> SplitCrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void AddReliabilityRow(const std::vector<std::string>& fields) {
    const char* path = std::getenv("VELMARQUIN_RELIABILITY_ROWS");
    if (path == nullptr || *path == '\0') return;
    std::string row;
    for (const std::string& field : fields) {
        if (!row.empty()) row += '\t';
        for (char c : field) row += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
    }
    row += '\n';
    FILE* file = _wfopen(Widen(path).c_str(), L"ab");
    if (file == nullptr) return;
    std::fwrite(row.data(), 1, row.size(), file);
    std::fclose(file);
}

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        wchar_t name[64];
        swprintf(name, 64, L"vmq_%lu_%u_%d", GetCurrentProcessId(), counter.fetch_add(1), attempt);
        std::wstring candidate = std::wstring(temp) + name;
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "no temporary folder";
}

TempFolder::~TempFolder() {
    if (!path_.empty()) RemoveTree(path_);
}

bool SetFileAge(const std::wstring& path, int hours) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= static_cast<ULONGLONG>(hours) * 3600ULL * 10000000ULL;
    const FILETIME then{value.LowPart, value.HighPart};
    const bool set = SetFileTime(file, nullptr, nullptr, &then) != FALSE;
    CloseHandle(file);
    return set;
}

PluginCopy::PluginCopy() : PluginCopy(ExeFolder() + L"\\Velmarquin.dll") {}

PluginCopy::PluginCopy(const std::wstring& source) {
    const std::wstring target = folder_.Join(L"Velmarquin.dll");
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << Narrow(source);
        return;
    }
    CreateDirectoryW(DatabaseFolder().c_str(), nullptr);
    module_ = LoadLibraryW(target.c_str());
    if (module_ == nullptr) ADD_FAILURE() << "LoadLibrary failed: " << GetLastError();
}

PluginCopy::~PluginCopy() {
    if (module_ != nullptr) FreeLibrary(module_);
}

bool PluginCopy::Unload() {
    if (module_ == nullptr) return false;
    FreeLibrary(module_);
    module_ = nullptr;
    return GetModuleHandleW(folder_.Join(L"Velmarquin.dll").c_str()) == nullptr;
}

DebugOutputCapture::DebugOutputCapture() {
    InitializeCriticalSection(&lock_);
    mutex_ = CreateMutexW(nullptr, FALSE, L"DBWinMutex");
    bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    if (mapping_ != nullptr) view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096);
    if (bufferReady_ == nullptr || dataReady_ == nullptr || view_ == nullptr) return;
    thread_ = CreateThread(nullptr, 0, &DebugOutputCapture::Run, this, 0, nullptr);
    ready_ = thread_ != nullptr;
}

DWORD WINAPI DebugOutputCapture::Run(void* self) {
    auto* capture = static_cast<DebugOutputCapture*>(self);
    SetEvent(capture->bufferReady_);
    while (InterlockedCompareExchange(&capture->stop_, 0, 0) == 0) {
        if (WaitForSingleObject(capture->dataReady_, 100) != WAIT_OBJECT_0) continue;
        const char* text = static_cast<const char*>(capture->view_) + sizeof(DWORD);
        EnterCriticalSection(&capture->lock_);
        capture->text_.append(text, strnlen(text, 4096 - sizeof(DWORD)));
        LeaveCriticalSection(&capture->lock_);
        SetEvent(capture->bufferReady_);
    }
    return 0;
}

std::string DebugOutputCapture::WaitFor(const std::string& expected, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        EnterCriticalSection(&lock_);
        std::string copy = text_;
        LeaveCriticalSection(&lock_);
        if (copy.find(expected) != std::string::npos || GetTickCount64() >= deadline) return copy;
        Sleep(20);
    }
}

DebugOutputCapture::~DebugOutputCapture() {
    InterlockedExchange(&stop_, 1);
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
    }
    if (view_ != nullptr) UnmapViewOfFile(view_);
    for (HANDLE h : {mapping_, dataReady_, bufferReady_, mutex_}) {
        if (h != nullptr) CloseHandle(h);
    }
    DeleteCriticalSection(&lock_);
}

HostWindow::HostWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VelmarquinTestHostWindow";
    RegisterClassW(&wc);  // a second registration fails harmlessly
    hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

HostWindow::~HostWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

int HostWindow::TakeStreaming() const {
    constexpr UINT kStreaming = WM_USER + 13000;
    int count = 0;
    MSG msg;
    while (PeekMessageW(&msg, hwnd_, kStreaming, kStreaming, PM_REMOVE)) {
        EXPECT_EQ(msg.wParam, 0u);
        EXPECT_EQ(msg.lParam, 0);
        ++count;
    }
    return count;
}

}  // namespace testing_support

namespace testing_support {

std::wstring TestData(const std::wstring& name) {
    // The source tree as Wine sees it: its Unix root is drive Z.
    std::wstring folder = L"Z:" + Widen(VELMARQUIN_TEST_DATA_DIR);
    for (wchar_t& c : folder) {
        if (c == L'/') c = L'\\';
    }
    return folder + L"\\" + name;
}

const std::vector<std::string>& RealFrames() {
    static const std::vector<std::string> frames = [] {
        std::vector<std::string> out;
        std::string capture = ReadFileBytes(TestData(L"real\\browser-session-2023-06-11.txt"));
        // Every frame of the capture is ASCII, so its length counts bytes too.
        size_t pos = 0;
        while (capture.compare(pos, 3, "~m~") == 0) {
            const size_t digits = pos + 3;
            const size_t marker = capture.find("~m~", digits);
            if (marker == std::string::npos) break;
            const size_t length = std::stoul(capture.substr(digits, marker - digits));
            out.push_back(capture.substr(marker + 3, length));
            pos = marker + 3 + length;
        }
        return out;
    }();
    return frames;
}

const std::vector<std::string>& RealStreamMessages() {
    static const std::vector<std::string> messages = [] {
        std::vector<std::string> out;
        const std::string capture = ReadFileBytes(TestData(L"real\\stream-2025-07-06.txt"));
        for (size_t start = 0; start < capture.size();) {
            size_t end = capture.find('\n', start);
            if (end == std::string::npos) end = capture.size();
            std::string line = capture.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) out.push_back(line);
            start = end + 1;
        }
        return out;
    }();
    return messages;
}

std::string RealFrame(size_t index) {
    const std::string& payload = RealFrames().at(index);
    return "~m~" + std::to_string(payload.size()) + "~m~" + payload;
}

}  // namespace testing_support
