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
