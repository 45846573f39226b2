// Starting one child: what it receives (environment, command line, working
// directory, standard handles) and what the log says about it. The child is
// the probe, which records what it was given.
#include "diagnosticLog.h"
#include "loadconfig.h"
#include "startProcess.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

namespace {

// Composes and carries out one start of a fresh record whose only entry of
// its own is `pathEntry` (none when null).
int startFresh(const wchar_t* outLog, const wchar_t* errLog, const wchar_t* application,
               const wchar_t* directory, const wchar_t* arguments,
               const wchar_t* pathEntry = L"PATH=C:\\App") {
    ChildStart start;
    if (pathEntry != nullptr) {
        start.environment.appendEntry(pathEntry);
    }
    composeStart(start, outLog, errLog, application, directory, arguments);
    return startProcess(start);
}

class StartProcess : public ::testing::Test {
protected:
    void SetUp() override {
        logPath_ = freshCoreFor(L"StartTest");
        dir_ = makeTempDir(L"start");
        probe_ = installProbe(dir_, L"child");
        start_.environment.appendEntry(L"PATH=C:\\App\\jre\\bin;C:\\windows\\system32");
    }
    void TearDown() override { resetLauncherState(); }

    int start(const wchar_t* outLog, const wchar_t* errLog, const wchar_t* arguments = L"") {
        return startWith(outLog, errLog, probe_.c_str(), dir_.c_str(), arguments);
    }
    // The fixture's record, composed for what is given and carried out.
    int startWith(const wchar_t* outLog, const wchar_t* errLog, const wchar_t* application,
                  const wchar_t* directory, const wchar_t* arguments) {
        composeStart(start_, outLog, errLog, application, directory, arguments);
        return startProcess(start_);
    }
    // The bodies of startProcess's log lines; none when nothing was logged.
    std::vector<std::string> logged() {
        flushLog();
        if (GetFileAttributesW(logPath_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return {};
        }
        return bodiesFrom(linesOf(readFile(logPath_)), "startProcess:startProcess");
    }
    std::vector<std::string> blockEntries() const {
        return entriesOf(start_.environment.get(), start_.environment.count());
    }

    KernelOverride restore_;
    std::wstring logPath_;
    std::wstring dir_;
    std::wstring probe_;
    ChildStart start_;
};

}  // namespace

TEST_F(StartProcess, ListedVariablesFollowTheCallersEntriesInTheLaunchersOrder) {
    FakeEnvironment environment({L"=C:=C:\\work", L"USERNAME=ada", L"Path=C:\\tools", L"TMP=C:\\t1",
                                 L"windir=C:\\windows", L"TEMP=C:\\t2",
                                 L"ALLUSERSPROFILE=C:\\ProgramData"});
    ASSERT_EQ(start(nullptr, nullptr), 0);

    std::vector<std::string> expected = {"PATH=C:\\App\\jre\\bin;C:\\windows\\system32",
                                         "USERNAME=ada", "TMP=C:\\t1", "TEMP=C:\\t2",
                                         "ALLUSERSPROFILE=C:\\ProgramData"};
    EXPECT_EQ(blockEntries(), expected);
    EXPECT_EQ(environment.released(), environment.strings());

    std::vector<std::string> lines = logged();
    ASSERT_GE(lines.size(), expected.size() + 2);
    EXPECT_EQ(lines[0], "----");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + expected.size()),
              expected);
    EXPECT_EQ(lines[expected.size() + 1], "----");

    expectChildEnvironment(waitForProbe(dir_, L"child").environment, expected);
}

TEST_F(StartProcess, WithholdsUnlistedNamesCaseVariantsAndLongerNames) {
    FakeEnvironment environment({L"Temp=C:\\a", L"tmp=C:\\b", L"Path=C:\\c", L"PATH=C:\\d",
                                 L"windir=C:\\e", L"TEMPDIR=C:\\f", L"OSTYPE=x", L"username=ada",
                                 L"SYSTEMROOT=C:\\w", L"JAVA_HOME=C:\\jdk"});
    ASSERT_EQ(start(nullptr, nullptr), 0);

    std::vector<std::string> expected = {"PATH=C:\\App\\jre\\bin;C:\\windows\\system32"};
    EXPECT_EQ(blockEntries(), expected);
    expectChildEnvironment(waitForProbe(dir_, L"child").environment, expected);
}

TEST_F(StartProcess, PassesProgramFilesX86ThroughItsOwnRowOnce) {
    FakeEnvironment environment(
        {L"ProgramFiles(x86)=C:\\Program Files (x86)", L"ProgramFilesX=no"});
    ASSERT_EQ(start(nullptr, nullptr), 0);

    std::vector<std::string> expected = {"PATH=C:\\App\\jre\\bin;C:\\windows\\system32",
                                         "ProgramFiles(x86)=C:\\Program Files (x86)"};
    EXPECT_EQ(blockEntries(), expected);

    // A 32-bit child sets ProgramFiles to the value of ProgramFiles(x86)
    // itself, as it does on a 64-bit Windows; the launcher passed no such entry.
    std::vector<std::string> received = waitForProbe(dir_, L"child").environment;
    auto mapped =
        std::find(received.begin(), received.end(), "ProgramFiles=C:\\Program Files (x86)");
    if (mapped != received.end()) {
        received.erase(mapped);
    }
    expectChildEnvironment(received, expected);
}

TEST_F(StartProcess, TheLaunchersOwnPathNeverReachesTheChild) {
    // The real environment this time, with a path variable that would show.
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", L"C:\\launchers-own-path"));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", L"C:\\launchers-temp"));
    ASSERT_EQ(start(nullptr, nullptr), 0);

    ProbeRecord record = waitForProbe(dir_, L"child");
    std::vector<std::string> expected = blockEntries();
    EXPECT_EQ(expected.front(), "PATH=C:\\App\\jre\\bin;C:\\windows\\system32");
    EXPECT_NE(std::find(expected.begin(), expected.end(), "TEMP=C:\\launchers-temp"),
              expected.end());
    expectChildEnvironment(record.environment, expected);
    for (const std::string& entry : record.environment) {
        EXPECT_EQ(entry.find("launchers-own-path"), std::string::npos) << entry;
    }
}

TEST_F(StartProcess, UnreadableEnvironmentIsLoggedAndStartsNothing) {
    kernel.GetEnvironmentStringsW = []() WINAPI -> LPWCH {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    EXPECT_EQ(start(nullptr, nullptr), ERROR_GENERIC);

    EXPECT_EQ(blockEntries(),
              std::vector<std::string>{"PATH=C:\\App\\jre\\bin;C:\\windows\\system32"});
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("err:8  ", 0), 0u) << lines[0];
}

TEST_F(StartProcess, RefusesNullApplicationDirectoryOrArgumentsWithoutATrace) {
    FakeEnvironment environment({L"TEMP=C:\\t"});
    const wchar_t* app = probe_.c_str();
    const wchar_t* dir = dir_.c_str();
    EXPECT_EQ(startWith(nullptr, nullptr, nullptr, dir, L""), ERROR_GENERIC);
    EXPECT_EQ(startWith(nullptr, nullptr, app, nullptr, L""), ERROR_GENERIC);
    EXPECT_EQ(startWith(nullptr, nullptr, app, dir, nullptr), ERROR_GENERIC);

    EXPECT_EQ(environment.reads(), 0);
    EXPECT_EQ(blockEntries(),
              std::vector<std::string>{"PATH=C:\\App\\jre\\bin;C:\\windows\\system32"});
    EXPECT_TRUE(logged().empty());
}

TEST_F(StartProcess, LogsAndPassesTheQuotedApplicationAndTheArgumentsAsGiven) {
    ASSERT_EQ(start(nullptr, nullptr, L"-Xmx64m -jar \"C:\\my app\\main.jar\" -x"), 0);

    std::string commandLine = "\"" + utf8(probe_) + "\" -Xmx64m -jar \"C:\\my app\\main.jar\" -x";
    std::vector<std::string> lines = logged();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"application=" + utf8(probe_), "commandLine=" + commandLine,
                                        "currentDirectory=" + utf8(dir_)}));

    ProbeRecord record = waitForProbe(dir_, L"child");
    EXPECT_EQ(record.commandLine, commandLine);
    EXPECT_EQ(record.currentDirectory, utf8(dir_));
}

TEST_F(StartProcess, EmptyArgumentsLeaveOneBlankAfterTheQuotedApplication) {
    ASSERT_EQ(start(nullptr, nullptr, L""), 0);

    std::string commandLine = "\"" + utf8(probe_) + "\" ";
    EXPECT_EQ(waitForProbe(dir_, L"child").commandLine, commandLine);
    std::vector<std::string> lines = logged();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "commandLine=" + commandLine), lines.end());
}

TEST_F(StartProcess, WithoutFilesTheChildWritesToTheNullDeviceAndReadsNothing) {
    ASSERT_EQ(start(nullptr, nullptr), 0);

    std::vector<std::string> lines = logged();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "outLog=NUL"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "errLog=NUL"), lines.end());
    ProbeRecord record = waitForProbe(dir_, L"child");
    EXPECT_TRUE(record.stdoutWritten);
    EXPECT_TRUE(record.stderrWritten);
    EXPECT_TRUE(record.stdinRead);
    EXPECT_EQ(record.stdinText, "");
}

TEST_F(StartProcess, OutputAndErrorLandInTheirFiles) {
    std::wstring out = dir_ + L"\\out.log";
    std::wstring err = dir_ + L"\\err.log";
    ASSERT_EQ(start(out.c_str(), err.c_str()), 0);

    ProbeRecord record = waitForProbe(dir_, L"child");
    EXPECT_TRUE(record.stdinRead);
    EXPECT_EQ(record.stdinText, "");
    EXPECT_EQ(readFile(out), "probe standard output\n");
    EXPECT_EQ(readFile(err), "probe standard error\n");
    std::vector<std::string> lines = logged();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "outLog=" + utf8(out)), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "errLog=" + utf8(err)), lines.end());
}

TEST_F(StartProcess, EachStartEmptiesTheOutputFilesFirst) {
    std::wstring out = dir_ + L"\\out.log";
    std::wstring err = dir_ + L"\\err.log";
    writeFile(out, "what an earlier run wrote, longer than the probe's marker\n");
    writeFile(err, "what an earlier run wrote, longer than the probe's marker\n");
    ASSERT_EQ(start(out.c_str(), err.c_str()), 0);
    waitForProbe(dir_, L"child");
    ASSERT_TRUE(DeleteFileW((dir_ + L"\\child.record").c_str()));

    ASSERT_EQ(startFresh(out.c_str(), err.c_str(), probe_.c_str(), dir_.c_str(), L""), 0);
    waitForProbe(dir_, L"child");
    EXPECT_EQ(readFile(out), "probe standard output\n");
    EXPECT_EQ(readFile(err), "probe standard error\n");
}

TEST_F(StartProcess, OutputFileInAMissingDirectoryFailsWithThePathError) {
    std::wstring out = dir_ + L"\\missing\\out.log";
    EXPECT_EQ(start(out.c_str(), nullptr), ERROR_GENERIC);

    std::vector<std::string> lines = logged();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "outLog=" + utf8(out));
    EXPECT_EQ(lines[lines.size() - 2], "errLog=NUL");
    EXPECT_EQ(lines.back().rfind("err:3  ", 0), 0u) << lines.back();
    EXPECT_EQ(GetFileAttributesW((dir_ + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StartProcess, ErrorFileInAMissingDirectoryFailsAndClosesTheOutputFile) {
    std::wstring out = dir_ + L"\\out.log";
    std::wstring err = dir_ + L"\\missing\\err.log";
    EXPECT_EQ(start(out.c_str(), err.c_str()), ERROR_GENERIC);

    std::vector<std::string> lines = logged();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("err:3  ", 0), 0u) << lines.back();
    // The output file was made, and nothing holds it open any more.
    EXPECT_TRUE(DeleteFileW(out.c_str())) << GetLastError();
}

TEST_F(StartProcess, MissingExecutableIsLoggedAfterTheCommandLine) {
    std::wstring missing = dir_ + L"\\absent.exe";
    EXPECT_EQ(startWith(nullptr, nullptr, missing.c_str(), dir_.c_str(), L"-x"), ERROR_GENERIC);

    std::vector<std::string> lines = logged();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "currentDirectory=" + utf8(dir_));
    EXPECT_EQ(lines.back().rfind("err:2 CreateProcess ", 0), 0u) << lines.back();
}

TEST_F(StartProcess, AMissingWorkingDirectoryFailsTheStart) {
    std::wstring missing = dir_ + L"\\missing";
    EXPECT_EQ(startWith(nullptr, nullptr, probe_.c_str(), missing.c_str(), L""), ERROR_GENERIC);

    std::vector<std::string> lines = logged();
    ASSERT_FALSE(lines.empty());
    // ERROR_DIRECTORY: the directory name is invalid.
    EXPECT_EQ(lines.back().rfind("err:267 CreateProcess ", 0), 0u) << lines.back();
}

// An empty block would be no environment at all for the system, which then
// hands the child the launcher's whole environment.
TEST_F(StartProcess, AnEmptyBlockNeverPassesTheLaunchersWholeEnvironment) {
    FakeEnvironment environment({L"Path=C:\\launchers-own-path", L"JAVA_HOME=C:\\jdk"});
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", L"C:\\launchers-own-path"));
    ASSERT_EQ(startFresh(nullptr, nullptr, probe_.c_str(), dir_.c_str(), L"", nullptr), 0);

    expectChildEnvironment(waitForProbe(dir_, L"child").environment, {});
}

TEST_F(StartProcess, HoldsNoHandleAfterAnyOutcome) {
    std::wstring out = dir_ + L"\\out.log";
    std::wstring err = dir_ + L"\\err.log";
    std::wstring missingFile = dir_ + L"\\missing\\out.log";
    std::wstring missingApp = dir_ + L"\\absent.exe";
    std::wstring linked = dir_ + L"\\linked.log";
    makeSymbolicLink(dir_ + L"\\elsewhere.log", linked);
    // The first start sets up what the process keeps for good (the log file,
    // the system's own bookkeeping); only what follows is counted.
    ASSERT_EQ(start(out.c_str(), err.c_str()), 0);
    waitForProbe(dir_, L"child");
    ASSERT_TRUE(DeleteFileW((dir_ + L"\\child.record").c_str()));

    struct Case {
        const char* name;
        const wchar_t* outLog;
        const wchar_t* errLog;
        const wchar_t* application;
        int result;
    };
    for (const Case& c :
         {Case{"success with files", out.c_str(), err.c_str(), probe_.c_str(), 0},
          Case{"success with NUL", nullptr, nullptr, probe_.c_str(), 0},
          Case{"output file fails", missingFile.c_str(), nullptr, probe_.c_str(), ERROR_GENERIC},
          Case{"error file fails", out.c_str(), missingFile.c_str(), probe_.c_str(), ERROR_GENERIC},
          Case{"process fails", out.c_str(), err.c_str(), missingApp.c_str(), ERROR_GENERIC},
          Case{"output file refused", linked.c_str(), err.c_str(), probe_.c_str(), 0},
          Case{"null application", nullptr, nullptr, nullptr, ERROR_GENERIC}}) {
        unsigned long before = handleCount();
        EXPECT_EQ(startFresh(c.outLog, c.errLog, c.application, dir_.c_str(), L""), c.result)
            << c.name;
        EXPECT_EQ(handleCount(), before) << c.name;
        if (c.result == 0) {
            waitForProbe(dir_, L"child");
            DeleteFileW((dir_ + L"\\child.record").c_str());
        }
    }

    kernel.GetEnvironmentStringsW = []() WINAPI -> LPWCH {
        return nullptr;
    };
    unsigned long before = handleCount();
    EXPECT_EQ(startFresh(nullptr, nullptr, probe_.c_str(), dir_.c_str(), L""), ERROR_GENERIC);
    EXPECT_EQ(handleCount(), before) << "environment unreadable";
}

namespace {

bool resumes = true;
bool terminates = true;

DWORD WINAPI answerResume(HANDLE thread) {
    if (resumes) {
        return ::ResumeThread(thread);
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
}

// A child that "cannot be ended" is ended all the same, so that no
// suspended probe outlives the test; the launcher only hears the failure.
BOOL WINAPI answerTerminate(HANDLE process, UINT code) {
    BOOL ended = ::TerminateProcess(process, code);
    if (terminates) {
        return ended;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // namespace

TEST_F(StartProcess, AChildThatCannotBeResumedIsEndedAndTheStartFails) {
    // The child is created suspended so that its files are emptied before it
    // writes. Should it not resume, it is ended, and the start counts as
    // failed; only when it can be neither resumed nor ended is it left, with
    // its start reported as not known rather than as failed.
    kernel.ResumeThread = answerResume;
    kernel.TerminateProcess = answerTerminate;
    struct Case {
        bool terminates;
        int result;
        std::size_t errorLines;
    };
    for (const Case& c : {Case{true, ERROR_GENERIC, 1}, Case{false, 0, 2}}) {
        resumes = false;
        terminates = c.terminates;
        logPath_ = freshLogFile(L"StartTest");
        EXPECT_EQ(startFresh(nullptr, nullptr, probe_.c_str(), dir_.c_str(), L""), c.result)
            << c.terminates;
        std::vector<std::string> lines = logged();
        std::vector<std::string> errors = linesStartingWith(lines, "err:6 ");
        ASSERT_EQ(errors.size(), c.errorLines) << c.terminates;
        EXPECT_EQ(errors[0].rfind("err:6 ResumeThread ", 0), 0u) << errors[0];
        if (c.errorLines == 2) {
            EXPECT_EQ(errors[1].rfind("err:6 child neither resumed nor ended, it may be running", 0), 0u)
                << errors[1];
        }
        // The next case logs into a fresh file.
        closeLogFile();
    }
    resumes = true;
    terminates = true;
}

namespace {

int creations = 0;
std::wstring ownPath;

BOOL WINAPI countedRefusal(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                           DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    ++creations;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

DWORD WINAPI answerOwnPath(HMODULE, LPWSTR buffer, DWORD size) {
    if (ownPath.size() >= size) {
        return 0;
    }
    std::wmemcpy(buffer, ownPath.c_str(), ownPath.size() + 1);
    return static_cast<DWORD>(ownPath.size());
}

}  // namespace

// The launcher's own executable, however its path is spelt, is never
// started: one line, and nothing else of the start is logged or made.
// Another program is started as usual.
TEST_F(StartProcess, TheLaunchersOwnExecutableIsNeverStarted) {
    std::wstring folder = dir_ + L"\\app";
    makeDirectories({folder});
    ownPath = folder + L"\\Acme.exe";
    copyFile(probe_, ownPath);
    std::wstring link = dir_ + L"\\second name.exe";
    ASSERT_TRUE(CreateHardLinkW(link.c_str(), ownPath.c_str(), nullptr)) << GetLastError();
    kernel.GetModuleFileNameW = answerOwnPath;
    kernel.CreateProcessW = countedRefusal;
    // The last, the file the launcher was copied from, has its size and its
    // time of last write and is another file all the same.
    for (const std::wstring& spelling :
         {ownPath, folder + L"\\ACME.EXE", folder + L"\\.\\..\\app\\Acme.exe",
          folder + L"/Acme.exe", link, probe_}) {
        SCOPED_TRACE(utf8(spelling));
        resetLauncherState();
        logPath_ = freshLogFile(L"StartTest");
        std::wcscpy(programData, L"C:\\ProgramData");
        std::wcscpy(moduleDir, L"StartTest");
        moduleName = moduleDir;
        creations = 0;
        bool other = spelling == probe_;
        EXPECT_EQ(startFresh(nullptr, nullptr, spelling.c_str(), dir_.c_str(), L""),
                  ERROR_GENERIC);
        EXPECT_EQ(creations, other ? 1 : 0);
        if (!other) {
            EXPECT_EQ(logged(), std::vector<std::string>{"the launcher's own executable refused: " +
                                                         utf8(spelling)});
        }
    }
}

TEST(BatchFile, IsNamedByItsSuffixInAnyCaseTrailingDotsAndBlanksAside) {
    for (const wchar_t* name : {L"run.bat", L"C:\\App\\RUN.CMD", L"run.Bat. .", L"run.cmd  ",
                                L"C:\\App\\.bat", L"run.bAt..."}) {
        EXPECT_TRUE(isBatchFile(name)) << utf8(name);
    }
    for (const wchar_t* name : {L"javaw.exe", L"run.bat.exe", L"run.batch", L"runbat", L"run.cm",
                                L"C:\\tools.bat\\javaw.exe", L"bat", L"", L". ."}) {
        EXPECT_FALSE(isBatchFile(name)) << utf8(name);
    }
    EXPECT_FALSE(isBatchFile(nullptr));
}
