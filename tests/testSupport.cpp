#include "testSupport.h"

#include "CppTool.h"
#include "diagnosticLog.h"
#include "entryAndSplash.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "singleInstance.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <cstdlib>
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
    configOutcome = ConfigOutcome{};
    splashImageProblem = KeptMessage{};
    splashRun.launchStarted = false;
    splashRun.closing = false;
    splashRun.loopEnded = false;
    splashRun.launchedAt = 0;
    splashRun.java.started = false;
    splashRun.java.failed = false;
    splashRun.java.outcome.keepProcess = false;
    splashRun.java.outcome.process.close();
    splashRun.java.outcome.errorOutput.close();
    splashRun.java.outcome.error = 0;
    splashRun.java.errLog.release();
    splashRun.endedEarly = false;
    splashRun.exitCode = 0;
    splashUntilWindow = false;
    showFailure = false;
    singleInstance = false;
    configAppId.release();
    letGoOfInstance(splashRun.java.outcome.handOver, 0);
    splashRun.java.outcome.processId = 0;
    if (splashIcon != nullptr) {
        DestroyIcon(splashIcon);
    }
    splashIcon = nullptr;
    splashWidth = 0;
    splashHeight = 0;
    closeLogFile();
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

ProgramResources::ProgramResources(const std::wstring& path)
    : module_(LoadLibraryExW(path.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
    EXPECT_NE(module_, nullptr) << utf8(path) << ", error " << GetLastError();
}

ProgramResources::~ProgramResources() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

std::string ProgramResources::bytes(LPCWSTR type, WORD name) const {
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(name), type);
    if (found == nullptr) {
        return {};
    }
    const char* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    return data == nullptr ? std::string() : std::string(data, SizeofResource(module_, found));
}

namespace {

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
    if (IS_INTRESOURCE(name)) {
        reinterpret_cast<std::set<WORD>*>(found)->insert(
            static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)));
    }
    return TRUE;
}

}  // namespace

std::set<WORD> ProgramResources::names(LPCWSTR type) const {
    std::set<WORD> found;
    EnumResourceNamesW(module_, type, collectName, reinterpret_cast<LONG_PTR>(&found));
    return found;
}

SIZE shownIconSize(HMODULE module, WORD group, int size,
                   const std::function<void(HBITMAP mask)>& readMask) {
    HICON icon = static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(group), IMAGE_ICON, size, size, 0));
    if (icon == nullptr) {
        ADD_FAILURE() << "group " << group << " does not load at " << size << " px";
        return {0, 0};
    }
    SIZE shown{0, 0};
    ICONINFO parts{};
    if (GetIconInfo(icon, &parts)) {
        BITMAP colour{};
        GetObjectW(parts.hbmColor, sizeof colour, &colour);
        shown = {colour.bmWidth, colour.bmHeight};
        if (readMask) {
            readMask(parts.hbmMask);
        }
        DeleteObject(parts.hbmColor);
        DeleteObject(parts.hbmMask);
    } else {
        ADD_FAILURE() << "group " << group << " at " << size << " px has no parts";
    }
    DestroyIcon(icon);
    return shown;
}

std::wstring freshCoreFor(const wchar_t* name) {
    resetLauncherState();
    std::wcscpy(programData, L"C:\\ProgramData");
    std::wcsncpy(moduleDir, name, MAX_PATH - 1);
    moduleName = moduleDir;
    return freshLogFile(name);
}

std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot read " << utf8(path) << ", error " << GetLastError();
        return {};
    }
    std::string content = readToEnd(file);
    CloseHandle(file);
    return content;
}

std::string readToEnd(HANDLE handle) {
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(handle, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
    }
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
    DWORD length = GetTempPathW(MAX_PATH, base);
    // The temporary path ends in a backslash.
    return makeNewDir(std::wstring(base, length > 0 ? length - 1 : 0), hint);
}

std::wstring makeNewDir(const std::wstring& parent, const std::wstring& hint) {
    static unsigned counter = 0;
    for (;;) {
        std::wstring path = parent + L"\\lt-" + hint + L"-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot make " << utf8(path) << ", error " << GetLastError();
            return path;
        }
    }
}

void makeDirectories(std::initializer_list<std::wstring> paths) {
    for (const std::wstring& path : paths) {
        CreateDirectoryW(path.c_str(), nullptr);
    }
}

void copyFile(const std::wstring& from, const std::wstring& to) {
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
        << utf8(from) << " -> " << utf8(to) << ", error " << GetLastError();
}

PROCESS_INFORMATION startWithoutWaiting(const std::wstring& commandLine) {
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << utf8(commandLine) << ", error " << GetLastError();
        return {};
    }
    CloseHandle(process.hThread);
    process.hThread = nullptr;
    return process;
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

// Reads what a child writes into `reader` until the child has ended and
// nothing is left. The end of the pipe cannot tell: under Wine, the desktop
// process that the child's first icon call starts inherits its standard
// error, and holds the writing end for as long as the test runs. A child that
// has not ended after a minute is ended, and the test fails.
std::string readWhileRunning(HANDLE reader, HANDLE process) {
    std::string content;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr)) {
            break;  // every writing end is closed
        }
        if (available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(reader, &chunk[0], available, &got, nullptr)) {
                break;
            }
            content.append(chunk, 0, got);
            continue;
        }
        // Everything an ended child wrote is in the pipe already, so one
        // more look after its end finds the last of it.
        if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) {
            if (PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                continue;
            }
            break;
        }
        if (GetTickCount64() > deadline) {
            ADD_FAILURE() << "the child has not ended after a minute";
            TerminateProcess(process, ~0u);
            break;
        }
    }
    return content;
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
    run.output = readWhileRunning(reader, process.hProcess);
    CloseHandle(reader);
    DWORD code = ~0ul;
    GetExitCodeProcess(process.hProcess, &code);
    run.exitCode = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

CapturedRun runLauncherTool(const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = std::wstring(L"\"") + LAUNCHERTOOL_EXE + L"\"";
    for (const std::wstring& argument : arguments) {
        commandLine += L" \"" + argument + L"\"";
    }
    return runCapturingOutput(commandLine, true);
}

void writeSignedCopy(const std::wstring& program, const std::wstring& path,
                     const std::string& content) {
    std::string image = readFile(program);
    // The table starts on an 8-byte boundary: a WIN_CERTIFICATE header (its
    // length, revision 2.0, type PKCS#7) and the content, padded to 8 bytes.
    image.resize((image.size() + 7) / 8 * 8, '\0');
    std::string table(8, '\0');
    table += content;
    table.resize((table.size() + 7) / 8 * 8, '\0');
    DWORD header[2] = {static_cast<DWORD>(table.size()), 0x0200u | (0x0002u << 16)};
    std::memcpy(&table[0], header, sizeof header);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(&image[0]);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(&image[0] + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY& security = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    security.VirtualAddress = static_cast<DWORD>(image.size());
    security.Size = static_cast<DWORD>(table.size());
    writeFile(path, image + table);
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

std::wstring installProbe(const std::wstring& directory, const std::wstring& name,
                          const std::wstring& build) {
    std::wstring path = directory + L"\\" + name + L".exe";
    copyFile(build, path);
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
        } else if (key == "pointerBits") {
            record.pointerBits = std::atoi(value.c_str());
        } else if (key == "startupFlags") {
            record.startupFlags = std::strtoul(value.c_str(), nullptr, 10);
        } else if (key == "startupTitle") {
            record.startupTitle = value;
        }
    }
    return record;
}

WorkedExampleInstallation installWorkedExample(const std::wstring& hint,
                                               const std::wstring& javaBuild) {
    WorkedExampleInstallation installation;
    installation.folder = makeTempDir(hint);
    const std::wstring& folder = installation.folder;
    makeDirectories({folder + L"\\bin", folder + L"\\jre", folder + L"\\jre\\bin"});
    installation.agent = installProbe(folder + L"\\bin", L"agent");
    installation.javaw = installProbe(folder + L"\\jre\\bin", L"javaw", javaBuild);
    copyFile(LAUNCHER_EXE, folder + L"\\Acme.exe");
    writeFile(folder + L"\\Acme.toml", workedExample);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    installation.data = std::wstring(system, 2) + L"\\ProgramData\\Example";
    installation.logs = installation.data + L"\\log";
    makeDirectories({installation.data, installation.logs});
    for (const wchar_t* left : {L"\\agent.record", L"\\javaw.record"}) {
        DeleteFileW((installation.data + left).c_str());
    }
    writeFile(installation.logs + L"\\out_Acme.log", "an earlier run's output\n");
    installation.log = freshLogFile(L"Acme");
    return installation;
}

namespace {

bool isNamed(const std::string& entry, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=') {
            return true;
        }
    }
    return false;
}

bool isWineAddition(const std::string& entry) {
    return entry.compare(0, 4, "WINE") == 0 || entry.compare(0, 12, "SystemDrive=") == 0 ||
           entry.compare(0, 11, "SystemRoot=") == 0;
}

}  // namespace

const std::vector<std::string> setForA64BitChild = {
    "ProgramFiles", "CommonProgramFiles", "ProgramW6432", "CommonProgramW6432",
    "PROCESSOR_ARCHITECTURE"};

void expectChildEnvironment(const std::vector<std::string>& actual,
                            const std::vector<std::string>& expected,
                            const std::vector<std::string>& setBySystem) {
    // Wine sets SystemDrive and SystemRoot afresh in every child, which moves
    // them from their place in the block to the end, among its own entries.
    std::vector<std::string> inPlace;
    for (const std::string& entry : expected) {
        if (!isNamed(entry, {"SystemDrive", "SystemRoot"}) && !isNamed(entry, setBySystem)) {
            inPlace.push_back(entry);
        }
    }
    std::vector<std::string> found;
    for (const std::string& entry : actual) {
        if (!isNamed(entry, setBySystem)) {
            found.push_back(entry);
        }
    }
    ASSERT_GE(found.size(), inPlace.size()) << "the child lacks entries of its block";
    for (std::size_t i = 0; i < inPlace.size(); ++i) {
        EXPECT_EQ(found[i], inPlace[i]) << "entry " << i << " of the child's environment";
    }
    for (std::size_t i = inPlace.size(); i < found.size(); ++i) {
        EXPECT_TRUE(isWineAddition(found[i])) << "unexpected entry " << found[i];
    }
}

std::string entryNamed(const std::vector<std::string>& environment, const std::string& name) {
    for (const std::string& entry : environment) {
        if (isNamed(entry, {name})) {
            return entry;
        }
    }
    return {};
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

std::vector<std::vector<std::string>> environmentListings(const std::vector<std::string>& starts) {
    std::vector<std::vector<std::string>> listings;
    for (auto open = std::find(starts.begin(), starts.end(), "----"); open != starts.end();) {
        auto close = std::find(open + 1, starts.end(), "----");
        listings.emplace_back(open + 1, close);
        open = close == starts.end() ? close : std::find(close + 1, starts.end(), "----");
    }
    return listings;
}

void expectListedEnvironment(const std::vector<std::string>& listing,
                             const std::vector<std::string>& handedOn) {
    ASSERT_GE(listing.size(), handedOn.size());
    EXPECT_EQ(std::vector<std::string>(listing.begin(), listing.begin() + handedOn.size()),
              handedOn);
    for (std::size_t i = handedOn.size(); i < listing.size(); ++i) {
        EXPECT_TRUE(isNamed(listing[i], {"SystemDrive", "SystemRoot"})) << listing[i];
    }
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

void runLinuxShell(const std::wstring& script, std::initializer_list<std::wstring> paths) {
    // Wine hands back neither a process to wait for nor an exit code for a
    // Linux program: a mark that the shell leaves at its end is the sign.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    static unsigned marks = 0;
    std::wstring mark = std::wstring(folder) + L"lt-mark-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++marks);
    std::wstring commandLine = L"Z:\\bin\\sh -c \"" + script + L"; : > \\\"$0\\\"\" \"" +
                               wideOf(unixPathOf(mark)) + L"\"";
    for (const std::wstring& path : paths) {
        commandLine += L" \"" + wideOf(unixPathOf(path)) + L"\"";
    }
    runAndWait(commandLine);
    for (int waited = 0; waited < 30000; waited += 10) {
        if (DeleteFileW(mark.c_str())) {
            return;
        }
        Sleep(10);
    }
    ADD_FAILURE() << "the shell did not end: " << utf8(script);
}

void makeSymbolicLink(const std::wstring& target, const std::wstring& link) {
    runLinuxShell(L"ln -s -n \\\"$1\\\" \\\"$2\\\"", {target, link});
    // A dangling link does not show in a folder's listing; CREATE_NEW fails
    // on any name that is taken and creates nothing.
    HANDLE taken = CreateFileW(link.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (taken != INVALID_HANDLE_VALUE) {
        CloseHandle(taken);
        DeleteFileW(link.c_str());
        ADD_FAILURE() << "no link made at " << utf8(link);
    }
}

void removeSymbolicLink(const std::wstring& link) {
    runLinuxShell(L"rm -f \\\"$1\\\"", {link});
}
