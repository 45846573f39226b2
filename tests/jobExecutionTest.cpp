// The job: the second program first, then the Java application, each started
// as configured. Probes stand in for both executables.
#include "diagnosticLog.h"
#include "failureMessage.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

void set(WideText& setting, const std::wstring& value) {
    setting.release();
    setting.appendWide(value.c_str());
}

class Job : public ::testing::Test {
protected:
    void SetUp() override {
        logPath_ = freshCoreFor(L"JobTest");

        dir_ = makeTempDir(L"job");
        agent_ = installProbe(dir_, L"agent");
        javaw_ = installProbe(dir_, L"javaw");
        data_ = dir_ + L"\\data";
        logs_ = dir_ + L"\\log";
        CreateDirectoryW(data_.c_str(), nullptr);
        CreateDirectoryW(logs_.c_str(), nullptr);

        set(configPath, L"PATH=C:\\App\\jre\\bin;C:\\windows\\system32");
        set(configApplication, javaw_);
        set(configDataDir, data_);
        set(configMainJar, L"C:\\App\\app\\main.jar");
    }
    void TearDown() override { resetLauncherState(); }

    std::vector<std::string> logLines() {
        if (GetFileAttributesW(logPath_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return {};
        }
        return linesOf(readFile(logPath_));
    }
    std::vector<std::string> jobLines() { return bodiesFrom(logLines(), "loadconfig:doJob"); }
    std::vector<std::string> startLines() {
        return bodiesFrom(logLines(), "startProcess:startProcess");
    }

    KernelOverride restore_;
    FakeEnvironment environment_{
        {L"Path=C:\\own", L"TEMP=C:\\t", L"JAVA_HOME=C:\\jdk", L"USERNAME=ada"}};
    std::vector<std::string> childEnvironment_ = {"PATH=C:\\App\\jre\\bin;C:\\windows\\system32",
                                                  "TEMP=C:\\t", "USERNAME=ada"};
    std::wstring logPath_;
    std::wstring dir_;
    std::wstring agent_;
    std::wstring javaw_;
    std::wstring data_;
    std::wstring logs_;
};

}  // namespace

TEST_F(Job, StartsTheSecondProgramFirstThenTheJavaApplication) {
    set(configApplication2, agent_);
    set(configLogDir, logs_);
    set(configJavaOptions, L"-Xms64m -Dapp.home=C:\\ProgramData\\Example ");
    commandLineArgs = L"-x \"a b\"";
    doJob();

    std::string agentLine = "\"" + utf8(agent_) + "\" ";
    std::string javaLine = "\"" + utf8(javaw_) +
                           "\" -Xms64m -Dapp.home=C:\\ProgramData\\Example  -jar "
                           "\"C:\\App\\app\\main.jar\" -x \"a b\"";
    std::vector<std::string> lines = startLines();
    EXPECT_EQ(
        linesStartingWith(lines, "application="),
        (std::vector<std::string>{"application=" + utf8(agent_), "application=" + utf8(javaw_)}));
    EXPECT_EQ(linesStartingWith(lines, "commandLine="),
              (std::vector<std::string>{"commandLine=" + agentLine, "commandLine=" + javaLine}));
    // The second program never gets output files, even with a log directory.
    std::string out = utf8(logs_) + "\\out_JobTest.log";
    std::string err = utf8(logs_) + "\\err_JobTest.log";
    EXPECT_EQ(linesStartingWith(lines, "outLog="),
              (std::vector<std::string>{"outLog=NUL", "outLog=" + out}));
    EXPECT_EQ(linesStartingWith(lines, "errLog="),
              (std::vector<std::string>{"errLog=NUL", "errLog=" + err}));
    EXPECT_TRUE(jobLines().empty());

    ProbeRecord agent = waitForProbe(data_, L"agent");
    ProbeRecord java = waitForProbe(data_, L"javaw");
    EXPECT_EQ(agent.commandLine, agentLine);
    EXPECT_EQ(java.commandLine, javaLine);
    EXPECT_EQ(agent.currentDirectory, utf8(data_));
    EXPECT_EQ(java.currentDirectory, utf8(data_));
    expectChildEnvironment(agent.environment, childEnvironment_);
    expectChildEnvironment(java.environment, childEnvironment_);
    EXPECT_EQ(readFile(logs_ + L"\\out_JobTest.log"), "probe standard output\n");
    EXPECT_EQ(readFile(logs_ + L"\\err_JobTest.log"), "probe standard error\n");
}

TEST_F(Job, WithoutOptionsOrTailTheJarStandsBetweenBlanks) {
    commandLineArgs = L"";
    doJob();

    EXPECT_EQ(waitForProbe(data_, L"javaw").commandLine,
              "\"" + utf8(javaw_) + "\"  -jar \"C:\\App\\app\\main.jar\" ");
    ASSERT_FALSE(configJavaOptions.isNull());
    EXPECT_STREQ(configJavaOptions.get(), L"");
}

TEST_F(Job, OnlyTheJavaApplicationConfiguredWritesToTheNullDevice) {
    commandLineArgs = L"-x";
    doJob();

    ProbeRecord java = waitForProbe(data_, L"javaw");
    EXPECT_TRUE(java.stdoutWritten);
    EXPECT_TRUE(java.stderrWritten);
    std::vector<std::string> lines = startLines();
    EXPECT_EQ(linesStartingWith(lines, "application="),
              std::vector<std::string>{"application=" + utf8(javaw_)});
    EXPECT_EQ(linesStartingWith(lines, "outLog="), std::vector<std::string>{"outLog=NUL"});
    EXPECT_EQ(linesStartingWith(lines, "errLog="), std::vector<std::string>{"errLog=NUL"});
    EXPECT_TRUE(jobLines().empty());
}

TEST_F(Job, AFailedSecondProgramStillLeavesTheJavaApplicationStarted) {
    set(configApplication2, dir_ + L"\\bin\\absent.exe");
    commandLineArgs = L"";
    doJob();

    EXPECT_EQ(jobLines(), std::vector<std::string>{"error startProcess2"});
    EXPECT_TRUE(waitForProbe(data_, L"javaw").found);
}

TEST_F(Job, AnEmptySecondProgramIsStillAttempted) {
    set(configApplication2, L"");
    commandLineArgs = L"";
    doJob();

    std::vector<std::string> lines = startLines();
    EXPECT_EQ(linesStartingWith(lines, "application=").front(), "application=");
    EXPECT_EQ(jobLines(), std::vector<std::string>{"error startProcess2"});
    EXPECT_TRUE(waitForProbe(data_, L"javaw").found);
}

TEST_F(Job, WithoutDataDirectoryEachConfiguredChildFailsOnce) {
    set(configApplication2, agent_);
    configDataDir.release();
    commandLineArgs = L"";
    doJob();

    EXPECT_EQ(jobLines(), (std::vector<std::string>{"error startProcess2", "error startProcess"}));
    EXPECT_TRUE(startLines().empty());
}

TEST_F(Job, AMissingLogDirectoryFailsOnlyTheJavaStart) {
    set(configApplication2, agent_);
    std::wstring missing = dir_ + L"\\missing";
    set(configLogDir, missing);
    commandLineArgs = L"";
    doJob();

    std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(entryOrigin(lines[lines.size() - 2]), "startProcess:startProcess");
    EXPECT_EQ(entryBody(lines[lines.size() - 2]).rfind("err:3  ", 0), 0u);
    EXPECT_EQ(entryOrigin(lines.back()), "loadconfig:doJob");
    EXPECT_EQ(entryBody(lines.back()), "error startProcess");
    EXPECT_TRUE(waitForProbe(data_, L"agent").found);
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Job, AJarWithoutRuntimeIsRefused) {
    configApplication.release();
    commandLineArgs = L"";
    doJob();

    EXPECT_EQ(jobLines(), std::vector<std::string>{"error startProcess"});
    EXPECT_TRUE(startLines().empty());
}

TEST_F(Job, NoJarNoSecondProgramStartsNothing) {
    configMainJar.release();
    doJob();

    EXPECT_TRUE(logLines().empty());
}

TEST_F(Job, ComposingTheStartsTouchesNoFileAndNoProcess) {
    set(configApplication, dir_ + L"\\run.bat");
    set(configApplication2, agent_);
    set(configLogDir, logs_);
    commandLineArgs = L"-x";
    kernel.CreateFileW = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                            HANDLE) WINAPI -> HANDLE {
        ADD_FAILURE() << "a file opened while composing";
        return INVALID_HANDLE_VALUE;
    };
    kernel.CreateProcessW = [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                               DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                               LPPROCESS_INFORMATION) WINAPI -> BOOL {
        ADD_FAILURE() << "a process made while composing";
        return FALSE;
    };
    JobPlan plan;
    composeJob(plan);

    ASSERT_TRUE(plan.secondProgramDue);
    EXPECT_STREQ(plan.secondProgram.application.get(), agent_.c_str());
    EXPECT_EQ(utf8(plan.secondProgram.commandLine.get()), "\"" + utf8(agent_) + "\" ");
    EXPECT_TRUE(plan.secondProgram.outLog.isNull());
    EXPECT_TRUE(plan.secondProgram.errLog.isNull());
    EXPECT_FALSE(plan.secondProgram.refusedAsBatchFile);
    EXPECT_EQ(entriesOf(plan.secondProgram.environment.get(), plan.secondProgram.environment.count()),
              childEnvironment_);

    ASSERT_TRUE(plan.javaDue);
    EXPECT_TRUE(plan.java.refusedAsBatchFile);
    EXPECT_EQ(utf8(plan.java.commandLine.get()),
              "\"" + utf8(dir_) + "\\run.bat\"  -jar \"C:\\App\\app\\main.jar\" -x");
    EXPECT_EQ(utf8(plan.java.currentDirectory.get()), utf8(data_));
    EXPECT_EQ(utf8(plan.java.outLog.get()), utf8(logs_) + "\\out_JobTest.log");
    EXPECT_EQ(utf8(plan.java.errLog.get()), utf8(logs_) + "\\err_JobTest.log");
    EXPECT_EQ(entriesOf(plan.java.environment.get(), plan.java.environment.count()),
              childEnvironment_);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(Job, ABatchFileMayBeTheSecondProgramButNotTheJavaRuntime) {
    // The second program gets no tail, so nothing of the user's reaches the
    // command interpreter.
    std::wstring ran = data_ + L"\\ran.txt";
    writeFile(dir_ + L"\\agent.bat", "@echo ran > \"" + utf8(ran) + "\"\r\n");
    writeFile(dir_ + L"\\java.cmd", "@echo java > \"" + utf8(ran) + ".java\"\r\n");
    set(configApplication2, dir_ + L"\\agent.bat");
    set(configApplication, dir_ + L"\\java.cmd");
    commandLineArgs = L"-x";
    doJob();

    for (int waited = 0; waited < 10000 && GetFileAttributesW(ran.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 100) {
        Sleep(100);
    }
    EXPECT_NE(GetFileAttributesW(ran.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((ran + L".java").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(linesStartingWith(startLines(), "batch file refused: "),
              std::vector<std::string>{"batch file refused: " + utf8(dir_) + "\\java.cmd"});
    EXPECT_EQ(jobLines(), std::vector<std::string>{"error startProcess"});
}

// The runtime ends at once with code 3 after a line to standard error. The
// failure message quotes what it wrote, read through the handle the start
// kept on its very file; where its errors went to the null device (a second
// name of another file planted at err_<name>.log, no log_dir), nothing is
// quoted, however the file of that name reads.
TEST_F(Job, TheErrorTailIsReadFromTheFileTheRuntimeWroteOnly) {
    struct Case {
        const char* what;
        bool logDir;
        bool hardLink;
        const char* says;
    };
    for (const Case& c : {Case{"a plain file", true, false, "probe failing with exit code 3"},
                          Case{"a second name of another file", true, true,
                               "No error output was kept"},
                          Case{"no log_dir", false, false, "No error output was kept"}}) {
        SCOPED_TRACE(c.what);
        std::wstring logs = makeTempDir(L"errorTail");
        std::wstring secret = makeTempDir(L"secret") + L"\\secret.txt";
        writeFile(secret, "a secret of another user\n");
        if (c.hardLink) {
            ASSERT_TRUE(CreateHardLinkW((logs + L"\\err_JobTest.log").c_str(), secret.c_str(),
                                        nullptr));
        }
        configLogDir.release();
        if (c.logDir) {
            set(configLogDir, logs);
        }
        set(configJavaOptions, L"--exit-code=3");
        JavaStart java;
        java.outcome.keepProcess = true;
        doJob(&java);
        ASSERT_TRUE(java.outcome.process);
        EXPECT_EQ(WaitForSingleObject(java.outcome.process.get(), 10000), WAIT_OBJECT_0);
        WideText text;
        ASSERT_EQ(earlyEndText(text, 3, java.errLog.get(), java.outcome.errorOutput.get()), 0);
        std::string shown = utf8(text.get());
        EXPECT_NE(shown.find(c.says), std::string::npos) << shown;
        EXPECT_EQ(shown.find("secret"), std::string::npos) << shown;
    }
}
