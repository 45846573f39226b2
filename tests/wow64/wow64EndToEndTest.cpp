// The built launcher.exe on 64-bit Windows, where it runs under WoW64: a
// 64-bit Java runtime beside a 32-bit second program, the two Program Files
// folders, and the system folder that a 32-bit program sees redirected. This
// program runs in the 64-bit prefix (scripts/wine-run --win64).
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH) << utf8(name) << " is not set";
    return value;
}

void makeDirectories(std::initializer_list<std::wstring> paths) {
    for (const std::wstring& path : paths) {
        CreateDirectoryW(path.c_str(), nullptr);
    }
}

// The environment between the two "----" lines of the start whose listing
// begins at `from`.
std::vector<std::string> listedEnvironment(const std::vector<std::string>& starts,
                                           std::vector<std::string>::const_iterator from) {
    if (from == starts.end() || *from != "----") {
        ADD_FAILURE() << "no environment listing where expected";
        return {};
    }
    return std::vector<std::string>(from + 1, std::find(from + 1, starts.end(), "----"));
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
    const std::wstring& add(const std::wstring& path) {
        paths_.push_back(path);
        return path;
    }

private:
    std::vector<std::wstring> paths_;
};

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
    std::wstring install = makeTempDir(L"wow64-job");
    makeDirectories({install + L"\\bin", install + L"\\jre", install + L"\\jre\\bin"});
    std::wstring agent = installProbe(install + L"\\bin", L"agent");
    std::wstring javaw = installProbe(install + L"\\jre\\bin", L"javaw", PROBE64_EXE);
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
    writeFile(install + L"\\Acme.toml", workedExample);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring data = std::wstring(system, 2) + L"\\ProgramData\\Example";
    std::wstring logs = data + L"\\log";
    makeDirectories({data, logs});
    for (const wchar_t* left : {L"\\agent.record", L"\\javaw.record"}) {
        DeleteFileW((data + left).c_str());
    }
    writeFile(logs + L"\\out_Acme.log", "an earlier run's output\n");
    std::wstring log = freshLogFile(L"Acme");

    // What a 32-bit process holds on 64-bit Windows: ProgramFiles names the
    // (x86) folder, ProgramW6432 the native one.
    std::wstring x86 = variable(L"ProgramFiles(x86)");
    std::wstring native = variable(L"ProgramW6432");
    std::wstring programFiles = L"ProgramFiles=" + x86;
    std::wstring programFilesX86 = L"ProgramFiles(x86)=" + x86;
    std::wstring programW6432 = L"ProgramW6432=" + native;
    EXPECT_EQ(runWithEnvironment(L"\"" + install + L"\\Acme.exe\" -x",
                                 {L"Path=C:\\launchers-own-path", programFiles.c_str(),
                                  programFilesX86.c_str(), programW6432.c_str(),
                                  L"PROCESSOR_ARCHITECTURE=x86", L"TEMP=C:\\t",
                                  L"USERNAME=ada", L"windir=C:\\windows"}),
              0u);

    ProbeRecord agentRecord = waitForProbe(data, L"agent");
    ProbeRecord javaRecord = waitForProbe(data, L"javaw");
    EXPECT_EQ(agentRecord.pointerBits, 32);
    EXPECT_EQ(javaRecord.pointerBits, 64);
    std::string agentLine = "\"" + utf8(agent) + "\" ";
    std::string javaLine = "\"" + utf8(javaw) + "\" -Xms64m -Xmx512m -Dapp.home=" + utf8(data) +
                           "  -jar \"" + utf8(install) + "\\app\\main.jar\" -x";
    EXPECT_EQ(agentRecord.commandLine, agentLine);
    EXPECT_EQ(javaRecord.commandLine, javaLine);
    EXPECT_EQ(agentRecord.currentDirectory, utf8(data));
    EXPECT_EQ(javaRecord.currentDirectory, utf8(data));
    for (const ProbeRecord* record : {&agentRecord, &javaRecord}) {
        EXPECT_TRUE(record->stdinRead);
        EXPECT_EQ(record->stdinText, "");
        EXPECT_TRUE(record->stdoutWritten);
        EXPECT_TRUE(record->stderrWritten);
    }
    EXPECT_EQ(readFile(logs + L"\\out_Acme.log"), "probe standard output\n");
    EXPECT_EQ(readFile(logs + L"\\err_Acme.log"), "probe standard error\n");

    // Both children are handed the same block. The 32-bit one finds it as it
    // was; in the 64-bit one the system has set ProgramFiles and its kin
    // afresh, so the runtime sees the native folder.
    std::string pathEntry = "PATH=" + utf8(install) + "\\jre\\bin;" + utf8(system);
    std::vector<std::string> handedOn = {pathEntry,         utf8(programFiles),
                                         utf8(programFilesX86), utf8(programW6432),
                                         "TEMP=C:\\t",      "USERNAME=ada"};
    expectChildEnvironment(agentRecord.environment, handedOn);
    expectChildEnvironment(javaRecord.environment, handedOn, setForA64BitChild);
    EXPECT_EQ(entryNamed(javaRecord.environment, "ProgramFiles"), "ProgramFiles=" + utf8(native));

    // The log lists the block the launcher handed on, for both children alike.
    std::vector<std::string> lines = linesOf(readFile(log));
    std::vector<std::string> starts = bodiesFrom(lines, "startProcess:startProcess");
    EXPECT_EQ(
        linesStartingWith(starts, "application="),
        (std::vector<std::string>{"application=" + utf8(agent), "application=" + utf8(javaw)}));
    EXPECT_EQ(linesStartingWith(starts, "commandLine="),
              (std::vector<std::string>{"commandLine=" + agentLine, "commandLine=" + javaLine}));
    auto javaListing = std::find(starts.begin(), starts.end(), "application=" + utf8(agent));
    ASSERT_NE(javaListing, starts.end());
    javaListing = std::find(javaListing, starts.end(), "----");
    for (const std::vector<std::string>& listing :
         {listedEnvironment(starts, starts.begin()), listedEnvironment(starts, javaListing)}) {
        // Under Wine the launcher itself also holds SystemDrive and SystemRoot.
        ASSERT_GE(listing.size(), handedOn.size());
        EXPECT_EQ(std::vector<std::string>(listing.begin(), listing.begin() + handedOn.size()),
                  handedOn);
        for (std::size_t i = handedOn.size(); i < listing.size(); ++i) {
            EXPECT_TRUE(listing[i].rfind("SystemDrive=", 0) == 0 ||
                        listing[i].rfind("SystemRoot=", 0) == 0)
                << listing[i];
        }
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
    // For the 32-bit launcher the system folder is redirected to SysWOW64;
    // only the alias Sysnative reaches the 64-bit system folder.
    wchar_t system[MAX_PATH];
    wchar_t wow64System[MAX_PATH];
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    ASSERT_GT(GetSystemWow64DirectoryW(wow64System, MAX_PATH), 0u);
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring name = L"lt-probe-" + std::to_wstring(GetCurrentProcessId());
    std::wstring sysnative = std::wstring(windows) + L"\\Sysnative";
    PlantedFiles planted;
    planted.add(installProbe(sysnative, name, PROBE64_EXE));
    planted.add(installProbe(wow64System, name));

    struct Row {
        std::wstring exec;
        int pointerBits;
    };
    for (const Row& row : {Row{std::wstring(system) + L"\\" + name + L".exe", 32},
                           Row{sysnative + L"\\" + name + L".exe", 64}}) {
        SCOPED_TRACE(utf8(row.exec));
        std::wstring install = makeTempDir(L"wow64-system");
        std::wstring data = install + L"\\data";
        makeDirectories({data});
        copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
        writeFile(install + L"\\Acme.toml", "[jre]\nmain_jar = 'app.jar'\n[app]\nexec = '" +
                                                utf8(row.exec) + "'\ndata_dir = '" +
                                                utf8(data) + "'\n");
        std::wstring log = freshLogFile(L"Acme");

        EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\""), 0u);

        ProbeRecord record = waitForProbe(data, name);
        EXPECT_EQ(record.pointerBits, row.pointerBits);
        EXPECT_EQ(record.commandLine, "\"" + utf8(row.exec) + "\"  -jar \"app.jar\" ");
        // The log names the path as configured, whichever program it reached.
        EXPECT_EQ(linesStartingWith(bodiesFrom(linesOf(readFile(log)), "startProcess:startProcess"),
                                    "application="),
                  (std::vector<std::string>{"application=" + utf8(row.exec)}));
    }
}

TEST_F(Wow64, ExecUnderSystem32WithOnlyA64BitProgramStartsNothing) {
    // The name exists in the 64-bit system folder alone; the launcher looks
    // for it in SysWOW64, finds nothing and says so at the start.
    wchar_t system[MAX_PATH];
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring name = L"lt-native-" + std::to_wstring(GetCurrentProcessId());
    PlantedFiles planted;
    planted.add(installProbe(std::wstring(windows) + L"\\Sysnative", name, PROBE64_EXE));
    std::wstring install = makeTempDir(L"wow64-none");
    std::wstring data = install + L"\\data";
    makeDirectories({data});
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
    std::wstring exec = std::wstring(system) + L"\\" + name + L".exe";
    writeFile(install + L"\\Acme.toml", "[jre]\nmain_jar = 'app.jar'\n[app]\nexec = '" +
                                            utf8(exec) + "'\ndata_dir = '" + utf8(data) + "'\n");
    std::wstring log = freshLogFile(L"Acme");

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\""), 0u);

    std::vector<std::string> lines = linesOf(readFile(log));
    std::vector<std::string> starts = bodiesFrom(lines, "startProcess:startProcess");
    EXPECT_EQ(linesStartingWith(starts, "application="),
              (std::vector<std::string>{"application=" + utf8(exec)}));
    EXPECT_EQ(linesStartingWith(starts, "err:").size(), 1u);
    EXPECT_EQ(linesStartingWith(starts, "err:2 CreateProcess ").size(), 1u);
    EXPECT_EQ(bodiesFrom(lines, "loadconfig:doJob"),
              (std::vector<std::string>{"error startProcess"}));
    EXPECT_EQ(GetFileAttributesW((data + L"\\" + name + L".record").c_str()),
              INVALID_FILE_ATTRIBUTES);
}
