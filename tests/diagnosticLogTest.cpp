#include "diagnosticLog.h"
#include "loadconfig.h"
#include "startProcess.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

namespace {

// A launcher named `name` installed on C:, with its log folder present.
class DiagnosticLog : public ::testing::Test {
protected:
    void SetUp() override {
        logPath_ = freshCoreFor(L"LogTest");
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
    // Composing the log's file name takes memory as well: the file is opened
    // by the first entry, so that only the room for the large one is refused.
    logMessage("a.cpp", 3, "f", "kept\n");
    DebuggerCapture debugger;
    kernel.HeapAlloc = [](HANDLE, DWORD, SIZE_T) WINAPI -> LPVOID { return nullptr; };
    logMessage("a.cpp", 4, "f", "%s\n", std::string(100000, 'l').c_str());
    EXPECT_EQ(debugger.text(), "ERROR HeapAlloc\n");
    kernel.HeapAlloc = ::HeapAlloc;
    kernel.WriteFile = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    };
    logMessage("a.cpp", 5, "f", "lost\n");
    flushLog();
    EXPECT_EQ(debugger.text(), "ERROR HeapAlloc\nERROR WriteFile\n");
    kernel.WriteFile = ::WriteFile;
    // What waited went before the entry that found no room.
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryBody(lines[0]), "kept");
}

TEST_F(DiagnosticLog, ConcurrentWritersKeepEveryEntryWhole) {
    // A second handle on the same file stands for a second launcher.
    logMessage("a.cpp", 1, "f", "open\n");
    flushLog();
    HANDLE ownHandle = logFile;
    logFile = nullptr;
    logMessage("a.cpp", 2, "f", "%s\n", std::string(5000, 'b').c_str());
    flushLog();
    HANDLE otherHandle = logFile;
    for (int i = 0; i < 50; ++i) {
        logFile = (i % 2 == 0) ? ownHandle : otherHandle;
        logMessage("a.cpp", 3, "f", "%s\n", std::string(100 + i, 'c').c_str());
        flushLog();
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

TEST_F(DiagnosticLog, ValuesCannotStartALineOfTheirOwn) {
    logMessage("startProcess.cpp", 120, "startProcess", "commandLine=%S\n",
               L"\"C:\\App\\javaw.exe\" -x\n2026-01-01 00:00:00 startProcess:127:startProcess "
               L"application=C:\\evil.exe");
    logMessage("loadconfig.cpp", 7, "loadConfig", "%s %s\n", "toml_parse_file",
               "line 1:\r\x1B[2Kforged\tend");
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(entryBody(lines[0]),
              "commandLine=\"C:\\App\\javaw.exe\" -x\\n2026-01-01 00:00:00 "
              "startProcess:127:startProcess application=C:\\evil.exe");
    EXPECT_EQ(entryBody(lines[1]), "toml_parse_file line 1:\\r\\x1B[2Kforged\\tend");
}

namespace {

const wchar_t* fakeSystemText = L"";

DWORD WINAPI answerSystemText(DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) {
    std::size_t length = std::wcslen(fakeSystemText);
    auto* text = static_cast<wchar_t*>(LocalAlloc(LMEM_ZEROINIT, (length + 1) * sizeof(wchar_t)));
    std::wmemcpy(text, fakeSystemText, length);
    *reinterpret_cast<wchar_t**>(buffer) = text;
    return static_cast<DWORD>(length);
}

}  // namespace

TEST_F(DiagnosticLog, SystemTextEndsLikeEveryEntryAndKeepsItsBreaksInside) {
    kernel.FormatMessageW = answerSystemText;
    fakeSystemText = L"First line.\r\nSecond line. \r\n";
    logError("a.cpp", 1, "f", 5, "CreateProcess ");
    fakeSystemText = L"Only line.\n";
    logError("a.cpp", 2, "f", 6, " ");
    logMessage("a.cpp", 3, "f", "next\n");
    std::string text = logText();
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(entryBody(lines[0]), "err:5 CreateProcess First line.\\r\\nSecond line.");
    EXPECT_EQ(entryBody(lines[1]), "err:6  Only line.");
    EXPECT_EQ(entryBody(lines[2]), "next");
}

namespace {

// A clock that moves only while the log pauses.
ULONGLONG fakeNow = 0;
int pauses = 0;
int conflictsLeft = 0;
int unlocks = 0;

BOOL WINAPI conflictingLock(HANDLE, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED) {
    EXPECT_NE(flags & LOCKFILE_FAIL_IMMEDIATELY, 0u) << "a lock that waits for its holder";
    if (conflictsLeft != 0) {
        --conflictsLeft;
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI countedUnlock(HANDLE, DWORD, DWORD, DWORD, LPOVERLAPPED) {
    ++unlocks;
    return TRUE;
}

ULONGLONG WINAPI fakeTicks() {
    return fakeNow;
}

void WINAPI fakePause(DWORD milliseconds) {
    ++pauses;
    // The system's timer may round a short pause up.
    fakeNow += milliseconds + 6;
}

// The log's lock refused `conflicts` times (-1: for good), on the fake clock.
void lockRefused(int conflicts) {
    fakeNow = 1000;
    pauses = 0;
    unlocks = 0;
    conflictsLeft = conflicts;
    kernel.LockFileEx = conflictingLock;
    kernel.UnlockFileEx = countedUnlock;
    kernel.GetTickCount64 = fakeTicks;
    kernel.Sleep = fakePause;
}

}  // namespace

TEST_F(DiagnosticLog, ALockHeldByAnotherLauncherIsWaitedFor) {
    lockRefused(3);
    logMessage("a.cpp", 1, "f", "one\n");
    flushLog();
    EXPECT_EQ(pauses, 3);
    EXPECT_EQ(unlocks, 1);
    EXPECT_EQ(logLockWaited, 21u);
    EXPECT_EQ(linesOf(logText()).size(), 1u);
}

TEST_F(DiagnosticLog, ALockHeldForGoodHoldsTheWholeRunBackOnlyOnce) {
    lockRefused(-1);
    for (int entry = 0; entry < 40; ++entry) {
        logMessage("a.cpp", entry, "f", "entry %d\n", entry);
        flushLog();
    }
    // The bound is spent once; afterwards every entry goes at once, unlocked.
    EXPECT_GE(fakeNow - 1000, LOG_LOCK_PATIENCE_MS);
    EXPECT_LT(fakeNow - 1000, LOG_LOCK_PATIENCE_MS + 7);
    EXPECT_EQ(unlocks, 0);
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(entryBody(lines[39]), "entry 39");
}

namespace {

// Other launchers' entries: the file grows by one every 20 pauses, for the
// first `growingPauses` pauses.
int growingPauses = 0;

DWORD WINAPI growingSize(HANDLE, LPDWORD high) {
    if (high != nullptr) {
        *high = 0;
    }
    return static_cast<DWORD>(std::min(pauses, growingPauses) / 20);
}

}  // namespace

// A queue of launchers that moves is waited out however long it takes; a
// lock that holds the file still for the bound is given up 500 ms after the
// last growth.
TEST_F(DiagnosticLog, AQueueIsWaitedForAsLongAsTheFileGrows) {
    struct Case {
        int growingPauses;
        int conflicts;
        int unlocks;
        ULONGLONG waitedAtLeast;
        ULONGLONG waitedBelow;
    };
    const KernelServices real = kernel;
    for (const Case& c : {Case{1000, 150, 1, 1050, 1051}, Case{40, -1, 0, 780, 787}}) {
        kernel = real;
        SetUp();
        lockRefused(c.conflicts);
        growingPauses = c.growingPauses;
        kernel.GetFileSize = growingSize;
        logMessage("a.cpp", 1, "f", "one\n");
        flushLog();
        EXPECT_EQ(unlocks, c.unlocks) << c.growingPauses;
        EXPECT_GE(fakeNow - 1000, c.waitedAtLeast) << c.growingPauses;
        EXPECT_LT(fakeNow - 1000, c.waitedBelow) << c.growingPauses;
        EXPECT_EQ(linesOf(logText()).size(), 1u);
    }
}

// Another run appends between this run's look for the end and its write (a
// write without the lock): the system still puts the write after it.
TEST_F(DiagnosticLog, EveryWriteLandsAtTheEndWhereverAnotherRunLeftIt) {
    kernel.SetFilePointerEx = [](HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position,
                                 DWORD method) WINAPI -> BOOL {
        BOOL moved = SetFilePointerEx(file, distance, position, method);
        HANDLE other = CreateFileW(L"C:\\ProgramData\\TAVEX\\Kestrion\\launcherLogTest.log",
                                   FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(other, "another run's entry\n", 20, &written, nullptr));
        CloseHandle(other);
        return moved;
    };
    logMessage("a.cpp", 1, "f", "this run's entry\n");
    flushLog();
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "another run's entry");
    EXPECT_EQ(entryBody(lines[1]), "this run's entry");
}

TEST_F(DiagnosticLog, AHandleThatTakesNoLocksIsWrittenAtOnce) {
    kernel.LockFileEx = [](HANDLE, DWORD, DWORD, DWORD, DWORD, LPOVERLAPPED) WINAPI -> BOOL {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    };
    kernel.UnlockFileEx = [](HANDLE, DWORD, DWORD, DWORD, LPOVERLAPPED) WINAPI -> BOOL {
        ADD_FAILURE() << "unlocked what was never locked";
        return FALSE;
    };
    kernel.Sleep = [](DWORD) WINAPI { ADD_FAILURE() << "waited without a conflict"; };
    logMessage("a.cpp", 1, "f", "one\n");
    logMessage("a.cpp", 2, "f", "two\n");
    EXPECT_EQ(linesOf(logText()).size(), 2u);
}

TEST_F(DiagnosticLog, AppendsBeyondFourGiB) {
    // A sparse file: only its end holds anything.
    const LONGLONG size = 0x100000000LL + 10;
    HANDLE file = CreateFileW(logPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end{};
    end.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);

    logMessage("a.cpp", 1, "f", "beyond\n");
    resetLauncherState();

    file = CreateFileW(logPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char head[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file, head, sizeof head, &got, nullptr));
    EXPECT_EQ(std::string(head, got), std::string(sizeof head, '\0'));
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    char tail[256] = {};
    ASSERT_TRUE(ReadFile(file, tail, sizeof tail, &got, nullptr));
    CloseHandle(file);
    DeleteFileW(logPath_.c_str());
    std::string entry(tail, got);
    ASSERT_GE(entry.size(), 14u);
    EXPECT_EQ(entry.substr(entry.size() - 14), " a:1:f beyond\n");
}

TEST_F(DiagnosticLog, AFileWhoseEndCannotBeFoundIsNotWritten) {
    logMessage("a.cpp", 1, "f", "kept\n");
    flushLog();
    kernel.SetFilePointerEx = [](HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) WINAPI -> BOOL {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    };
    DebuggerCapture debugger;
    logMessage("a.cpp", 2, "f", "would overwrite the first entry\n");
    flushLog();
    EXPECT_EQ(debugger.text(), "ERROR SetFilePointerEx\n");
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryBody(lines[0]), "kept");
}

TEST_F(DiagnosticLog, ACallersOwnHandleGetsEveryEntryUnchecked) {
    // A pipe takes no seeking, no locks and has no final path to check.
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 1 << 16));
    logFile = writer;
    DebuggerCapture debugger;
    logMessage("a.cpp", 1, "f", "first\n");
    logError("a.cpp", 2, "f", 2, "CreateProcess ");
    CloseHandle(writer);
    logFile = nullptr;
    std::string text = readToEnd(reader);
    CloseHandle(reader);
    EXPECT_EQ(debugger.text(), "");
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(entryBody(lines[0]), "first");
    EXPECT_EQ(entryBody(lines[1]).rfind("err:2 CreateProcess ", 0), 0u);
    EXPECT_EQ(GetFileAttributesW(logPath_.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DiagnosticLog, ALinkedFolderOnTheWayGetsNoLog) {
    // A ProgramData of the test's own, in which a user has planted TAVEX, or
    // Kestrion below it, as a link to a folder of their choosing.
    for (const wchar_t* linked : {L"\\TAVEX", L"\\TAVEX\\Kestrion"}) {
        resetLauncherState();
        std::wstring ownProgramData = makeTempDir(L"programdata");
        std::wstring elsewhere = makeTempDir(L"chosen");
        if (std::wcscmp(linked, L"\\TAVEX") != 0) {
            CreateDirectoryW((ownProgramData + L"\\TAVEX").c_str(), nullptr);
        }
        CreateDirectoryW((elsewhere + L"\\Kestrion").c_str(), nullptr);
        std::wstring target = std::wcscmp(linked, L"\\TAVEX") == 0 ? elsewhere : elsewhere + L"\\Kestrion";
        makeSymbolicLink(target, ownProgramData + linked);
        std::wcscpy(programData, ownProgramData.c_str());
        std::wcscpy(moduleDir, L"LogTest");
        moduleName = moduleDir;
        std::wstring planted = elsewhere + L"\\Kestrion\\launcherLogTest.log";
        for (bool existing : {false, true}) {
            if (existing) {
                resetLauncherState();
                std::wcscpy(programData, ownProgramData.c_str());
                std::wcscpy(moduleDir, L"LogTest");
                moduleName = moduleDir;
                writeFile(planted, "chosen\n");
            }
            DebuggerCapture debugger;
            logMessage("a.cpp", 1, "f", "written elsewhere\n");
            EXPECT_EQ(debugger.text(), "ERROR log file is a link\n") << utf8(linked);
            EXPECT_EQ(logFile, INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(readFile(planted), "chosen\n") << utf8(linked);
    }
}

namespace {

int writes = 0;

BOOL WINAPI countedWrite(HANDLE file, LPCVOID data, DWORD length, LPDWORD written,
                         LPOVERLAPPED overlapped) {
    ++writes;
    return ::WriteFile(file, data, length, written, overlapped);
}

std::wstring logPathAtStart;
std::string logAtStart;

BOOL WINAPI readTheLogAndFail(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    logAtStart = readFile(logPathAtStart);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

}  // namespace

TEST_F(DiagnosticLog, ARunsEntriesReachTheFileTogetherInOneWrite) {
    writes = 0;
    kernel.WriteFile = countedWrite;
    logMessage("a.cpp", 1, "f", "one\n");
    logError("a.cpp", 2, "f", 2, "CreateProcess ");
    logMessage("a.cpp", 3, "f", "three\n");
    EXPECT_EQ(readFile(logPath_), "");
    flushLog();
    // Nothing waits any more: no second write.
    flushLog();
    EXPECT_EQ(writes, 1);
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(entryBody(lines[0]), "one");
    EXPECT_EQ(entryBody(lines[1]).rfind("err:2 CreateProcess ", 0), 0u) << lines[1];
    EXPECT_EQ(entryBody(lines[2]), "three");
}

TEST_F(DiagnosticLog, WhatLedToAStartIsOnDiskBeforeTheStartIsAttempted) {
    logMessage("loadconfig.cpp", 1, "prepareJob", "configMainJar=app.jar\n");
    ChildStart start;
    start.environment.appendEntry(L"PATH=C:\\windows\\system32");
    composeStart(start, nullptr, nullptr, L"C:\\App\\javaw.exe", L"C:\\App", L"-jar app.jar");
    logPathAtStart = logPath_;
    logAtStart.clear();
    kernel.CreateProcessW = readTheLogAndFail;
    EXPECT_NE(startProcess(start), 0);
    std::vector<std::string> atStart = linesOf(logAtStart);
    ASSERT_FALSE(atStart.empty());
    EXPECT_EQ(entryBody(atStart.front()), "configMainJar=app.jar");
    EXPECT_EQ(entryBody(atStart.back()), "currentDirectory=C:\\App");
    std::vector<std::string> lines = linesOf(logText());
    ASSERT_EQ(lines.size(), atStart.size() + 1);
    EXPECT_EQ(entryBody(lines.back()).rfind("err:2 CreateProcess ", 0), 0u) << lines.back();
}
