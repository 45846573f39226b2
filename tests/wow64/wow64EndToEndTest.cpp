// The built launcher.exe on 64-bit Windows, where it runs under WoW64: a
// 64-bit Java runtime beside a 32-bit second program, the two Program Files
// folders, and the system folder that a 32-bit program sees redirected. This
// program runs in the 64-bit prefix (scripts/wine-run --win64).
#include "testSupport.h"

#include <gtest/gtest.h>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH) << utf8(name) << " is not set";
    return value;
}

// Files planted in the system folders are removed again whatever the test
// found: the prefix outlives the run.
class PlantedFiles {
public:
    PlantedFiles() = default;
    PlantedFiles(const PlantedFiles&) = delete;
    PlantedFiles& operator=(const PlantedFiles&) = delete;
    ~PlantedFiles() {
        for (const std::wstring& path : paths_) {
            DeleteFileW(path.c_str());
        }
    }
    void add(const std::wstring& path) { paths_.push_back(path); }

private:
    std::vector<std::wstring> paths_;
};

// An installation whose configuration names `exec` and a data folder of its
// own, and the log lines of its run's starts.
struct SystemFolderRun {
    std::wstring data;
    std::vector<std::string> starts;
    std::vector<std::string> jobFailures;
};

SystemFolderRun runWithExec(const std::wstring& exec) {
    SystemFolderRun run;
    std::wstring install = makeTempDir(L"wow64-system");
    run.data = install + L"\\data";
    makeDirectories({run.data});
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
    writeFile(install + L"\\Acme.toml", "[jre]\nmain_jar = 'app.jar'\n[app]\nexec = '" +
                                            utf8(exec) + "'\ndata_dir = '" + utf8(run.data) +
                                            "'\n");
    std::wstring log = freshLogFile(L"Acme");
    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\""), 0u);
    std::vector<std::string> lines = linesOf(readFile(log));
    run.starts = bodiesFrom(lines, "startProcess:startProcess");
    run.jobFailures = bodiesFrom(lines, "loadconfig:doJob");
    return run;
}

std::wstring systemFolder() {
    wchar_t system[MAX_PATH] = L"";
    EXPECT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    return system;
}

// From a 32-bit program only this alias reaches the 64-bit system folder.
std::wstring sysnativeFolder() {
    wchar_t windows[MAX_PATH] = L"";
    EXPECT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    return std::wstring(windows) + L"\\Sysnative";
}

class Wow64 : public ::testing::Test {
protected:
    void SetUp() override {
        BOOL underWow64 = FALSE;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &underWow64));
        ASSERT_TRUE(underWow64) << "these tests need 64-bit Windows: run them in a 64-bit prefix";
    }
};

}  // namespace

TEST_F(Wow64, WorkedExampleStartsA64BitRuntimeAndA32BitSecondProgram) {
    WorkedExampleInstallation example = installWorkedExample(L"wow64-job", PROBE64_EXE);
    std::wstring system = systemFolder();

    // What a 32-bit process holds on 64-bit Windows: ProgramFiles names the
    // (x86) folder, ProgramW6432 the native one.
    std::wstring x86 = variable(L"ProgramFiles(x86)");
    std::wstring native = variable(L"ProgramW6432");
    std::wstring programFiles = L"ProgramFiles=" + x86;
    std::wstring programFilesX86 = L"ProgramFiles(x86)=" + x86;
    std::wstring programW6432 = L"ProgramW6432=" + native;
    EXPECT_EQ(runWithEnvironment(L"\"" + example.folder + L"\\Acme.exe\" -x",
                                 {L"Path=C:\\launchers-own-path", programFiles.c_str(),
                                  programFilesX86.c_str(), programW6432.c_str(),
                                  L"PROCESSOR_ARCHITECTURE=x86", L"TEMP=C:\\t",
                                  L"USERNAME=ada", L"windir=C:\\windows"}),
              0u);

    ProbeRecord agentRecord = waitForProbe(example.data, L"agent");
    ProbeRecord javaRecord = waitForProbe(example.data, L"javaw");
    EXPECT_EQ(agentRecord.pointerBits, 32);
    EXPECT_EQ(javaRecord.pointerBits, 64);
    std::string agentLine = "\"" + utf8(example.agent) + "\" ";
    std::string javaLine = "\"" + utf8(example.javaw) + "\" -Xms64m -Xmx512m -Dapp.home=" +
                           utf8(example.data) + "  -jar \"" + utf8(example.folder) +
                           "\\app\\main.jar\" -x";
    EXPECT_EQ(agentRecord.commandLine, agentLine);
    EXPECT_EQ(javaRecord.commandLine, javaLine);
    for (const ProbeRecord* record : {&agentRecord, &javaRecord}) {
        EXPECT_EQ(record->currentDirectory, utf8(example.data));
        EXPECT_TRUE(record->stdinRead);
        EXPECT_EQ(record->stdinText, "");
        EXPECT_TRUE(record->stdoutWritten);
        EXPECT_TRUE(record->stderrWritten);
    }
    EXPECT_EQ(readFile(example.logs + L"\\out_Acme.log"), "probe standard output\n");
    EXPECT_EQ(readFile(example.logs + L"\\err_Acme.log"), "probe standard error\n");

    // Both children are handed the same block. The 32-bit one finds it as it
    // was; in the 64-bit one the system has set ProgramFiles and its kin
    // afresh, so the runtime sees the native folder.
    std::string pathEntry = "PATH=" + utf8(example.folder) + "\\jre\\bin;" + utf8(system);
    std::vector<std::string> handedOn = {
        pathEntry,          utf8(programFiles), utf8(programFilesX86),
        utf8(programW6432), "TEMP=C:\\t",       "USERNAME=ada"};
    expectChildEnvironment(agentRecord.environment, handedOn);
    expectChildEnvironment(javaRecord.environment, handedOn, setForA64BitChild);
    EXPECT_EQ(entryNamed(javaRecord.environment, "ProgramFiles"), "ProgramFiles=" + utf8(native));

    // The log lists the block the launcher handed on, for both children alike.
    std::vector<std::string> lines = linesOf(readFile(example.log));
    std::vector<std::string> starts = bodiesFrom(lines, "startProcess:startProcess");
    EXPECT_EQ(linesStartingWith(starts, "application="),
              (std::vector<std::string>{"application=" + utf8(example.agent),
                                        "application=" + utf8(example.javaw)}));
    EXPECT_EQ(linesStartingWith(starts, "commandLine="),
              (std::vector<std::string>{"commandLine=" + agentLine, "commandLine=" + javaLine}));
    std::vector<std::vector<std::string>> listings = environmentListings(starts);
    ASSERT_EQ(listings.size(), 2u);
    for (const std::vector<std::string>& listing : listings) {
        expectListedEnvironment(listing, handedOn);
    }
    EXPECT_TRUE(bodiesFrom(lines, "loadconfig:doJob").empty());
}

TEST_F(Wow64, RuntimeUnderProgramFilesStartsFromALauncherUnderProgramFilesX86) {
    std::wstring install = makeNewDir(variable(L"ProgramFiles(x86)"), L"Acme");
    std::wstring runtime = makeNewDir(variable(L"ProgramW6432"), L"AcmeRuntime");
    makeDirectories({runtime + L"\\bin"});
    std::wstring javaw = installProbe(runtime + L"\\bin", L"javaw", PROBE64_EXE);
    std::wstring data = makeTempDir(L"wow64-data");
    std::wstring logs = data + L"\\log";
    makeDirectories({logs});
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
    writeFile(install + L"\\Acme.toml",
              "[jre]\nmain_jar = '$(moduleDir)\\app\\main.jar'\n"
              "[app]\nexec = '" + utf8(javaw) + "'\ndata_dir = '" + utf8(data) +
                  "'\nlog_dir = '" + utf8(logs) + "'\n");

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\" -x"), 0u);

    ProbeRecord record = waitForProbe(data, L"javaw");
    EXPECT_EQ(record.pointerBits, 64);
    EXPECT_EQ(record.commandLine,
              "\"" + utf8(javaw) + "\"  -jar \"" + utf8(install) + "\\app\\main.jar\" -x");
    EXPECT_EQ(record.currentDirectory, utf8(data));
    EXPECT_EQ(readFile(logs + L"\\out_Acme.log"), "probe standard output\n");
    EXPECT_EQ(readFile(logs + L"\\err_Acme.log"), "probe standard error\n");
}

TEST_F(Wow64, ExecUnderSystem32StartsThe32BitCopyAndSysnativeTheNativeOne) {
    // For the 32-bit launcher the system folder is redirected to SysWOW64.
    wchar_t wow64System[MAX_PATH];
    ASSERT_GT(GetSystemWow64DirectoryW(wow64System, MAX_PATH), 0u);
    std::wstring name = L"lt-probe-" + std::to_wstring(GetCurrentProcessId());
    PlantedFiles planted;
    planted.add(installProbe(sysnativeFolder(), name, PROBE64_EXE));
    planted.add(installProbe(wow64System, name));

    struct Row {
        std::wstring exec;
        int pointerBits;
    };
    for (const Row& row : {Row{systemFolder() + L"\\" + name + L".exe", 32},
                           Row{sysnativeFolder() + L"\\" + name + L".exe", 64}}) {
        SCOPED_TRACE(utf8(row.exec));
        SystemFolderRun run = runWithExec(row.exec);

        ProbeRecord record = waitForProbe(run.data, name);
        EXPECT_EQ(record.pointerBits, row.pointerBits);
        EXPECT_EQ(record.commandLine, "\"" + utf8(row.exec) + "\"  -jar \"app.jar\" ");
        // The log names the path as configured, whichever program it reached.
        EXPECT_EQ(linesStartingWith(run.starts, "application="),
                  (std::vector<std::string>{"application=" + utf8(row.exec)}));
        EXPECT_TRUE(run.jobFailures.empty());
    }
}

TEST_F(Wow64, ExecUnderSystem32WithOnlyA64BitProgramStartsNothing) {
    // The name exists in the 64-bit system folder alone; the launcher looks
    // for it in SysWOW64, finds nothing and says so at the start.
    std::wstring name = L"lt-native-" + std::to_wstring(GetCurrentProcessId());
    PlantedFiles planted;
    planted.add(installProbe(sysnativeFolder(), name, PROBE64_EXE));
    std::wstring exec = systemFolder() + L"\\" + name + L".exe";

    SystemFolderRun run = runWithExec(exec);

    EXPECT_EQ(linesStartingWith(run.starts, "application="),
              (std::vector<std::string>{"application=" + utf8(exec)}));
    EXPECT_EQ(linesStartingWith(run.starts, "err:").size(), 1u);
    EXPECT_EQ(linesStartingWith(run.starts, "err:2 CreateProcess ").size(), 1u);
    EXPECT_EQ(run.jobFailures, (std::vector<std::string>{"error startProcess"}));
    EXPECT_EQ(GetFileAttributesW((run.data + L"\\" + name + L".record").c_str()),
              INVALID_FILE_ATTRIBUTES);
}
