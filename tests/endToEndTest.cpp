// The built launcher.exe, copied into an installation and run under Wine.
#include "testSupport.h"

#include <gtest/gtest.h>

TEST(EndToEnd, FirstRunLogsTheFourStartupPaths) {
    std::wstring install = makeTempDir(L"e2e");
    std::wstring log = freshLogFile(L"Acme");
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\" -x"), 0u);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::vector<std::string> lines = linesOf(readFile(log));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(entryBody(lines[0]), "systemDir=" + utf8(system));
    EXPECT_EQ(entryBody(lines[1]), "moduleDir=" + utf8(install));
    EXPECT_EQ(entryBody(lines[2]), "moduleName=Acme");
    EXPECT_EQ(entryBody(lines[3]), "programData=" + utf8(std::wstring(system, 2)) + "\\ProgramData");
}

TEST(EndToEnd, WorkedExampleLogsTheEffectiveSettingsInOrder) {
    std::wstring install = makeTempDir(L"e2e-config");
    std::wstring log = freshLogFile(L"Acme");
    copyFile(LAUNCHER_EXE, install + L"\\Acme.exe");
    writeFile(install + L"\\Acme.toml", workedExample);

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\" -x"), 0u);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::string dir = utf8(install);
    std::string programData = utf8(std::wstring(system, 2)) + "\\ProgramData";
    std::vector<std::string> expected = {
        "configApplication=" + dir + "\\jre\\bin\\javaw.exe",
        "configApplication2=" + dir + "\\bin\\agent.exe",
        "configDataDir=" + programData + "\\Example",
        "configLogDir=" + programData + "\\Example\\log",
        "configPath=PATH=" + dir + "\\jre\\bin;" + utf8(system),
        "configMainJar=" + dir + "\\app\\main.jar",
        "configJavaOptions=-Xms64m -Xmx512m -Dapp.home=" + programData + "\\Example ",
    };
    // The children do not exist here; only the settings the run worked out
    // are looked at.
    std::vector<std::string> settings;
    for (const std::string& line : linesOf(readFile(log))) {
        if (entryBody(line).rfind("config", 0) == 0) {
            settings.push_back(entryBody(line));
        }
    }
    EXPECT_EQ(settings, expected);
}

TEST(EndToEnd, WorkedExampleStartsTheSecondProgramAndTheJavaApplication) {
    WorkedExampleInstallation example = installWorkedExample(L"e2e-job");
    const std::wstring& install = example.folder;
    const std::wstring& agent = example.agent;
    const std::wstring& javaw = example.javaw;
    const std::wstring& data = example.data;
    const std::wstring& logs = example.logs;
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);

    EXPECT_EQ(runWithEnvironment(L"\"" + install + L"\\Acme.exe\" -x",
                                 {L"Path=C:\\launchers-own-path", L"TEMP=C:\\t", L"tmp=C:\\lower",
                                  L"JAVA_HOME=C:\\jdk", L"USERNAME=ada", L"windir=C:\\windows"}),
              0u);

    ProbeRecord agentRecord = waitForProbe(data, L"agent");
    ProbeRecord javaRecord = waitForProbe(data, L"javaw");
    std::string pathEntry = "PATH=" + utf8(install) + "\\jre\\bin;" + utf8(system);
    std::string agentLine = "\"" + utf8(agent) + "\" ";
    std::string javaLine = "\"" + utf8(javaw) + "\" -Xms64m -Xmx512m -Dapp.home=" + utf8(data) +
                           "  -jar \"" + utf8(install) + "\\app\\main.jar\" -x";
    EXPECT_EQ(agentRecord.commandLine, agentLine);
    EXPECT_EQ(javaRecord.commandLine, javaLine);
    EXPECT_EQ(agentRecord.currentDirectory, utf8(data));
    EXPECT_EQ(javaRecord.currentDirectory, utf8(data));
    std::vector<std::string> childEnvironment = {pathEntry, "TEMP=C:\\t", "USERNAME=ada"};
    expectChildEnvironment(agentRecord.environment, childEnvironment);
    expectChildEnvironment(javaRecord.environment, childEnvironment);
    EXPECT_EQ(readFile(logs + L"\\out_Acme.log"), "probe standard output\n");
    EXPECT_EQ(readFile(logs + L"\\err_Acme.log"), "probe standard error\n");

    std::vector<std::string> lines = linesOf(readFile(example.log));
    std::vector<std::string> starts = bodiesFrom(lines, "startProcess:startProcess");
    EXPECT_EQ(
        linesStartingWith(starts, "application="),
        (std::vector<std::string>{"application=" + utf8(agent), "application=" + utf8(javaw)}));
    EXPECT_EQ(linesStartingWith(starts, "commandLine="),
              (std::vector<std::string>{"commandLine=" + agentLine, "commandLine=" + javaLine}));
    EXPECT_EQ(linesStartingWith(starts, "currentDirectory="),
              (std::vector<std::string>{"currentDirectory=" + utf8(data),
                                        "currentDirectory=" + utf8(data)}));
    EXPECT_EQ(linesStartingWith(starts, "outLog="),
              (std::vector<std::string>{"outLog=NUL", "outLog=" + utf8(logs) + "\\out_Acme.log"}));
    EXPECT_EQ(linesStartingWith(starts, "errLog="),
              (std::vector<std::string>{"errLog=NUL", "errLog=" + utf8(logs) + "\\err_Acme.log"}));
    EXPECT_EQ(linesStartingWith(starts, "PATH"), (std::vector<std::string>{pathEntry, pathEntry}));
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.front(), "----");
    std::vector<std::vector<std::string>> listings = environmentListings(starts);
    ASSERT_EQ(listings.size(), 2u);
    for (const std::vector<std::string>& listing : listings) {
        expectListedEnvironment(listing, childEnvironment);
    }
    EXPECT_TRUE(bodiesFrom(lines, "loadconfig:doJob").empty());
}

TEST(EndToEnd, CommandLineTailReachesTheApplicationUnchanged) {
    // A quoted program name with a blank in it, two blanks after it, and
    // blanks and quotes inside the tail: only the name and the blanks right
    // after it are dropped.
    std::wstring install = makeTempDir(L"e2e-tail");
    std::wstring data = install + L"\\data";
    makeDirectories({data});
    installProbe(install, L"javaw");
    copyFile(LAUNCHER_EXE, install + L"\\Tail App.exe");
    writeFile(install + L"\\Tail App.toml",
              "[jre]\nmain_jar = 'app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n");

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Tail App.exe\"  -x  \"a b\"  y"), 0u);

    ProbeRecord record = waitForProbe(data, L"javaw");
    std::string expectedEnd = "  -jar \"app.jar\" -x  \"a b\"  y";
    ASSERT_GE(record.commandLine.size(), expectedEnd.size());
    EXPECT_EQ(record.commandLine.substr(record.commandLine.size() - expectedEnd.size()), expectedEnd)
        << record.commandLine;
}

TEST(EndToEnd, InstallationOutsideLatin1FindsItsConfigurationAndStartsTheApplication) {
    // D:\Программы\Акме.exe must read Акме.toml beside it like any other.
    const std::wstring name = L"\x0410\x043A\x043C\x0435";
    std::wstring install = makeTempDir(L"\x041F\x0440\x043E\x0433\x0440\x0430\x043C\x043C\x044B");
    std::wstring data = install + L"\\data";
    makeDirectories({data});
    installProbe(install, L"javaw");
    copyFile(LAUNCHER_EXE, install + L"\\" + name + L".exe");
    writeFile(install + L"\\" + name + L".toml",
              "[jre]\nmain_jar = '$(moduleDir)\\app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n");
    std::wstring log = freshLogFile(name);

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\" + name + L".exe\""), 0u);

    ProbeRecord record = waitForProbe(data, L"javaw");
    EXPECT_EQ(record.currentDirectory, utf8(data));
    std::vector<std::string> lines = linesOf(readFile(log));
    EXPECT_EQ(linesStartingWith(bodiesFrom(lines, "loadconfig:prepareJob"), "configMainJar="),
              (std::vector<std::string>{"configMainJar=" + utf8(install) + "\\app.jar"}));
    EXPECT_TRUE(bodiesFrom(lines, "loadconfig:loadConfig").empty());
}
