#include "diagnosticLog.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

class StartupPaths : public ::testing::Test {
protected:
    void SetUp() override { resetLauncherState(); }
    void TearDown() override { resetLauncherState(); }

    KernelOverride restore_;
};

// Runs prepareJob for a module path and returns what went to the debugger.
std::string debuggerTextFor(const std::wstring& modulePath) {
    FakePaths paths(modulePath);
    DebuggerCapture debugger;
    prepareJob();
    return debugger.text();
}

}  // namespace

TEST_F(StartupPaths, SplitsTheModulePathAndDerivesProgramData) {
    std::wstring log = freshLogFile(L"StartupAcme");
    FakePaths paths(L"C:\\Apps\\Acme\\StartupAcme.exe", L"D:\\WINDOWS\\system32");
    // D: has no ProgramData here, so nothing is logged; only the values count.
    prepareJob();
    EXPECT_STREQ(moduleDir, L"C:\\Apps\\Acme");
    EXPECT_STREQ(moduleName, L"StartupAcme");
    EXPECT_STREQ(systemDir, L"D:\\WINDOWS\\system32");
    EXPECT_STREQ(programData, L"D:\\ProgramData");
    // No configuration file: the PATH entry is just the system directory.
    EXPECT_STREQ(configPath.get(), L"PATH=D:\\WINDOWS\\system32");
}

TEST_F(StartupPaths, AcceptsTheSuffixInAnyLetterCaseAndTheDriveRoot) {
    for (const wchar_t* path : {L"C:\\Acme.EXE", L"C:\\Acme.Exe", L"C:\\Acme.eXe"}) {
        resetLauncherState();
        EXPECT_EQ(debuggerTextFor(path), "") << utf8(path);
        EXPECT_STREQ(moduleDir, L"C:");
        EXPECT_STREQ(moduleName, L"Acme");
    }
}

TEST_F(StartupPaths, RejectsNamesWithoutExeSuffix) {
    struct Case {
        const wchar_t* path;
        const char* message;
    };
    for (const Case& c : {Case{L"C:\\Apps\\Acme\\Acme.com", "not E\n"},
                          Case{L"C:\\Apps\\Acme\\Acme.eXa", "not E\n"},
                          Case{L"C:\\Apps\\Acme\\Acme.eye", "not X\n"},
                          Case{L"C:\\Apps\\Acme\\Acme.axe", "not E\n"},
                          Case{L"C:\\Apps\\Acme\\Acmeexe", "not .\n"},
                          Case{L"xe", "not E\n"},
                          Case{L"exe", "not .\n"}}) {
        resetLauncherState();
        EXPECT_EQ(debuggerTextFor(c.path), c.message) << utf8(c.path);
        EXPECT_EQ(moduleName, nullptr);
        EXPECT_TRUE(configPath.isNull());
    }
}

TEST_F(StartupPaths, RejectsPathsWithoutADirectory) {
    for (const wchar_t* path : {L"Acme.exe", L".exe", L"\\Acme.exe", L"C:/Apps/Acme.exe"}) {
        resetLauncherState();
        EXPECT_EQ(debuggerTextFor(path), "path not found\n") << utf8(path);
        EXPECT_TRUE(configPath.isNull());
    }
}

TEST_F(StartupPaths, RefusesAModulePathCutToTheBuffer) {
    // The first 259 characters end in "\evil.exe": read as a name, the cut
    // path would be another installation's.
    std::wstring folder = L"C:\\" + std::wstring(MAX_PATH - 1 - 12, L'a') + L"\\evil.exe";
    ASSERT_EQ(folder.size(), MAX_PATH - 1u);
    std::wstring log = freshLogFile(L"evil");
    EXPECT_EQ(debuggerTextFor(folder + L"\\Acme\\Acme.exe"), "path too long\n");
    EXPECT_EQ(moduleName, nullptr);
    EXPECT_TRUE(configPath.isNull());
    EXPECT_EQ(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES);

    // Older systems (and Wine) fill the whole buffer and leave out the NUL.
    resetLauncherState();
    kernel.GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) WINAPI -> DWORD {
        std::wmemset(buffer, L'x', size);
        std::wmemcpy(buffer + size - 9, L"\\evil.exe", 9);
        return size;
    };
    DebuggerCapture debugger;
    prepareJob();
    EXPECT_EQ(debugger.text(), "path too long\n");
    EXPECT_EQ(moduleName, nullptr);
}

TEST_F(StartupPaths, AcceptsTheLongestPathThatFits) {
    std::wstring path = L"C:\\" + std::wstring(MAX_PATH - 1 - 3 - 9, L'a') + L"\\Long.exe";
    ASSERT_EQ(path.size(), MAX_PATH - 1u);
    std::wstring log = freshLogFile(L"Long");
    EXPECT_EQ(debuggerTextFor(path), "");
    EXPECT_STREQ(moduleName, L"Long");
    resetLauncherState();
    DeleteFileW(log.c_str());
}

TEST_F(StartupPaths, AStopLeavesNoLogFile) {
    std::wstring log = freshLogFile(L"Stopped");
    EXPECT_EQ(debuggerTextFor(L"C:\\Apps\\Stopped.com"), "not E\n");
    EXPECT_EQ(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(logFile, nullptr);
}

TEST_F(StartupPaths, FailedSystemCallsGoToTheDebugger) {
    {
        FakePaths paths(L"C:\\Apps\\Acme.exe", L"");
        kernel.GetModuleFileNameW = [](HMODULE, LPWSTR, DWORD) WINAPI -> DWORD { return 0; };
        DebuggerCapture debugger;
        prepareJob();
        EXPECT_EQ(debugger.text(), "GetModuleFileName\n");
    }
    resetLauncherState();
    {
        FakePaths paths(L"C:\\Apps\\Acme.exe", std::wstring(MAX_PATH, L'x'));
        DebuggerCapture debugger;
        prepareJob();
        EXPECT_EQ(debugger.text(), "GetSystemDirectory\n");
    }
}

TEST_F(StartupPaths, EmptyNameIsAccepted) {
    std::wstring log = freshLogFile(L"");
    FakePaths paths(L"C:\\Apps\\Acme\\.exe");
    prepareJob();
    EXPECT_STREQ(moduleDir, L"C:\\Apps\\Acme");
    EXPECT_STREQ(moduleName, L"");
    ASSERT_NE(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES);
    resetLauncherState();
    DeleteFileW(log.c_str());
}

TEST_F(StartupPaths, LogsTheFourPathsFirst) {
    std::wstring log = freshLogFile(L"PathLines");
    FakePaths paths(L"C:\\Apps\\Acme\\PathLines.exe");
    prepareJob();
    resetLauncherState();
    std::vector<std::string> lines = linesOf(readFile(log));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(entryBody(lines[0]), "systemDir=C:\\windows\\system32");
    EXPECT_EQ(entryBody(lines[1]), "moduleDir=C:\\Apps\\Acme");
    EXPECT_EQ(entryBody(lines[2]), "moduleName=PathLines");
    EXPECT_EQ(entryBody(lines[3]), "programData=C:\\ProgramData");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(entryOrigin(lines[i]), "loadconfig:prepareJob") << lines[i];
    }
}

TEST_F(StartupPaths, NonLatinInstallFolderIsLoggedAsUtf8) {
    std::wstring log = freshLogFile(L"\x0410\x043A\x043C\x0435");
    FakePaths paths(L"D:\\\x041F\x0440\x043E\x0433\x0440\x0430\x043C\x043C\x044B\\\x0410\x043A\x043C\x0435.exe",
                    L"C:\\windows\\system32");
    prepareJob();
    resetLauncherState();
    std::vector<std::string> lines = linesOf(readFile(log));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(entryBody(lines[1]),
              "moduleDir=D:\\\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC\xD0\xBC\xD1\x8B");
    EXPECT_EQ(entryBody(lines[2]), "moduleName=\xD0\x90\xD0\xBA\xD0\xBC\xD0\xB5");
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int);

namespace {

std::vector<std::string> entryCalls;
DWORD dllSearchFlags = 0;

BOOL WINAPI recordDllDirectories(DWORD flags) {
    entryCalls.push_back("SetDefaultDllDirectories");
    dllSearchFlags = flags;
    return TRUE;
}

DWORD WINAPI recordModulePath(HMODULE, LPWSTR buffer, DWORD) {
    entryCalls.push_back("GetModuleFileNameW");
    std::wcscpy(buffer, L"C:\\Apps\\Acme\\Acme.com");
    return 21;
}

}  // namespace

TEST_F(StartupPaths, EntryPointRestrictsDllSearchFirstAndKeepsTheTail) {
    entryCalls.clear();
    kernel.SetDefaultDllDirectories = recordDllDirectories;
    kernel.GetModuleFileNameW = recordModulePath;
    DebuggerCapture debugger;
    wchar_t tail[] = L"-x  y";

    EXPECT_EQ(wWinMain(nullptr, nullptr, tail, SW_SHOWNORMAL), 0);

    ASSERT_GE(entryCalls.size(), 2u);
    EXPECT_EQ(entryCalls[0], "SetDefaultDllDirectories");
    EXPECT_EQ(entryCalls[1], "GetModuleFileNameW");
    EXPECT_EQ(dllSearchFlags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(commandLineArgs, tail);
    EXPECT_EQ(debugger.text(), "not E\n");
}
