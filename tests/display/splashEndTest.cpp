// How the splash ends and what the user is told, through the built launcher
// on a display of its own (runOnDisplay.sh xvfb): the probe stands in for the
// Java runtime, showing a window late or failing early, and this program
// watches the windows as a user would see them.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// What a test writes into the installation's configuration: lines for each
// table, and the Java runtime when it is not the probe.
struct Config {
    std::string splash;
    std::string jre;
    std::string app;
    std::string exec;
};

// An installation `name`.exe (a copy of `launcher`) in a new folder, the
// probe as its Java runtime unless `config` names another, with a log folder;
// the diagnostic log is fresh.
struct Installation {
    std::wstring folder;
    std::wstring exe;
    std::wstring log;
};

Installation install(const std::wstring& name, const Config& config,
                     const std::wstring& launcher = LAUNCHER_EXE) {
    Installation installation;
    installation.folder = makeTempDir(L"splashEnd");
    installation.exe = installation.folder + L"\\" + name + L".exe";
    copyFile(launcher, installation.exe);
    std::string exec = config.exec.empty() ? utf8(installProbe(installation.folder, L"javaw"))
                                           : config.exec;
    makeDirectories({installation.folder + L"\\logs"});
    std::string folder = utf8(installation.folder);
    writeFile(installation.folder + L"\\" + name + L".toml",
              "[splash]\n" + config.splash + "[jre]\nmain_jar = 'app.jar'\n" + config.jre +
                  "[app]\nexec = '" + exec + "'\ndata_dir = '" + folder + "'\nlog_dir = '" +
                  folder + "\\logs'\n" + config.app);
    installation.log = freshLogFile(name);
    return installation;
}

PROCESS_INFORMATION start(const Installation& installation) {
    return startWithoutWaiting(L"\"" + installation.exe + L"\"");
}

// The launcher's exit code once it has ended (within `timeoutMs`), else ~0.
unsigned long finish(PROCESS_INFORMATION& process, DWORD timeoutMs = 20000) {
    DWORD code = ~0ul;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hProcess);
    return code;
}

// A visible top-level window of class `className`, of process `processId`
// unless that is 0.
HWND findWindow(const wchar_t* className, DWORD processId) {
    struct Search {
        const wchar_t* className;
        DWORD processId;
        HWND found;
    } search{className, processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM lParam) WINAPI -> BOOL {
            Search& s = *reinterpret_cast<Search*>(lParam);
            wchar_t name[64] = L"";
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, name, 64);
            if (IsWindowVisible(window) && std::wstring(name) == s.className &&
                (s.processId == 0 || owner == s.processId)) {
                s.found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring windowText(HWND window) {
    wchar_t text[4096] = L"";
    GetWindowTextW(window, text, 4096);
    return text;
}

// What a message box said: its title and the text of its Static child.
struct MessageBoxSeen {
    bool seen = false;
    std::string title;
    std::string text;
};

// Waits up to `timeoutMs` for a message box of process `processId`, reads
// it and presses OK.
MessageBoxSeen answerMessageBox(DWORD processId, DWORD timeoutMs) {
    MessageBoxSeen box;
    for (ULONGLONG end = GetTickCount64() + timeoutMs; GetTickCount64() < end; Sleep(20)) {
        HWND window = findWindow(L"#32770", processId);
        HWND text = window != nullptr ? FindWindowExW(window, nullptr, L"Static", nullptr) : nullptr;
        // The icon is a Static child too, without text.
        while (text != nullptr && windowText(text).empty()) {
            text = FindWindowExW(window, text, L"Static", nullptr);
        }
        if (text != nullptr) {
            box.seen = true;
            box.title = utf8(windowText(window));
            box.text = utf8(windowText(text));
            PostMessageW(window, WM_COMMAND, IDOK, 0);
            return box;
        }
    }
    return box;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> logLines(const Installation& installation) {
    return linesOf(readFile(installation.log));
}

// The log entries whose body begins with `start`.
int countEntries(const std::vector<std::string>& lines, const std::string& start) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return entryBody(line).rfind(start, 0) == 0;
    }));
}

}  // namespace

// The probe shows its window a second after its start; the splash, allowed
// ten seconds, goes soon after. Five runs; the median is the figure.
TEST(SplashEnd, ClosesSoonAfterTheApplicationsWindowAppears) {
    std::vector<long long> delays;
    for (int run = 0; run < 5; ++run) {
        Installation installation =
            install(L"UntilWindow", {"millisec = 10000\nuntil_window = true\n",
                                     "options = ['--window-after=1000', '--linger=3000']\n", "",
                                     ""});
        ULONGLONG startedAt = GetTickCount64();
        PROCESS_INFORMATION launcher = start(installation);
        ULONGLONG windowAt = 0;
        ULONGLONG splashGoneAt = 0;
        bool splashSeen = false;
        while (splashGoneAt == 0 && GetTickCount64() - startedAt < 15000) {
            bool splashUp = findWindow(L"APPLICATIONLAUNCHER", launcher.dwProcessId) != nullptr;
            splashSeen = splashSeen || splashUp;
            if (windowAt == 0 && findWindow(L"PROBEWINDOW", 0) != nullptr) {
                windowAt = GetTickCount64();
            }
            if (splashSeen && !splashUp) {
                splashGoneAt = GetTickCount64();
            }
            Sleep(5);
        }
        EXPECT_EQ(finish(launcher), 0u);
        ASSERT_TRUE(splashSeen) << "run " << run;
        ASSERT_NE(windowAt, 0u) << "the probe's window never appeared, run " << run;
        ASSERT_NE(splashGoneAt, 0u) << "run " << run;
        long long delay = static_cast<long long>(splashGoneAt) - static_cast<long long>(windowAt);
        delays.push_back(delay);
        // Not before the window either: the splash waits for it.
        EXPECT_GE(delay, 0) << "run " << run;
        EXPECT_LT(delay, 1000) << "run " << run;
        EXPECT_LT(splashGoneAt - startedAt, 6000u) << "run " << run;
        std::vector<std::string> lines = logLines(installation);
        EXPECT_EQ(countEntries(lines, "splash closed after "), 1) << readFile(installation.log);
        EXPECT_TRUE(contains(readFile(installation.log), " ms: the application's window appeared"))
            << readFile(installation.log);
        // Wait for the probe, so that the next run finds only its own window.
        for (int wait = 0; wait < 100 && findWindow(L"PROBEWINDOW", 0) != nullptr; ++wait) {
            Sleep(50);
        }
    }
    std::vector<long long> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    std::printf("splash closed after the probe's window appeared, ms:");
    for (long long delay : delays) {
        std::printf(" %lld", delay);
    }
    std::printf("; median %lld\n", sorted[sorted.size() / 2]);
}

// A close from another program the moment the window exists, before the
// start message: the application starts all the same, once. Three runs of
// each way to end the window early.
TEST(SplashEnd, CloseThatBeatsTheStartStillStartsTheApplicationOnce) {
    struct Case {
        UINT message;
        bool sent;
        const char* name;
    };
    for (const Case& c : {Case{WM_CLOSE, false, "WM_CLOSE posted"},
                          Case{WM_CLOSE, true, "WM_CLOSE sent"},
                          Case{WM_QUIT, false, "WM_QUIT posted"}}) {
        for (int run = 0; run < 3; ++run) {
            Installation installation = install(L"ClosedEarly", {"millisec = 8000\n", "", "", ""});
            ULONGLONG startedAt = GetTickCount64();
            PROCESS_INFORMATION launcher = start(installation);
            HWND splash = nullptr;
            while (splash == nullptr && GetTickCount64() - startedAt < 10000) {
                splash = FindWindowW(L"APPLICATIONLAUNCHER", nullptr);
            }
            ASSERT_NE(splash, nullptr) << c.name;
            if (c.sent) {
                SendMessageTimeoutW(splash, c.message, 0, 0, SMTO_NORMAL, 2000, nullptr);
            } else {
                PostMessageW(splash, c.message, 0, 0);
            }
            EXPECT_EQ(finish(launcher), 0u) << c.name;
            EXPECT_LT(GetTickCount64() - startedAt, 5000u) << c.name << ": the splash stayed";
            EXPECT_TRUE(waitForProbe(installation.folder, L"javaw").found) << c.name;
            std::vector<std::string> lines = logLines(installation);
            EXPECT_EQ(countEntries(lines, "application="), 1) << c.name << "\n"
                                                             << readFile(installation.log);
            EXPECT_EQ(countEntries(lines, "splash window closed before "), 1)
                << c.name << "\n"
                << readFile(installation.log);
        }
    }
}

// The runtime ends with code 3 after a line to standard error: the splash
// goes at once, and the box quotes the code and the line.
TEST(FailureMessage, EarlyEndClosesTheSplashAndQuotesTheErrorOutput) {
    Installation installation =
        install(L"EndsEarly", {"millisec = 10000\nuntil_window = true\n",
                               "options = ['--linger=500', '--exit-code=3']\n",
                               "show_failure = true\n", ""});
    ULONGLONG startedAt = GetTickCount64();
    PROCESS_INFORMATION launcher = start(installation);
    MessageBoxSeen box = answerMessageBox(launcher.dwProcessId, 8000);
    ULONGLONG boxAt = GetTickCount64();
    EXPECT_EQ(finish(launcher), 0u);
    ASSERT_TRUE(box.seen) << readFile(installation.log);
    EXPECT_LT(boxAt - startedAt, 5000u) << "the splash did not close when the runtime ended";
    EXPECT_EQ(box.title, "Application launcher");
    EXPECT_TRUE(contains(box.text, "exit code 3")) << box.text;
    EXPECT_TRUE(contains(box.text, "probe failing with exit code 3")) << box.text;
    EXPECT_TRUE(contains(box.text, utf8(installation.log))) << box.text;
    std::string log = readFile(installation.log);
    EXPECT_TRUE(contains(log, " ms: the Java runtime ended with exit code 3")) << log;
    EXPECT_EQ(countEntries(logLines(installation), "showing the failure message: "), 1) << log;
}

// A runtime that is not there: with show_failure the box, titled with the
// branded description, names the program and the system's reason; without
// it no window appears at all.
TEST(FailureMessage, MissingRuntimeIsNamedUnderTheBrandedNameOrNotAtAll) {
    std::wstring branded = makeTempDir(L"brandedLauncher") + L"\\Payroll.exe";
    CapturedRun brand = runLauncherTool(
        {L"brand", L"--description", L"Acmé Payroll", LAUNCHER_EXE, branded});
    ASSERT_EQ(brand.exitCode, 0u) << brand.output;
    wchar_t reason[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_FILE_NOT_FOUND, 0, reason, 512, nullptr);
    std::string reasonText = utf8(reason);
    reasonText = reasonText.substr(0, reasonText.find_last_not_of("\r\n ") + 1);

    for (bool showFailure : {true, false}) {
        Installation installation =
            install(L"Payroll",
                    {"", "", showFailure ? "show_failure = true\n" : "", "C:\\windows\\nojava.exe"},
                    branded);
        PROCESS_INFORMATION launcher = start(installation);
        if (showFailure) {
            MessageBoxSeen box = answerMessageBox(launcher.dwProcessId, 8000);
            EXPECT_EQ(finish(launcher), 0u);
            ASSERT_TRUE(box.seen) << readFile(installation.log);
            EXPECT_EQ(box.title, "Acmé Payroll");
            EXPECT_TRUE(contains(box.text, "C:\\windows\\nojava.exe")) << box.text;
            EXPECT_TRUE(contains(box.text, reasonText)) << box.text << "\nwanted: " << reasonText;
        } else {
            bool windowSeen = false;
            while (WaitForSingleObject(launcher.hProcess, 10) == WAIT_TIMEOUT) {
                windowSeen = windowSeen || findWindow(L"#32770", launcher.dwProcessId) != nullptr;
            }
            EXPECT_FALSE(windowSeen);
            EXPECT_EQ(finish(launcher), 0u);
            EXPECT_FALSE(contains(readFile(installation.log), "failure message"));
        }
    }
}
