#include "diagnosticLog.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

namespace {

// A launcher named `name` installed on C:, with its log folder present.
class DiagnosticLog : public ::testing::Test {
protected:
    void SetUp() override {
        resetLauncherState();
        logPath_ = freshLogFile(L"LogTest");
        std::wcscpy(programData, L"C:\\ProgramData");
        std::wcscpy(moduleDir, L"LogTest");
        moduleName = moduleDir;
    }
    void TearDown() override { resetLauncherState(); }

    std::string logText() {
        resetLauncherState();
        return readFile(logPath_);
    }

    std::wstring logPath_;
    KernelOverride restore_;
};

}  // namespace

TEST_F(DiagnosticLog, MessageEntryHasTheDocumentedPrefix) {
    logMessage("C:\\src\\launcher\\loadconfig.cpp", 57, "prepareJob", "systemDir=%S\n",
               L"C:\\windows\\system32");
    std::string text = logText();
    EXPECT_TRUE(std::regex_match(
        text, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d loadconfig:57:prepareJob "
                         "systemDir=C:\\\\windows\\\\system32\n")))
        << text;
}

TEST_F(DiagnosticLog, ErrorEntryCarriesTheCodeAndTheSystemText) {
    logError("startProcess.cpp", 120, "startProcess", 2, "CreateProcess ");
    std::string text = logText();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        text, match,
        std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d startProcess:120:startProcess err:2 "
                   "CreateProcess ([^\r\n]+)\n")))
        << text;
    // The system's wording differs between systems; only its presence counts.
    // It ends in the log's own line end, not in the system's "\r\n".
    EXPECT_FALSE(match[1].str().empty());
}

TEST_F(DiagnosticLog, EntryWithoutSystemTextEndsItsOwnLine) {
    kernel.FormatMessageW = [](DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*) WINAPI -> DWORD {
        return 0;
    };
    DebuggerCapture debugger;
    logError("loadImage.cpp", 9, "initImage", 1234, " ");
    logMessage("loadImage.cpp", 10, "initImage", "next\n");
    EXPECT_EQ(debugger.text(), "ERROR FormatMessage\n");
    std::string text = logText();
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(lines[0].substr(lines[0].find(" loadImage")), " loadImage:9:initImage err:1234  ");
    EXPECT_EQ(entryOrigin(lines[1]), "loadImage:initImage");
    EXPECT_EQ(entryBody(lines[1]), "next");
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(DiagnosticLog, RunsAppendToTheSameFile) {
    logMessage("a.cpp", 1, "first", "----\n");
    resetLauncherState();
    std::wcscpy(programData, L"C:\\ProgramData");
    std::wcscpy(moduleDir, L"LogTest");
    moduleName = moduleDir;
    logMessage("a.cpp", 2, "second", "----\n");
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(entryOrigin(lines[0]), "a:first");
    EXPECT_EQ(entryBody(lines[0]), "----");
    EXPECT_EQ(entryOrigin(lines[1]), "a:second");
}

TEST_F(DiagnosticLog, MissingDirectoryIsReportedOnceAndNothingIsWritten) {
    std::wcscpy(programData, L"C:\\NoSuchProgramData");
    DebuggerCapture debugger;
    logMessage("a.cpp", 1, "f", "one\n");
    logError("a.cpp", 2, "f", 2, " ");
    EXPECT_EQ(debugger.text(), "ERROR CreateFile\n");
    EXPECT_EQ(logFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileAttributesW(L"C:\\NoSuchProgramData"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DiagnosticLog, EmptyMessageWritesThePrefixOnItsOwnLine) {
    DebuggerCapture debugger;
    logMessage("a.cpp", 3, "f", "%s", "");
    EXPECT_EQ(debugger.text(), "ERROR vsnprintf\n");
    std::string text = logText();
    EXPECT_EQ(text.substr(text.size() - 8), " a:3:f \n");
}

TEST_F(DiagnosticLog, FailedWriteAndAllocationGoToTheDebugger) {
    // The file is open before the failures begin.
    logMessage("a.cpp", 3, "f", "kept\n");
    DebuggerCapture debugger;
    kernel.HeapAlloc = [](HANDLE, DWORD, SIZE_T) WINAPI -> LPVOID { return nullptr; };
    logMessage("a.cpp", 4, "f", "lost\n");
    EXPECT_EQ(debugger.text(), "ERROR HeapAlloc\n");
    kernel.HeapAlloc = ::HeapAlloc;
    kernel.WriteFile = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    };
    logMessage("a.cpp", 5, "f", "lost\n");
    EXPECT_EQ(debugger.text(), "ERROR HeapAlloc\nERROR WriteFile\n");
    kernel.WriteFile = ::WriteFile;
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryBody(lines[0]), "kept");
}

TEST_F(DiagnosticLog, ConcurrentWritersKeepEveryEntryWhole) {
    // A second handle on the same file stands for a second launcher.
    logMessage("a.cpp", 1, "f", "open\n");
    HANDLE ownHandle = logFile;
    logFile = nullptr;
    logMessage("a.cpp", 2, "f", "%s\n", std::string(5000, 'b').c_str());
    HANDLE otherHandle = logFile;
    for (int i = 0; i < 50; ++i) {
        logFile = (i % 2 == 0) ? ownHandle : otherHandle;
        logMessage("a.cpp", 3, "f", "%s\n", std::string(100 + i, 'c').c_str());
    }
    CloseHandle(otherHandle);
    logFile = ownHandle;
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 52u);
    EXPECT_EQ(entryBody(lines[1]), std::string(5000, 'b'));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(entryBody(lines[2 + i]), std::string(100 + i, 'c'));
    }
}
