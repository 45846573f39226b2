// Ten launchers of one installation started at once, as an impatient
// double-click or a login script may do: they share one diagnostic log.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

TEST(ConcurrentLaunches, EveryRunKeepsItsWholeTraceAndStartsItsChild) {
    const int runs = 10;
    std::wstring install = makeTempDir(L"crowd");
    std::wstring data = install + L"\\data";
    CreateDirectoryW(data.c_str(), nullptr);
    installProbe(install, L"javaw");
    copyFile(LAUNCHER_EXE, install + L"\\Crowd.exe");
    writeFile(install + L"\\Crowd.toml",
              "[jre]\nmain_jar = 'app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n");
    std::wstring log = freshLogFile(L"Crowd");

    std::vector<HANDLE> launchers;
    for (int run = 0; run < runs; ++run) {
        std::wstring commandLine =
            L"\"" + install + L"\\Crowd.exe\" --record=run" + std::to_wstring(run);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        launchers.push_back(process.hProcess);
    }
    EXPECT_EQ(WaitForMultipleObjects(runs, launchers.data(), TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE launcher : launchers) {
        DWORD code = ~0u;
        GetExitCodeProcess(launcher, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(launcher);
    }

    for (int run = 0; run < runs; ++run) {
        std::wstring name = L"run" + std::to_wstring(run);
        EXPECT_TRUE(waitForProbe(data, name).found) << utf8(name);
    }

    // Every line is one whole entry, and each run left all of its entries:
    // the same count for every run, its own command line exactly once.
    std::vector<std::string> lines = linesOf(readFile(log));
    const std::regex entry("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [A-Za-z]+:\\d+:[A-Za-z]+ .*");
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, entry)) << "torn entry: " << line;
    }
    ASSERT_EQ(lines.size() % runs, 0u) << lines.size() << " lines";
    EXPECT_EQ(linesStartingWith(bodiesFrom(lines, "loadconfig:prepareJob"), "moduleName=").size(),
              static_cast<std::size_t>(runs));
    std::vector<std::string> commandLines =
        linesStartingWith(bodiesFrom(lines, "startProcess:startProcess"), "commandLine=");
    EXPECT_EQ(commandLines.size(), static_cast<std::size_t>(runs));
    for (int run = 0; run < runs; ++run) {
        std::string tail = " --record=run" + std::to_string(run);
        EXPECT_EQ(std::count_if(commandLines.begin(), commandLines.end(),
                                [&](const std::string& line) {
                                    return line.size() >= tail.size() &&
                                           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
                                }),
                  1)
            << tail;
    }
}
