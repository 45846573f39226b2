#include "testSupport.h"

#include "CppTool.h"
#include "diagnosticLog.h"
#include "entryAndSplash.h"
#include "loadImage.h"
#include "loadconfig.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string capturedDebugText;

void WINAPI captureDebugText(LPCSTR text) {
    capturedDebugText += text;
}

std::wstring fakeModulePath;
std::wstring fakeSystemDirectory;

DWORD WINAPI answerModulePath(HMODULE, LPWSTR buffer, DWORD size) {
    // GetModuleFileNameW cuts a long path to the buffer.
    DWORD copied = static_cast<DWORD>(fakeModulePath.size()) < size
                       ? static_cast<DWORD>(fakeModulePath.size())
                       : size - 1;
    std::wmemcpy(buffer, fakeModulePath.c_str(), copied);
    buffer[copied] = L'\0';
    return copied;
}

UINT WINAPI answerSystemDirectory(LPWSTR buffer, UINT size) {
    if (fakeSystemDirectory.size() >= size) {
        return 0;
    }
    std::wmemcpy(buffer, fakeSystemDirectory.c_str(), fakeSystemDirectory.size() + 1);
    return static_cast<UINT>(fakeSystemDirectory.size());
}

}  // namespace

DebuggerCapture::DebuggerCapture() : saved_(kernel.OutputDebugStringA) {
    capturedDebugText.clear();
    kernel.OutputDebugStringA = captureDebugText;
}

DebuggerCapture::~DebuggerCapture() {
    kernel.OutputDebugStringA = saved_;
}

const std::string& DebuggerCapture::text() const {
    return capturedDebugText;
}

FakePaths::FakePaths(const std::wstring& modulePath, const std::wstring& systemDirectory) {
    fakeModulePath = modulePath;
    fakeSystemDirectory = systemDirectory;
    kernel.GetModuleFileNameW = answerModulePath;
    kernel.GetSystemDirectoryW = answerSystemDirectory;
}

void resetLauncherState() {
    for (WideText* setting : {&configApplication, &configApplication2, &configDataDir, &configLogDir,
                              &configPath, &configMainJar, &configJavaOptions}) {
        setting->release();
    }
    std::wmemset(moduleDir, 0, MAX_PATH);
    std::wmemset(systemDir, 0, MAX_PATH);
    std::wmemset(programData, 0, MAX_PATH);
    moduleName = nullptr;
    commandLineArgs = nullptr;
    splashMillisec = 0;
    launchStarted = false;
    if (splashIcon != nullptr) {
        DestroyIcon(splashIcon);
    }
    splashIcon = nullptr;
    splashWidth = 0;
    splashHeight = 0;
    if (logFile != nullptr && logFile != INVALID_HANDLE_VALUE) {
        CloseHandle(logFile);
    }
    logFile = nullptr;
}

std::wstring logDirectory() {
    CreateDirectoryW(L"C:\\ProgramData\\TAVEX", nullptr);
    CreateDirectoryW(L"C:\\ProgramData\\TAVEX\\Kestrion", nullptr);
    return L"C:\\ProgramData\\TAVEX\\Kestrion";
}

std::wstring freshLogFile(const std::wstring& moduleName) {
    std::wstring path = logDirectory() + L"\\launcher" + moduleName + L".log";
    DeleteFileW(path.c_str());
    return path;
}

std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot read " << utf8(path) << ", error " << GetLastError();
        return {};
    }
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
    CloseHandle(file);
    return content;
}

void writeFile(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << utf8(path);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring makeTempDir(const std::wstring& hint) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        std::wstring path = std::wstring(base) + L"lt-" + hint + L"-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
    }
}

void copyFile(const std::wstring& from, const std::wstring& to) {
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
        << utf8(from) << " -> " << utf8(to) << ", error " << GetLastError();
}

unsigned long runAndWait(const std::wstring& commandLine, const std::wstring& directory) {
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start " << utf8(commandLine) << ", error " << GetLastError();
        return ~0ul;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = ~0ul;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

namespace {

// An entry reads "Y-MM-DD hh:mm:ss source:line:function body": the origin
// stands between the second and the third blank.
std::size_t nthBlank(const std::string& line, int n) {
    std::size_t at = std::string::npos;
    for (int i = 0; i < n; ++i) {
        at = line.find(' ', at == std::string::npos ? 0 : at + 1);
        if (at == std::string::npos) {
            break;
        }
    }
    return at;
}

}  // namespace

std::string entryBody(const std::string& line) {
    std::size_t third = nthBlank(line, 3);
    return third == std::string::npos ? std::string() : line.substr(third + 1);
}

std::string entryOrigin(const std::string& line) {
    std::size_t second = nthBlank(line, 2);
    std::size_t third = nthBlank(line, 3);
    if (third == std::string::npos) {
        return {};
    }
    std::string origin = line.substr(second + 1, third - second - 1);
    return origin.substr(0, origin.find(':')) + origin.substr(origin.rfind(':'));
}

std::string utf8(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    return out;
}
