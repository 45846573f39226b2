#include "testSupport.h"

#include "CppTool.h"
#include "diagnosticLog.h"
#include "entryAndSplash.h"
#include "loadImage.h"
#include "loadconfig.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

namespace {

std::string capturedDebugText;

void WINAPI captureDebugText(LPCSTR text) {
    capturedDebugText += text;
}

std::wstring fakeModulePath;
std::wstring fakeSystemDirectory;

DWORD WINAPI answerModulePath(HMODULE, LPWSTR buffer, DWORD size) {
    // GetModuleFileNameW cuts a long path to the buffer, NUL included, and
    // says so with the buffer's size and ERROR_INSUFFICIENT_BUFFER.
    if (fakeModulePath.size() >= size) {
        std::wmemcpy(buffer, fakeModulePath.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, fakeModulePath.c_str(), fakeModulePath.size() + 1);
    return static_cast<DWORD>(fakeModulePath.size());
}

UINT WINAPI answerSystemDirectory(LPWSTR buffer, UINT size) {
    if (fakeSystemDirectory.size() >= size) {
        return 0;
    }
    std::wmemcpy(buffer, fakeSystemDirectory.c_str(), fakeSystemDirectory.size() + 1);
    return static_cast<UINT>(fakeSystemDirectory.size());
}

std::wstring fakeEnvironment;
const wchar_t* releasedEnvironment = nullptr;
int environmentReads = 0;

LPWCH WINAPI answerEnvironment() {
    ++environmentReads;
    return &fakeEnvironment[0];
}

BOOL WINAPI recordRelease(LPWCH strings) {
    releasedEnvironment = strings;
    return TRUE;
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

FakeEnvironment::FakeEnvironment(std::initializer_list<const wchar_t*> entries) {
    fakeEnvironment.clear();
    for (const wchar_t* entry : entries) {
        fakeEnvironment += entry;
        fakeEnvironment += L'\0';
    }
    fakeEnvironment += L'\0';
    releasedEnvironment = nullptr;
    environmentReads = 0;
    kernel.GetEnvironmentStringsW = answerEnvironment;
    kernel.FreeEnvironmentStringsW = recordRelease;
}

int FakeEnvironment::reads() const {
    return environmentReads;
}

const wchar_t* FakeEnvironment::released() const {
    return releasedEnvironment;
}

const wchar_t* FakeEnvironment::strings() const {
    return fakeEnvironment.c_str();
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
    logLockWaited = 0;
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

namespace {

// Starts a command line, in `directory` when one is given and with the
// Unicode environment `block` when one is given, and waits for its end.
unsigned long runToEnd(const std::wstring& commandLine, const std::wstring& directory,
                       wchar_t* block) {
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE,
                        block != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0, block,
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

}  // namespace

unsigned long runAndWait(const std::wstring& commandLine, const std::wstring& directory) {
    return runToEnd(commandLine, directory, nullptr);
}

unsigned long runWithEnvironment(const std::wstring& commandLine,
                                 std::initializer_list<const wchar_t*> entries) {
    std::wstring block;
    for (const wchar_t* entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return runToEnd(commandLine, L"", &block[0]);
}

CapturedRun runCapturingOutput(const std::wstring& commandLine, bool withErrors,
                               const std::wstring& directory) {
    CapturedRun run;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inheritable, 0)) {
        ADD_FAILURE() << "no pipe, error " << GetLastError();
        return run;
    }
    // Only the child may hold the writing end, or the pipe never ends.
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writer;
    startup.hStdError = withErrors ? writer : input;
    PROCESS_INFORMATION process{};
    std::wstring writable = commandLine;
    BOOL started = CreateProcessW(nullptr, &writable[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  directory.empty() ? nullptr : directory.c_str(), &startup,
                                  &process);
    CloseHandle(writer);
    CloseHandle(input);
    if (!started) {
        ADD_FAILURE() << "cannot start " << utf8(commandLine) << ", error " << GetLastError();
        CloseHandle(reader);
        return run;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(reader, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        run.output.append(chunk, got);
    }
    CloseHandle(reader);
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = ~0ul;
    GetExitCodeProcess(process.hProcess, &code);
    run.exitCode = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// The example configuration of the documentation: a splash, one PATH folder,
// three Java options and all four [app] keys.
const char* const workedExample = R"(
[splash]
image = 'splash.ico'
millisec = 2500

[env]
PATH = ['$(moduleDir)\jre\bin']

[jre]
main_jar = '$(moduleDir)\app\main.jar'
options = ['-Xms64m', '-Xmx512m', '-Dapp.home=$(programData)\Example']

[app]
exec = '$(moduleDir)\jre\bin\javaw.exe'
exec2 = '$(moduleDir)\bin\agent.exe'
log_dir = '$(programData)\Example\log'
data_dir = '$(programData)\Example'
)";

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

std::wstring installProbe(const std::wstring& directory, const std::wstring& name) {
    std::wstring path = directory + L"\\" + name + L".exe";
    copyFile(PROBE_EXE, path);
    return path;
}

ProbeRecord waitForProbe(const std::wstring& directory, const std::wstring& name,
                         unsigned long timeoutMs) {
    std::wstring path = directory + L"\\" + name + L".record";
    ProbeRecord record;
    for (unsigned long waited = 0; GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 100) {
        if (waited >= timeoutMs) {
            ADD_FAILURE() << "no record from the probe " << utf8(name) << " in " << utf8(directory);
            return record;
        }
        Sleep(100);
    }
    record.found = true;
    bool inEnvironment = false;
    for (const std::string& line : linesOf(readFile(path))) {
        if (inEnvironment) {
            record.environment.push_back(line);
            continue;
        }
        if (line == "environment:") {
            inEnvironment = true;
            continue;
        }
        std::size_t equals = line.find('=');
        std::string key = line.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        if (key == "commandLine") {
            record.commandLine = value;
        } else if (key == "currentDirectory") {
            record.currentDirectory = value;
        } else if (key == "stdinRead") {
            record.stdinRead = value == "1";
        } else if (key == "stdin") {
            record.stdinText = value;
        } else if (key == "stdoutWritten") {
            record.stdoutWritten = value == "1";
        } else if (key == "stderrWritten") {
            record.stderrWritten = value == "1";
        }
    }
    return record;
}

namespace {

bool isWineAddition(const std::string& entry) {
    return entry.compare(0, 4, "WINE") == 0 || entry.compare(0, 12, "SystemDrive=") == 0 ||
           entry.compare(0, 11, "SystemRoot=") == 0;
}

}  // namespace

void expectChildEnvironment(const std::vector<std::string>& actual,
                            const std::vector<std::string>& expected) {
    // Wine sets SystemDrive and SystemRoot afresh in every child, which moves
    // them from their place in the block to the end, among its own entries.
    std::vector<std::string> inPlace;
    for (const std::string& entry : expected) {
        if (entry.compare(0, 12, "SystemDrive=") != 0 && entry.compare(0, 11, "SystemRoot=") != 0) {
            inPlace.push_back(entry);
        }
    }
    ASSERT_GE(actual.size(), inPlace.size()) << "the child lacks entries of its block";
    for (std::size_t i = 0; i < inPlace.size(); ++i) {
        EXPECT_EQ(actual[i], inPlace[i]) << "entry " << i << " of the child's environment";
    }
    for (std::size_t i = inPlace.size(); i < actual.size(); ++i) {
        EXPECT_TRUE(isWineAddition(actual[i])) << "unexpected entry " << actual[i];
    }
}

std::vector<std::string> entriesOf(const wchar_t* block, int count) {
    std::vector<std::string> entries;
    if (block == nullptr) {
        return entries;
    }
    for (const wchar_t* entry = block; entry < block + count; entry += std::wcslen(entry) + 1) {
        entries.push_back(utf8(entry));
    }
    return entries;
}

std::vector<std::string> bodiesFrom(const std::vector<std::string>& lines,
                                    const std::string& origin) {
    std::vector<std::string> bodies;
    for (const std::string& line : lines) {
        if (entryOrigin(line) == origin) {
            bodies.push_back(entryBody(line));
        }
    }
    return bodies;
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

namespace {

// One row of the system's handle table (SystemExtendedHandleInformation).
struct HandleTableEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleTableEntry entries[1];
};

constexpr ULONG systemExtendedHandleInformation = 64;
constexpr NTSTATUS statusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

}  // namespace

unsigned long handleCount() {
    // GetProcessHandleCount answers 0 under Wine whatever the process holds;
    // the system's handle table is right on both.
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(
                static_cast<SYSTEM_INFORMATION_CLASS>(systemExtendedHandleInformation),
                buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           statusInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    EXPECT_EQ(status, 0) << "the handle table cannot be read";
    if (status != 0) {
        return 0;
    }
    const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
    unsigned long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == GetCurrentProcessId()) {
            ++count;
        }
    }
    // A process always holds some handles: zero means the count is not live.
    EXPECT_GT(count, 0u);
    return count;
}

std::string unixPathOf(const std::wstring& path) {
    // Wine's own export; a missing last part of the path is fine.
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    auto unixFileName = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (unixFileName == nullptr) {
        ADD_FAILURE() << "not under Wine: no wine_get_unix_file_name";
        return {};
    }
    char* unix = unixFileName(path.c_str());
    if (unix == nullptr) {
        ADD_FAILURE() << "no Unix path for " << utf8(path);
        return {};
    }
    std::string converted = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return converted;
}

namespace {

std::wstring wideOf(const std::string& utf8Text) {
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8Text.c_str(), -1, nullptr, 0);
    std::wstring out(units > 0 ? units - 1 : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8Text.c_str(), -1, &out[0], units);
    return out;
}

}  // namespace

void makeSymbolicLink(const std::wstring& target, const std::wstring& link) {
    // Wine hands back neither a process to wait for nor an exit code for a
    // Linux program, and a dangling link does not show in a folder's listing:
    // a mark that the shell leaves once the link exists is the sign of its end.
    std::wstring mark = link + L".made";
    std::wstring commandLine = L"Z:\\bin\\sh -c \"ln -s -n \\\"$1\\\" \\\"$2\\\" && : > \\\"$3\\\"\" sh \"" +
                               wideOf(unixPathOf(target)) + L"\" \"" + wideOf(unixPathOf(link)) +
                               L"\" \"" + wideOf(unixPathOf(mark)) + L"\"";
    runAndWait(commandLine);
    for (int waited = 0; waited < 10000; waited += 10) {
        if (DeleteFileW(mark.c_str())) {
            return;
        }
        Sleep(10);
    }
    ADD_FAILURE() << "no link made at " << utf8(link);
}
