// The built launcher among hostile neighbours: other users who may write to
// the log folder and to log_dir, lock the log, plant links there, or hand it
// values made to forge log entries; callers that hold inheritable handles;
// an installation that names a batch file as its Java runtime or lies too deep
// for the module path. The application must start whenever it can, nothing
// may be written through a planted link, and the log's lines must stay whole.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace {

// An installation of the built launcher as `name`.exe, with the probe as its
// Java runtime, a working folder and a log_dir of its own, and a fresh log.
struct Installation {
    std::wstring folder;
    std::wstring data;
    std::wstring logs;
    std::wstring exe;
    std::wstring log;
    std::wstring out;
    std::wstring err;
};

// `exec` and `more` (further tables) go into the configuration as given.
Installation install(const std::wstring& name, const std::string& exec = "$(moduleDir)\\javaw.exe",
                     const std::string& more = "") {
    Installation in;
    in.folder = makeTempDir(L"hostile");
    in.data = in.folder + L"\\data";
    in.logs = in.folder + L"\\log";
    CreateDirectoryW(in.data.c_str(), nullptr);
    CreateDirectoryW(in.logs.c_str(), nullptr);
    installProbe(in.folder, L"javaw");
    in.exe = in.folder + L"\\" + name + L".exe";
    copyFile(LAUNCHER_EXE, in.exe);
    writeFile(in.folder + L"\\" + name + L".toml",
              "[jre]\nmain_jar = 'app.jar'\n[app]\nexec = '" + exec + "'\ndata_dir = '" +
                  utf8(in.data) + "'\nlog_dir = '" + utf8(in.logs) + "'\n" + more);
    in.log = freshLogFile(name);
    in.out = in.logs + L"\\out_" + name + L".log";
    in.err = in.logs + L"\\err_" + name + L".log";
    return in;
}

unsigned long launch(const Installation& in, const std::wstring& tail) {
    return runAndWait(L"\"" + in.exe + L"\" " + tail);
}

std::vector<std::string> logLines(const Installation& in) {
    if (GetFileAttributesW(in.log.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    return linesOf(readFile(in.log));
}

// Waits a while for a probe that must not start; true when none did.
bool noProbeStarts(const std::wstring& directory, const std::wstring& name) {
    std::wstring record = directory + L"\\" + name + L".record";
    for (int waited = 0; waited < 3000; waited += 100) {
        if (GetFileAttributesW(record.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        Sleep(100);
    }
    return true;
}

const std::regex entryStart("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [A-Za-z]+:\\d+:[A-Za-z0-9]+ ");
const std::regex anyEntryStart("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [A-Za-z]+:\\d+:[A-Za-z0-9]+ ");

// Each line is one entry: it begins like one, and no second one is glued on.
void expectOneEntryPerLine(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    for (const std::string& line : linesOf(text)) {
        EXPECT_TRUE(std::regex_search(line, entryStart)) << "no entry: " << line;
        EXPECT_FALSE(std::regex_search(line.substr(1), anyEntryStart)) << "two entries: " << line;
    }
}

ULONGLONG millisecondsOf(const std::function<void()>& step) {
    ULONGLONG start = GetTickCount64();
    step();
    return GetTickCount64() - start;
}

}  // namespace

TEST(HostileNeighbours, ALockOnTheLogHoldsNoStartBack) {
    Installation in = install(L"Locked");
    ULONGLONG free = millisecondsOf([&] {
        EXPECT_EQ(launch(in, L"--record=free"), 0u);
        EXPECT_TRUE(waitForProbe(in.data, L"free").found);
    });

    struct Case {
        const wchar_t* record;
        DWORD offsetHigh;
        DWORD lengthLow;
        DWORD lengthHigh;
    };
    // The byte the launchers lock among themselves, and the whole file.
    for (const Case& c : {Case{L"byte", 0x40000000, 1, 0}, Case{L"file", 0, MAXDWORD, MAXDWORD}}) {
        HANDLE holder = CreateFileW(in.log.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        OVERLAPPED range{};
        range.OffsetHigh = c.offsetHigh;
        ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                               c.lengthLow, c.lengthHigh, &range));
        ULONGLONG locked = millisecondsOf([&] {
            EXPECT_EQ(launch(in, L"--record=" + std::wstring(c.record)), 0u);
            EXPECT_TRUE(waitForProbe(in.data, c.record, 5000).found) << utf8(c.record);
        });
        // About forty entries wait 500 ms in all, not each.
        EXPECT_LT(locked, free + 1000) << utf8(c.record) << ": " << locked << " ms against " << free;
        RecordProperty(utf8(c.record) + "LockedMs", static_cast<int>(locked));
        RecordProperty(utf8(c.record) + "FreeMs", static_cast<int>(free));
        UnlockFileEx(holder, 0, c.lengthLow, c.lengthHigh, &range);
        CloseHandle(holder);
    }
    // With only the byte held, the run's entries were written all the same.
    std::vector<std::string> commandLines =
        linesStartingWith(bodiesFrom(logLines(in), "startProcess:startProcess"), "commandLine=");
    ASSERT_GE(commandLines.size(), 2u);
    EXPECT_NE(commandLines[1].find("--record=byte"), std::string::npos) << commandLines[1];
}

TEST(HostileNeighbours, ValuesCannotForgeALogEntry) {
    Installation in = install(L"Forged");
    const std::wstring forged =
        L"\n2026-01-01 00:00:00 startProcess:127:startProcess application=C:\\evil.exe";
    std::wstring user = L"USERNAME=ada" + forged;
    EXPECT_EQ(runWithEnvironment(L"\"" + in.exe + L"\" --record=forged -x" + forged,
                                 {user.c_str(), L"TEMP=C:\\t"}),
              0u);
    ASSERT_TRUE(waitForProbe(in.data, L"forged").found);

    // The child gets everything unchanged.
    std::string record = readFile(in.data + L"\\forged.record");
    EXPECT_NE(record.find(" --record=forged -x" + utf8(forged) + "\n"), std::string::npos) << record;
    EXPECT_NE(record.find("\n" + utf8(user) + "\n"), std::string::npos) << record;

    // The log gets it escaped, one entry a line, no forged entry among them.
    std::string text = readFile(in.log);
    for (const std::string& line : linesOf(text)) {
        EXPECT_NE(line.rfind("2026-01-01 00:00:00", 0), 0u) << "forged: " << line;
    }
    std::vector<std::string> starts = bodiesFrom(linesOf(text), "startProcess:startProcess");
    EXPECT_EQ(linesStartingWith(starts, "application="),
              std::vector<std::string>{"application=" + utf8(in.folder) + "\\javaw.exe"});
    std::string escaped = "\\n2026-01-01 00:00:00 startProcess:127:startProcess application=C:\\evil.exe";
    std::vector<std::string> commandLines = linesStartingWith(starts, "commandLine=");
    ASSERT_EQ(commandLines.size(), 1u);
    EXPECT_EQ(commandLines[0].substr(commandLines[0].size() - escaped.size()), escaped);
    EXPECT_EQ(linesStartingWith(starts, "USERNAME="),
              std::vector<std::string>{"USERNAME=ada" + escaped});
}

TEST(HostileNeighbours, AnErrorWithoutSystemTextEndsItsLine) {
    // Under Wine a garbage splash image fails with 14007, for which the
    // system has no text; any code must end its entry all the same.
    Installation in = install(L"Garbage", "$(moduleDir)\\javaw.exe",
                              "[splash]\nimage = 'garbage.ico'\nmillisec = 1\n");
    writeFile(in.folder + L"\\garbage.ico", "no icon image at all, just some text");
    EXPECT_EQ(launch(in, L"--record=garbage"), 0u);
    ASSERT_TRUE(waitForProbe(in.data, L"garbage").found);

    std::string text = readFile(in.log);
    expectOneEntryPerLine(text);
    std::vector<std::string> image = bodiesFrom(linesOf(text), "loadImage:initImage");
    ASSERT_EQ(image.size(), 1u) << text;
    EXPECT_NE(image[0].find(" CreateIconFromResourceEx "), std::string::npos) << image[0];
    EXPECT_EQ(linesStartingWith(bodiesFrom(linesOf(text), "loadconfig:prepareJob"),
                                "configApplication=")
                  .size(),
              1u);
}

TEST(HostileNeighbours, AnInstallationPathBeyondTheBufferIsNeverMisread) {
    // Cut to the 260 units of the module path, the launcher's path would read
    // "...\evil.exe": a folder of that name, beside an evil.toml that starts
    // a program of its own. (Wine fills all 260 units and adds no NUL.)
    std::wstring base = makeTempDir(L"deep");
    std::wstring outer = base + L"\\" + std::wstring(MAX_PATH - base.size() - 1 - 9, L'p');
    std::wstring evil = outer + L"\\evil.exe";
    ASSERT_EQ(evil.size(), static_cast<std::size_t>(MAX_PATH));
    std::wstring data = base + L"\\data";
    for (const std::wstring& folder : {outer, evil, evil + L"\\Acme", data}) {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    }
    installProbe(base, L"javaw");
    writeFile(outer + L"\\evil.toml", "[jre]\nmain_jar = 'app.jar'\n[app]\nexec = '" +
                                          utf8(base) + "\\javaw.exe'\ndata_dir = '" + utf8(data) +
                                          "'\n");
    std::wstring launcher = evil + L"\\Acme\\Acme.exe";
    copyFile(LAUNCHER_EXE, launcher);
    std::wstring evilLog = freshLogFile(L"evil");
    std::wstring ownLog = freshLogFile(L"Acme");

    // Wine's CreateProcessW starts no program this deep (ERROR_INVALID_NAME);
    // its loader, given the Linux path, does. The same way, a launcher at a
    // short path starts its application.
    Installation shallow = install(L"Shallow");
    runLinuxShell(L"wine \\\"$1\\\" --record=shallow", {shallow.exe});
    ASSERT_TRUE(waitForProbe(shallow.data, L"shallow").found);
    runLinuxShell(L"wine \\\"$1\\\" --record=deep", {launcher});

    EXPECT_TRUE(noProbeStarts(data, L"deep"));
    EXPECT_EQ(GetFileAttributesW(evilLog.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(ownLog.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(HostileNeighbours, ALinkPlantedAsTheLogGetsNothingAndTheApplicationStarts) {
    enum class Plant { SymbolicLink, DanglingLink, HardLink };
    struct Case {
        const wchar_t* record;
        Plant plant;
    };
    for (const Case& c : {Case{L"symbolic", Plant::SymbolicLink},
                          Case{L"dangling", Plant::DanglingLink}, Case{L"hard", Plant::HardLink}}) {
        Installation in = install(L"LinkedLog");
        // DeleteFileW leaves a link that an earlier run may have left.
        removeSymbolicLink(in.log);
        std::wstring chosen = makeTempDir(L"chosen") + L"\\chosen.txt";
        if (c.plant != Plant::DanglingLink) {
            writeFile(chosen, "chosen\n");
        }
        if (c.plant == Plant::HardLink) {
            ASSERT_TRUE(CreateHardLinkW(in.log.c_str(), chosen.c_str(), nullptr)) << GetLastError();
        } else {
            makeSymbolicLink(chosen, in.log);
        }

        EXPECT_EQ(launch(in, L"--record=" + std::wstring(c.record)), 0u);

        EXPECT_TRUE(waitForProbe(in.data, c.record).found) << utf8(c.record);
        if (c.plant == Plant::DanglingLink) {
            EXPECT_EQ(GetFileAttributesW(chosen.c_str()), INVALID_FILE_ATTRIBUTES);
        } else {
            EXPECT_EQ(readFile(chosen), "chosen\n") << utf8(c.record);
        }
        if (c.plant == Plant::HardLink) {
            DeleteFileW(in.log.c_str());
        } else {
            removeSymbolicLink(in.log);
        }
    }
}

TEST(HostileNeighbours, ALinkPlantedAsAnOutputFileGetsNothingAndTheApplicationStarts) {
    enum class Plant { SymbolicLink, DanglingLink, HardLink };
    struct Case {
        const wchar_t* record;
        Plant plant;
        bool atErrorFile;
    };
    for (const Case& c : {Case{L"symbolic", Plant::SymbolicLink, false},
                          Case{L"dangling", Plant::DanglingLink, true},
                          Case{L"hard", Plant::HardLink, false},
                          Case{L"hardErr", Plant::HardLink, true}}) {
        Installation in = install(L"LinkedOut");
        std::wstring chosen = makeTempDir(L"chosen") + L"\\chosen.txt";
        if (c.plant != Plant::DanglingLink) {
            writeFile(chosen, "chosen\n");
        }
        const std::wstring& planted = c.atErrorFile ? in.err : in.out;
        const std::wstring& plain = c.atErrorFile ? in.out : in.err;
        if (c.plant == Plant::HardLink) {
            ASSERT_TRUE(CreateHardLinkW(planted.c_str(), chosen.c_str(), nullptr)) << GetLastError();
        } else {
            makeSymbolicLink(chosen, planted);
        }

        EXPECT_EQ(launch(in, L"--record=" + std::wstring(c.record)), 0u);

        ProbeRecord record = waitForProbe(in.data, c.record);
        EXPECT_TRUE(record.stdoutWritten && record.stderrWritten) << utf8(c.record);
        if (c.plant == Plant::DanglingLink) {
            EXPECT_EQ(GetFileAttributesW(chosen.c_str()), INVALID_FILE_ATTRIBUTES);
        } else {
            EXPECT_EQ(readFile(chosen), "chosen\n") << utf8(c.record);
        }
        // The other stream keeps its file.
        EXPECT_EQ(readFile(plain), c.atErrorFile ? "probe standard output\n" : "probe standard error\n");
        std::vector<std::string> starts = bodiesFrom(logLines(in), "startProcess:startProcess");
        EXPECT_EQ(linesStartingWith(starts, "link refused"),
                  std::vector<std::string>{"link refused, NUL instead: " + utf8(planted)});
        EXPECT_TRUE(bodiesFrom(logLines(in), "loadconfig:doJob").empty());
    }
}

TEST(HostileNeighbours, AFailedStartLeavesThePreviousOutputAsItWas) {
    Installation in = install(L"Missing", "$(moduleDir)\\absent.exe");
    writeFile(in.out, "what the last run wrote\n");
    writeFile(in.err, "and why it failed\n");

    EXPECT_EQ(launch(in, L""), 0u);

    std::vector<std::string> lines = logLines(in);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(entryBody(lines[lines.size() - 2]).rfind("err:2 CreateProcess ", 0), 0u);
    EXPECT_EQ(entryBody(lines.back()), "error startProcess");
    EXPECT_EQ(readFile(in.out), "what the last run wrote\n");
    EXPECT_EQ(readFile(in.err), "and why it failed\n");
}

TEST(HostileNeighbours, TheApplicationGetsNoneOfTheCallersHandles) {
    // A script reads the launcher's output through a pipe: it must see the
    // pipe's end when the launcher ends, not when the application does.
    Installation in = install(L"Piped");
    CapturedRun run;
    ULONGLONG elapsed = millisecondsOf(
        [&] { run = runCapturingOutput(L"\"" + in.exe + L"\" --record=piped --linger=6000"); });
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(waitForProbe(in.data, L"piped").found);
    EXPECT_LT(elapsed, 3000u);
}

TEST(HostileNeighbours, ABatchFileIsNoJavaRuntime) {
    // A batch file runs through the command interpreter, which would parse
    // the user's tail anew: "&" ends a command there, even inside quotes.
    for (const char* name : {"run.bat", "RUN.CMD", "run.Bat. .", "run.cmd  "}) {
        std::string exec = std::string("$(moduleDir)\\") + name;
        Installation in = install(L"Batch", exec);
        std::wstring ran = in.data + L"\\ran.txt";
        std::wstring injected = in.data + L"\\injected.txt";
        for (const wchar_t* script : {L"\\run.bat", L"\\run.cmd"}) {
            writeFile(in.folder + script, "@echo ran > \"" + utf8(ran) + "\"\r\n");
        }

        EXPECT_EQ(launch(in, L"\"x\" & echo INJECTED > \"" + injected + L"\" & \""), 0u);

        Sleep(500);
        EXPECT_EQ(GetFileAttributesW(ran.c_str()), INVALID_FILE_ATTRIBUTES) << name;
        EXPECT_EQ(GetFileAttributesW(injected.c_str()), INVALID_FILE_ATTRIBUTES) << name;
        std::vector<std::string> lines = logLines(in);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(entryBody(lines[lines.size() - 2]),
                  "batch file refused: " + utf8(in.folder) + "\\" + name);
        EXPECT_EQ(entryBody(lines.back()), "error startProcess");
        EXPECT_TRUE(linesStartingWith(bodiesFrom(lines, "startProcess:startProcess"), "application=")
                        .empty());
    }
}
