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
    writeFile(install + L"\\Acme.toml", R"([splash]
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
)");

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
