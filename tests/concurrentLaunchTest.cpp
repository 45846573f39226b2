// Fifty launchers of one installation started at once, as an impatient
// double-click or a login script may do: they share one diagnostic log and
// one pair of output files.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

// What kind of entry a line is: where it was written and the name of the
// value it records ("moduleName", "ALLUSERSPROFILE", "----").
std::string entryKind(const std::string& line) {
    std::string body = entryBody(line);
    return entryOrigin(line) + " " + body.substr(0, body.find('='));
}

}  // namespace

TEST(ConcurrentLaunches, EachRunsEntriesStandTogetherWholeAndInOrder) {
    const int runs = 50;
    std::wstring install = makeTempDir(L"crowd");
    std::wstring data = install + L"\\data";
    std::wstring output = install + L"\\log";
    makeDirectories({data, output});
    installProbe(install, L"javaw");
    copyFile(LAUNCHER_EXE, install + L"\\Crowd.exe");
    writeFile(install + L"\\Crowd.toml",
              "[jre]\nmain_jar = 'app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n"
              "log_dir = '" + utf8(output) + "'\n");
    std::wstring log = freshLogFile(L"Crowd");

    std::vector<HANDLE> launchers;
    for (int run = 0; run < runs; ++run) {
        PROCESS_INFORMATION process = startWithoutWaiting(
            L"\"" + install + L"\\Crowd.exe\" --record=run" + std::to_wstring(run));
        ASSERT_NE(process.hProcess, nullptr);
        launchers.push_back(process.hProcess);
    }
    EXPECT_EQ(WaitForMultipleObjects(runs, launchers.data(), TRUE, 120000), WAIT_OBJECT_0);
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

    // Every line is one whole entry.
    std::vector<std::string> lines = linesOf(readFile(log));
    const std::regex entry("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [A-Za-z]+:\\d+:[A-Za-z]+ .*");
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, entry)) << "torn entry: " << line;
    }
    // A run begins with its systemDir= entry. Each run's block holds the same
    // entries in the same order as the first, with no other run's between
    // them, and names its own command line: every tail once.
    std::vector<std::vector<std::string>> blocks;
    for (const std::string& line : lines) {
        if (entryBody(line).rfind("systemDir=", 0) == 0) {
            blocks.emplace_back();
        }
        ASSERT_FALSE(blocks.empty()) << "entry before any run's first: " << line;
        blocks.back().push_back(line);
    }
    ASSERT_EQ(blocks.size(), static_cast<std::size_t>(runs));
    std::vector<std::string> expectedKinds;
    for (const std::string& line : blocks[0]) {
        expectedKinds.push_back(entryKind(line));
    }
    ASSERT_EQ(expectedKinds.back(), "startProcess:startProcess currentDirectory");
    std::vector<std::string> tails;
    for (const std::vector<std::string>& block : blocks) {
        std::vector<std::string> kinds;
        for (const std::string& line : block) {
            kinds.push_back(entryKind(line));
            std::string body = entryBody(line);
            if (body.rfind("commandLine=", 0) == 0) {
                tails.push_back(body.substr(body.rfind(' ') + 1));
            }
        }
        ASSERT_EQ(kinds, expectedKinds) << "a run's entries apart, first: " << block[0];
    }
    std::sort(tails.begin(), tails.end());
    std::vector<std::string> expectedTails;
    for (int run = 0; run < runs; ++run) {
        expectedTails.push_back("--record=run" + std::to_string(run));
    }
    std::sort(expectedTails.begin(), expectedTails.end());
    EXPECT_EQ(tails, expectedTails);
}
