// Many launchers of one installation started at once, as an impatient
// double-click or a login script may do: they share one diagnostic log and
// one pair of output files.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>

namespace {

// What kind of entry a line is: where it was written and the name of the
// value it records ("moduleName", "ALLUSERSPROFILE", "----").
std::string entryKind(const std::string& line) {
    std::string body = entryBody(line);
    return entryOrigin(line) + " " + body.substr(0, body.find('='));
}

}  // namespace

// Ordinary runs, and runs whose blocks are large: a PATH of 10,000 folders
// is logged with the settings and in both children's environments, about
// 2.8 MB a run, so that the runs queue for the log far beyond its 500 ms.
struct Crowd {
    int runs;
    int pathEntries;
};

class ConcurrentLaunches : public ::testing::TestWithParam<Crowd> {};

INSTANTIATE_TEST_SUITE_P(Crowds, ConcurrentLaunches,
                         ::testing::Values(Crowd{50, 0}, Crowd{60, 10000}));

TEST_P(ConcurrentLaunches, EachRunsEntriesStandTogetherWholeAndInOrder) {
    const int runs = GetParam().runs;
    const bool large = GetParam().pathEntries > 0;
    std::wstring install = makeTempDir(L"crowd");
    std::wstring data = install + L"\\data";
    std::wstring output = install + L"\\log";
    makeDirectories({data, output});
    installProbe(install, L"javaw");
    std::string more;
    if (large) {
        installProbe(install, L"agent");
        more = "exec2 = '$(moduleDir)\\agent.exe'\n[env]\nPATH = [\n";
        for (int entry = 0; entry < GetParam().pathEntries; ++entry) {
            char folder[128];
            std::snprintf(folder, sizeof folder,
                          "C:\\Program Files\\A Vendor With A Long Name\\Some Product 2\\"
                          "Component Number %05d Of Many\\bin",
                          entry);
            more += "'" + std::string(folder) + "',\n";
        }
        more += "]\n";
    }
    copyFile(LAUNCHER_EXE, install + L"\\Crowd.exe");
    writeFile(install + L"\\Crowd.toml",
              "[jre]\nmain_jar = 'app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n"
              "log_dir = '" + utf8(output) + "'\n" + more);
    std::wstring log = freshLogFile(L"Crowd");

    std::vector<HANDLE> launchers;
    for (int run = 0; run < runs; ++run) {
        PROCESS_INFORMATION process = startWithoutWaiting(
            L"\"" + install + L"\\Crowd.exe\" --record=run" + std::to_wstring(run));
        ASSERT_NE(process.hProcess, nullptr);
        launchers.push_back(process.hProcess);
    }
    EXPECT_EQ(WaitForMultipleObjects(runs, launchers.data(), TRUE, 300000), WAIT_OBJECT_0);
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
    // The pattern is matched against the line's beginning, which holds the
    // whole prefix: the regular expression engine recurses once a character,
    // and a line of a large block (the PATH) would overflow the stack.
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line.substr(0, 200), entry)) << "torn entry: " << line;
        ASSERT_EQ(line.find('\r'), std::string::npos) << "torn entry: " << line;
    }
    // A run appends one piece per start: its first begins with systemDir=,
    // a further one (the Java runtime's after the second program's) with the
    // "----" of that start's environment. Each piece holds the same entries in
    // the same order as the first piece of its kind, with no other run's
    // between them, and the Java starts name their own command lines: every
    // tail once.
    struct Piece {
        std::string first;
        std::vector<std::string> kinds;
    };
    std::vector<Piece> pieces;
    std::vector<std::string> tails;
    std::string previous;
    for (const std::string& line : lines) {
        std::string body = entryBody(line);
        if (body.rfind("systemDir=", 0) == 0 ||
            (body == "----" && previous.rfind("currentDirectory=", 0) == 0)) {
            pieces.push_back({line.substr(0, 200), {}});
        }
        ASSERT_FALSE(pieces.empty()) << "entry before any run's first: " << line;
        pieces.back().kinds.push_back(entryKind(line));
        // The second program's command line has no tail.
        if (body.rfind("commandLine=", 0) == 0 && body.back() != ' ') {
            tails.push_back(body.substr(body.rfind(' ') + 1));
        }
        previous = body.substr(0, 32);
    }
    std::map<bool, std::vector<std::string>> expectedKinds;
    std::map<bool, int> piecesOfKind;
    for (const Piece& piece : pieces) {
        bool runsFirst = piece.kinds[0] == "loadconfig:prepareJob systemDir";
        expectedKinds.emplace(runsFirst, piece.kinds);
        ASSERT_EQ(piece.kinds, expectedKinds[runsFirst]) << "a run's entries apart: " << piece.first;
        ++piecesOfKind[runsFirst];
    }
    EXPECT_EQ(piecesOfKind[true], runs);
    EXPECT_EQ(piecesOfKind[false], large ? runs : 0);
    ASSERT_EQ(expectedKinds[true].back(), "startProcess:startProcess currentDirectory");
    RecordProperty("linesKept", static_cast<int>(lines.size()));
    std::sort(tails.begin(), tails.end());
    std::vector<std::string> expectedTails;
    for (int run = 0; run < runs; ++run) {
        expectedTails.push_back("--record=run" + std::to_string(run));
    }
    std::sort(expectedTails.begin(), expectedTails.end());
    EXPECT_EQ(tails, expectedTails);
}
