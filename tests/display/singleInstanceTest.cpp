// One instance and one taskbar identity, through the built launcher on a
// display of its own (runOnDisplay.sh xvfb): the probe stands in for the Java
// runtime and records the startup record it got and when its window comes to
// the front; this program plays the user, who starts the application again.
#include "CppTool.h"
#include "singleInstance.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Installation {
    std::wstring folder;
    std::wstring exe;
    std::wstring log;
};

// `name`.exe (a copy of the launcher) with the probe as its Java runtime
// (javaw) and as its second program (agent), both working in the folder;
// `extra` goes into [app], `options` into [jre], `splash` into [splash].
Installation install(const std::wstring& name, const std::string& extra,
                     const std::string& options, const std::string& splash = "",
                     const std::string& exec = "") {
    Installation installation;
    installation.folder = makeTempDir(L"instance");
    installation.exe = installation.folder + L"\\" + name + L".exe";
    copyFile(LAUNCHER_EXE, installation.exe);
    std::string javaw = exec.empty() ? utf8(installProbe(installation.folder, L"javaw")) : exec;
    std::string agent = utf8(installProbe(installation.folder, L"agent"));
    std::string folder = utf8(installation.folder);
    writeFile(installation.folder + L"\\" + name + L".toml",
              "[splash]\n" + splash + "[jre]\nmain_jar = 'app.jar'\noptions = [" + options +
                  "]\n[app]\nexec = '" + javaw + "'\nexec2 = '" + agent + "'\ndata_dir = '" +
                  folder + "'\n" + extra);
    installation.log = freshLogFile(name);
    return installation;
}

// Runs the launcher to its end; its exit code, ~0 after 20 seconds. While it
// runs, a splash window of its own is looked for.
struct LauncherRun {
    unsigned long exitCode = ~0ul;
    ULONGLONG millisec = 0;
    bool splashSeen = false;
};

LauncherRun runLauncher(const Installation& installation, const std::wstring& tail = L"") {
    LauncherRun run;
    ULONGLONG startedAt = GetTickCount64();
    PROCESS_INFORMATION launcher =
        startWithoutWaiting(L"\"" + installation.exe + L"\"" + (tail.empty() ? L"" : L" " + tail));
    while (WaitForSingleObject(launcher.hProcess, 5) == WAIT_TIMEOUT &&
           GetTickCount64() - startedAt < 20000) {
        HWND splash = FindWindowW(L"APPLICATIONLAUNCHER", nullptr);
        DWORD owner = 0;
        GetWindowThreadProcessId(splash, &owner);
        run.splashSeen = run.splashSeen || (splash != nullptr && owner == launcher.dwProcessId);
    }
    run.millisec = GetTickCount64() - startedAt;
    DWORD code = ~0ul;
    if (GetExitCodeProcess(launcher.hProcess, &code) && code == STILL_ACTIVE) {
        TerminateProcess(launcher.hProcess, 99);
    }
    run.exitCode = code;
    CloseHandle(launcher.hProcess);
    return run;
}

std::vector<std::string> logBodies(const Installation& installation) {
    std::vector<std::string> bodies;
    for (const std::string& line : linesOf(readFile(installation.log))) {
        bodies.push_back(entryBody(line));
    }
    return bodies;
}

int countStartingWith(const std::vector<std::string>& bodies, const std::string& start) {
    return static_cast<int>(std::count_if(bodies.begin(), bodies.end(), [&](const std::string& b) {
        return b.rfind(start, 0) == 0;
    }));
}

// The instance's name as the launcher at `exe` makes it.
std::wstring instanceNameFor(const std::wstring& exe) {
    FakePaths paths(exe);
    WideText name;
    EXPECT_EQ(instanceNameOf(name), 0);
    return name.isNull() ? std::wstring() : std::wstring(name.get());
}

HWND probeWindow() {
    HWND window = FindWindowW(L"PROBEWINDOW", nullptr);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

template <typename Condition>
bool waitFor(Condition condition, DWORD timeoutMs) {
    for (ULONGLONG end = GetTickCount64() + timeoutMs; GetTickCount64() < end; Sleep(20)) {
        if (condition()) {
            return true;
        }
    }
    return condition();
}

// Ends every process of the instance, so that the next test finds none.
void endProcess(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process != nullptr) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

int linesIn(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    std::string text = readFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A window of this program's own, which takes the foreground from the probe.
HWND takeForeground() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OTHERWINDOW";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"OTHERWINDOW", L"another application",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300, 300, 200, 100, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    SetForegroundWindow(window);
    return window;
}

// Serves this program's window while waiting.
void pumpFor(DWORD millisec) {
    for (ULONGLONG end = GetTickCount64() + millisec; GetTickCount64() < end; Sleep(10)) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

TEST(SingleInstance, SecondStartBringsTheRunningWindowForwardAndStartsNothing) {
    Installation installation =
        install(L"OneAcme", "single_instance = true\n", "'--window-after=0', '--linger=30000'",
                "millisec = 1000\n");
    ASSERT_EQ(runLauncher(installation).exitCode, 0u);
    ASSERT_TRUE(waitForProbe(installation.folder, L"javaw").found);
    ASSERT_TRUE(waitForProbe(installation.folder, L"agent").found);
    ASSERT_TRUE(waitFor([] { return probeWindow() != nullptr; }, 10000));
    HWND window = probeWindow();
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    std::wstring foreground = installation.folder + L"\\javaw.foreground";
    DeleteFileW((installation.folder + L"\\javaw.record").c_str());
    DeleteFileW((installation.folder + L"\\agent.record").c_str());

    HWND other = takeForeground();
    pumpFor(500);
    ASSERT_EQ(GetForegroundWindow(), other);
    int before = linesIn(foreground);
    LauncherRun second = runLauncher(installation, L"--from-second");
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_LT(second.millisec, 3000u);
    EXPECT_FALSE(second.splashSeen);
    pumpFor(1000);
    EXPECT_EQ(GetForegroundWindow(), window);
    EXPECT_GT(linesIn(foreground), before) << "the probe's window never came to the front";

    // Minimised, it is restored as well.
    ShowWindow(window, SW_MINIMIZE);
    pumpFor(500);
    ASSERT_TRUE(IsIconic(window));
    LauncherRun third = runLauncher(installation);
    EXPECT_EQ(third.exitCode, 0u);
    pumpFor(1000);
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(GetForegroundWindow(), window);
    DestroyWindow(other);

    // Nothing was started again: no record, one start of each program.
    EXPECT_EQ(GetFileAttributesW((installation.folder + L"\\javaw.record").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((installation.folder + L"\\agent.record").c_str()),
              INVALID_FILE_ATTRIBUTES);
    std::vector<std::string> bodies = logBodies(installation);
    EXPECT_EQ(countStartingWith(bodies, "application="), 2) << readFile(installation.log);
    std::string already = "already running as process " + std::to_string(processId) +
                          ", its window called to the front: the command-line tail "
                          "not passed on: ";
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), already + "--from-second"), 1)
        << readFile(installation.log);
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), already), 1) << readFile(installation.log);
    std::printf("second start, start to exit: %llu ms; minimised: %llu ms\n", second.millisec,
                third.millisec);
    endProcess(processId);
}

TEST(SingleInstance, TwelveStartsAtOnceStartTheApplicationOnce) {
    Installation installation = install(L"CrowdAcme", "single_instance = true\n", "'--linger=8000'");
    std::vector<PROCESS_INFORMATION> launchers;
    for (int run = 0; run < 12; ++run) {
        launchers.push_back(startWithoutWaiting(L"\"" + installation.exe + L"\""));
    }
    for (PROCESS_INFORMATION& launcher : launchers) {
        ASSERT_EQ(WaitForSingleObject(launcher.hProcess, 30000), WAIT_OBJECT_0);
        DWORD code = ~0u;
        GetExitCodeProcess(launcher.hProcess, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(launcher.hProcess);
    }
    std::vector<std::string> bodies = logBodies(installation);
    EXPECT_EQ(countStartingWith(bodies, "commandLine="), 2) << readFile(installation.log);
    EXPECT_EQ(countStartingWith(bodies, "already running"), 11) << readFile(installation.log);
    ProbeRecord javaw = waitForProbe(installation.folder, L"javaw");
    ASSERT_TRUE(javaw.found);
    std::wstring name = instanceNameFor(installation.exe);
    DWORD processId = runningInstanceProcess(name.c_str());
    EXPECT_NE(processId, 0u);
    endProcess(processId);
}

// Java's process builder starts children with inheritance on: a helper the
// application leaves running must not keep the instance alive.
TEST(SingleInstance, EndsWithTheRuntimeNotWithAHelperItLeftRunning) {
    Installation installation =
        install(L"HelperAcme", "single_instance = true\n", "'--spawn=20000', '--linger=500'");
    ASSERT_EQ(runLauncher(installation).exitCode, 0u);
    ASSERT_TRUE(waitForProbe(installation.folder, L"javaw").found);
    ASSERT_TRUE(waitForProbe(installation.folder, L"javaw-spawned").found);
    std::wstring name = instanceNameFor(installation.exe);
    EXPECT_TRUE(waitFor([&] { return !instanceRunning(name.c_str()); }, 10000))
        << "the helper holds the instance";

    DeleteFileW((installation.folder + L"\\javaw.record").c_str());
    ASSERT_EQ(runLauncher(installation).exitCode, 0u);
    EXPECT_TRUE(waitForProbe(installation.folder, L"javaw").found);
    std::vector<std::string> bodies = logBodies(installation);
    EXPECT_EQ(countStartingWith(bodies, "already running"), 0) << readFile(installation.log);
    EXPECT_EQ(countStartingWith(bodies, "commandLine="), 4) << readFile(installation.log);
    DWORD processId = runningInstanceProcess(name.c_str());
    EXPECT_NE(processId, 0u);
    endProcess(processId);
}

// Also while the failed start's splash is still up.
TEST(SingleInstance, FailedJavaStartLeavesNoInstance) {
    Installation installation = install(L"FailAcme", "single_instance = true\n", "",
                                        "millisec = 4000\n", "C:\\windows\\nojava.exe");
    PROCESS_INFORMATION first = startWithoutWaiting(L"\"" + installation.exe + L"\"");
    const std::wstring& log = installation.log;
    ASSERT_TRUE(waitFor(
        [&] {
            return GetFileAttributesW(log.c_str()) != INVALID_FILE_ATTRIBUTES &&
                   readFile(log).find("error startProcess\n") != std::string::npos;
        },
        10000));
    std::wstring name = instanceNameFor(installation.exe);
    EXPECT_FALSE(instanceRunning(name.c_str()));
    EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the splash should still be up";
    EXPECT_EQ(runLauncher(installation, L"again").exitCode, 0u);
    WaitForSingleObject(first.hProcess, 10000);
    CloseHandle(first.hProcess);
    std::vector<std::string> bodies = logBodies(installation);
    EXPECT_EQ(countStartingWith(bodies, "error startProcess"), 2) << readFile(installation.log);
    EXPECT_EQ(countStartingWith(bodies, "already running"), 0) << readFile(installation.log);
}

// The Java runtime alone gets the id, as its title with STARTF_TITLEISAPPID
// beside STARTF_USESTDHANDLES; the second program never does. A broken id
// is not passed, and the log says why; without the key nothing changes, and
// without single_instance every start starts.
TEST(AppId, ReachesTheJavaRuntimeAloneAndOnlyWhenValid) {
    struct Case {
        const char* key;
        bool passed;
        const char* logged;
    };
    for (const Case& c : {
             Case{"app_id = 'Acme.Payroll.Desk'\n", true, "configAppId=Acme.Payroll.Desk"},
             Case{"app_id = 'Acme Payroll.Desk'\n", false,
                  "app_id not passed on: it holds a blank or a control character: "
                  "Acme Payroll.Desk"},
             Case{"", false, nullptr},
         }) {
        Installation installation = install(L"IdAcme", c.key, "'--linger=3000'");
        for (int run = 0; run < 3; ++run) {
            std::wstring record = L"run" + std::to_wstring(run);
            DeleteFileW((installation.folder + L"\\agent.record").c_str());
            ASSERT_EQ(runLauncher(installation, L"--record=" + record).exitCode, 0u) << c.key;
            ProbeRecord javaw = waitForProbe(installation.folder, record);
            ProbeRecord agent = waitForProbe(installation.folder, L"agent");
            ASSERT_TRUE(javaw.found && agent.found) << c.key;
            EXPECT_EQ(agent.startupFlags, static_cast<unsigned long>(STARTF_USESTDHANDLES)) << c.key;
            if (c.passed) {
                EXPECT_EQ(javaw.startupFlags,
                          static_cast<unsigned long>(STARTF_USESTDHANDLES | STARTF_TITLEISAPPID));
                EXPECT_EQ(javaw.startupTitle, "Acme.Payroll.Desk");
            } else {
                EXPECT_EQ(javaw.startupFlags, static_cast<unsigned long>(STARTF_USESTDHANDLES))
                    << c.key;
            }
        }
        std::vector<std::string> bodies = logBodies(installation);
        EXPECT_EQ(countStartingWith(bodies, "commandLine="), 6) << readFile(installation.log);
        EXPECT_EQ(countStartingWith(bodies, "configAppId=") +
                      countStartingWith(bodies, "app_id not passed on"),
                  c.logged != nullptr ? 3 : 0)
            << readFile(installation.log);
        if (c.logged != nullptr) {
            EXPECT_EQ(std::count(bodies.begin(), bodies.end(), c.logged), 3)
                << readFile(installation.log);
        }
    }
}
