// `launchertool check` as a deployer runs it: the built tool on an
// installation made under Wine, with the JSON form read back.
#include "CppTool.h"
#include "singleInstance.h"
#include "testSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

using nlohmann::json;

std::wstring systemFolder() {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    return system;
}

// An installation with every file its configuration names: the launcher's
// copy, a windowed runtime and second program, a jar, a splash image, and a
// data and a log folder of its own.
struct Installation {
    std::wstring folder;
    std::wstring exe;
    std::wstring data;
    std::wstring logs;
};

Installation makeInstallation(const std::wstring& hint, const std::wstring& name = L"Acme") {
    Installation installation;
    installation.folder = makeTempDir(hint);
    installation.exe = installation.folder + L"\\" + name + L".exe";
    installation.data = installation.folder + L"\\data";
    installation.logs = installation.folder + L"\\log";
    for (const wchar_t* folder : {L"\\bin", L"\\jre", L"\\jre\\bin", L"\\app", L"\\data", L"\\log"}) {
        CreateDirectoryW((installation.folder + folder).c_str(), nullptr);
    }
    copyFile(LAUNCHER_EXE, installation.exe);
    installProbe(installation.folder + L"\\jre\\bin", L"javaw");
    installProbe(installation.folder + L"\\bin", L"agent");
    copyFile(SPLASH_PNG, installation.folder + L"\\splash.ico");
    // The smallest ZIP archive: its end record alone.
    writeFile(installation.folder + L"\\app\\main.jar", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    return installation;
}

// The worked example with its data and log folders inside the installation,
// so that no two cases share a folder.
std::string exampleIn(const Installation& installation) {
    std::string config = workedExample;
    auto replace = [&](const std::string& from, const std::string& to) {
        config.replace(config.find(from), from.size(), to);
    };
    replace("log_dir = '$(programData)\\Example\\log'", "log_dir = '" + utf8(installation.logs) + "'");
    replace("data_dir = '$(programData)\\Example'", "data_dir = '" + utf8(installation.data) + "'");
    return config;
}

std::wstring checkCommand(const Installation& installation, const wchar_t* options = L" --json") {
    return std::wstring(L"\"") + LAUNCHERTOOL_EXE + L"\" check" + options + L" \"" +
           installation.exe + L"\"";
}

json checkAsJson(const Installation& installation, unsigned long* exitCode = nullptr,
                 const std::wstring& directory = L"") {
    CapturedRun run = runCapturingOutput(checkCommand(installation), false, directory);
    if (exitCode != nullptr) {
        *exitCode = run.exitCode;
    }
    json report = json::parse(run.output, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << run.output;
    return report;
}

std::vector<std::string> codesOf(const json& report) {
    std::vector<std::string> codes;
    for (const json& finding : report["findings"]) {
        codes.push_back(finding["code"].get<std::string>());
    }
    return codes;
}

// The diagnostic log folder set aside for the scope's lifetime.
class WithoutLogFolder {
public:
    WithoutLogFolder() : folder_(logDirectory()), aside_(folder_ + L"-aside") {
        EXPECT_TRUE(MoveFileW(folder_.c_str(), aside_.c_str())) << GetLastError();
    }
    WithoutLogFolder(const WithoutLogFolder&) = delete;
    WithoutLogFolder& operator=(const WithoutLogFolder&) = delete;
    ~WithoutLogFolder() { EXPECT_TRUE(MoveFileW(aside_.c_str(), folder_.c_str())) << GetLastError(); }

private:
    std::wstring folder_;
    std::wstring aside_;
};

// One installation with exactly one problem.
struct ProblemCase {
    const char* code;
    const char* key;  // "" for none
    int line;         // 0 for none
    // Changes the example's text; the installation's files may be changed too.
    std::function<void(const Installation&, std::string& config)> make;
    const wchar_t* runIn = nullptr;  // "folder": run from the installation's folder
};

void replaceIn(std::string& config, const std::string& from, const std::string& to) {
    std::size_t at = config.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    config.replace(at, from.size(), to);
}

void remove(const std::wstring& path) {
    EXPECT_TRUE(DeleteFileW(path.c_str()) || RemoveDirectoryW(path.c_str())) << utf8(path);
}

const ProblemCase problemCases[] = {
    {"config-missing", "", 0, [](const Installation&, std::string& config) { config.clear(); }},
    {"config-invalid", "", 18, [](const Installation&, std::string& config) { config += "[app\n"; }},
    {"unknown-table", "App", 18,
     [](const Installation&, std::string& config) { config += "[App]\nexec = 'x'\n"; }},
    {"unknown-key", "jre.mainjar", 10,
     [](const Installation&, std::string& config) {
         replaceIn(config, "[jre]\n", "[jre]\nmainjar = 'app\\main.jar'\n");
     }},
    {"wrong-type", "splash.millisec", 4,
     [](const Installation&, std::string& config) {
         replaceIn(config, "millisec = 2500", "millisec = '2500'");
     }},
    {"not-a-string", "jre.options", 11,
     [](const Installation&, std::string& config) { replaceIn(config, "'-Xmx512m'", "512"); }},
    {"placeholder-unexpanded", "jre.options", 11,
     [](const Installation&, std::string& config) {
         replaceIn(config, "-Dapp.home=$(programData)", "-Dapp.home=$(moduleDir)");
     }},
    {"control-character", "jre.options", 11,
     [](const Installation&, std::string& config) {
         replaceIn(config, "'-Xms64m'", "\"-Dapp.tmp=C:\\new\"");
     }},
    {"millisec-clamped", "splash.millisec", 4,
     [](const Installation&, std::string& config) {
         replaceIn(config, "millisec = 2500", "millisec = 70000");
     }},
    {"until-window-unused", "splash.until_window", 5,
     [](const Installation&, std::string& config) {
         replaceIn(config, "millisec = 2500", "millisec = 0\nuntil_window = true");
     }},
    {"until-window-unused", "splash.until_window", 5,
     [](const Installation&, std::string& config) {
         replaceIn(config, "millisec = 2500", "millisec = 2500\nuntil_window = true");
         replaceIn(config, "main_jar = '$(moduleDir)\\app\\main.jar'\n", "");
     }},
    {"wrong-type", "app.show_failure", 18,
     [](const Installation&, std::string& config) { config += "show_failure = 'true'\n"; }},
    {"app-id-invalid", "app.app_id", 18,
     [](const Installation&, std::string& config) { config += "app_id = 'Acme Payroll'\n"; }},
    {"option-with-blank", "jre.options", 11,
     [](const Installation&, std::string& config) {
         replaceIn(config, "'-Xms64m'", "'-Dapp.dir=C:\\Program Files\\Acme'");
     }},
    {"image-missing", "splash.image", 3,
     [](const Installation& installation, std::string&) {
         remove(installation.folder + L"\\splash.ico");
     }},
    {"image-invalid", "splash.image", 3,
     [](const Installation& installation, std::string&) {
         // A whole .ico file: the directory with one entry, then the image.
         std::string png = readFile(SPLASH_PNG);
         std::string directory("\0\0\1\0\1\0", 6);
         std::string entry("\0\0\0\0\1\0\x20\0", 8);
         for (std::uint32_t value : {static_cast<std::uint32_t>(png.size()), std::uint32_t{22}}) {
             for (int byte = 0; byte < 4; ++byte) {
                 entry += static_cast<char>((value >> (8 * byte)) & 0xFF);
             }
         }
         writeFile(installation.folder + L"\\splash.ico", directory + entry + png);
     }},
    {"runtime-missing", "app.exec", 14,
     [](const Installation& installation, std::string&) {
         remove(installation.folder + L"\\jre\\bin\\javaw.exe");
     }},
    {"runtime-console", "app.exec", 14,
     [](const Installation& installation, std::string&) {
         // The tool itself is a console program.
         copyFile(LAUNCHERTOOL_EXE, installation.folder + L"\\jre\\bin\\javaw.exe");
     }},
    {"path-redirected", "app.exec2", 15,
     [](const Installation&, std::string& config) {
         replaceIn(config, "exec2 = '$(moduleDir)\\bin\\agent.exe'",
                   "exec2 = '" + utf8(systemFolder()) + "\\notepad.exe'");
     }},
    {"relative-path", "app.exec", 14,
     [](const Installation&, std::string& config) {
         replaceIn(config, "exec = '$(moduleDir)\\jre", "exec = 'jre");
     },
     L"folder"},
    {"jar-missing", "jre.main_jar", 10,
     [](const Installation& installation, std::string&) {
         remove(installation.folder + L"\\app\\main.jar");
     }},
    {"second-missing", "app.exec2", 15,
     [](const Installation& installation, std::string&) {
         remove(installation.folder + L"\\bin\\agent.exe");
     }},
    {"data-dir-missing", "app.data_dir", 17,
     [](const Installation& installation, std::string&) { remove(installation.data); }},
    {"log-dir-missing", "app.log_dir", 16,
     [](const Installation& installation, std::string&) { remove(installation.logs); }},
    {"log-folder-missing", "", 0, [](const Installation&, std::string&) {}},
    {"command-line-too-long", "", 0,
     [](const Installation&, std::string& config) {
         replaceIn(config, "'-Xms64m'", "'-Dapp.filler=" + std::string(33000, 'x') + "'");
     }},
    {"batch-file", "app.exec", 14,
     [](const Installation& installation, std::string& config) {
         writeFile(installation.folder + L"\\jre\\bin\\run.BAT", "@echo off\r\n");
         replaceIn(config, "javaw.exe'", "run.BAT'");
     }},
    {"starts-launcher", "app.exec2", 15,
     [](const Installation&, std::string& config) {
         replaceIn(config, "$(moduleDir)\\bin\\agent.exe", "$(moduleDir)\\bin\\..\\ACME.EXE");
     }},
    {"launcher-folder", "", 0,
     [](const Installation& installation, std::string&) {
         remove(installation.exe);
         EXPECT_TRUE(CreateDirectoryW(installation.exe.c_str(), nullptr)) << GetLastError();
     }},
    {"nothing-to-start", "", 0,
     [](const Installation&, std::string& config) {
         replaceIn(config, "main_jar = '$(moduleDir)\\app\\main.jar'\n", "");
         replaceIn(config, "exec2 = '$(moduleDir)\\bin\\agent.exe'\n", "");
     }},
};

}  // namespace

TEST(LauncherToolCheck, TheWorkedExampleInstalledWithAllItsFilesIsClean) {
    Installation installation = makeInstallation(L"check-clean");
    writeFile(installation.folder + L"\\Acme.toml", workedExample);
    std::wstring programData = systemFolder().substr(0, 2) + L"\\ProgramData";
    CreateDirectoryW((programData + L"\\Example").c_str(), nullptr);
    CreateDirectoryW((programData + L"\\Example\\log").c_str(), nullptr);
    logDirectory();

    unsigned long exitCode = ~0ul;
    json report = checkAsJson(installation, &exitCode);

    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(report["findings"], json::array()) << report.dump(2);
    EXPECT_EQ(report["installation"]["configFile"], utf8(installation.folder) + "\\Acme.toml");
    EXPECT_EQ(report["installation"]["logKept"], true);
    EXPECT_EQ(report["settings"]["configMainJar"], utf8(installation.folder) + "\\app\\main.jar");
    EXPECT_EQ(report["showFailure"], false);
    EXPECT_EQ(report["splash"],
              json({{"millisec", 2500},
                    {"untilWindow", false},
                    {"image", utf8(installation.folder) + "\\splash.ico"},
                    {"width", 300},
                    {"height", 150}}));
}

// Installed under a folder whose name holds both placeholders: each key took
// its placeholders, and the folder went in as it is.
TEST(LauncherToolCheck, PlaceholdersInTheInstallationFolderNameAreNoFindings) {
    Installation installation = makeInstallation(L"$(moduleDir)$(programData)");
    writeFile(installation.folder + L"\\Acme.toml", workedExample);
    std::wstring programData = systemFolder().substr(0, 2) + L"\\ProgramData";
    makeDirectories({programData + L"\\Example", programData + L"\\Example\\log"});
    logDirectory();

    json report = checkAsJson(installation);

    EXPECT_EQ(report["findings"], json::array()) << report.dump(2);
    EXPECT_EQ(report["settings"]["configMainJar"], utf8(installation.folder) + "\\app\\main.jar");
}

// NUL is a device on every system, COM1 where the host has a serial port,
// whose reading can block for good; a host without one makes COM1 a missing
// file instead. The check reads neither, and ends.
TEST(LauncherToolCheck, DevicesAreReportedAndNeverRead) {
    for (std::string device : {"NUL", "COM1"}) {
        SCOPED_TRACE(device);
        Installation installation = makeInstallation(L"check-device");
        std::string config = exampleIn(installation);
        replaceIn(config, "image = 'splash.ico'", "image = '" + device + "'");
        replaceIn(config, "exec2 = '$(moduleDir)\\bin\\agent.exe'",
                  "exec2 = '\\\\.\\" + device + "'");
        writeFile(installation.folder + L"\\Acme.toml", config);
        logDirectory();

        json report = checkAsJson(installation);

        ASSERT_EQ(codesOf(report).size(), 2u) << report["findings"].dump(2);
        EXPECT_EQ(codesOf(report)[0], "second-missing");
        std::string image = report["findings"][1]["message"];
        EXPECT_TRUE(image.find("names a device") != std::string::npos ||
                    (device == "COM1" && report["findings"][1]["code"] == "image-missing"))
            << image;
    }
}

// A 64-bit program is fine on 64-bit Windows (the run under WoW64), also for
// the 32-bit launcher; 32-bit Windows refuses to start it.
TEST(LauncherToolCheck, ProgramsForAProcessorTheSystemCannotRunAreErrors) {
    Installation installation = makeInstallation(L"check-machine");
    copyFile(PROBE64_EXE, installation.folder + L"\\jre\\bin\\javaw.exe");
    copyFile(PROBE64_EXE, installation.folder + L"\\bin\\agent.exe");
    writeFile(installation.folder + L"\\Acme.toml", exampleIn(installation));
    logDirectory();

    json report = checkAsJson(installation);

    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    std::vector<std::string> expected;
    if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) {
        expected = {"other-processor app.exec", "other-processor app.exec2"};
    }
    std::vector<std::string> found;
    for (const json& finding : report["findings"]) {
        found.push_back(finding["code"].get<std::string>() + " " +
                        finding["key"].get<std::string>());
    }
    EXPECT_EQ(found, expected) << report["findings"].dump(2);
}

// A header whose optional-header kind does not fit its machine (a 64-bit
// header on an x86 program, a 32-bit one on an x64 program): no Windows
// starts it (error 193), whatever processor it runs on.
TEST(LauncherToolCheck, AHeaderKindThatDoesNotFitItsMachineIsAnError) {
    Installation installation = makeInstallation(L"check-mismatch");
    auto withMagic = [](const std::wstring& program, const std::wstring& path, WORD magic) {
        std::string bytes = readFile(program);
        DWORD nt = 0;
        std::memcpy(&nt, &bytes[0x3C], sizeof nt);
        std::memcpy(&bytes[nt + 24], &magic, sizeof magic);
        writeFile(path, bytes);
    };
    withMagic(PROBE_EXE, installation.folder + L"\\jre\\bin\\javaw.exe", IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    withMagic(PROBE64_EXE, installation.folder + L"\\bin\\agent.exe", IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    writeFile(installation.folder + L"\\Acme.toml", exampleIn(installation));
    logDirectory();

    json report = checkAsJson(installation);

    std::vector<std::string> found;
    for (const json& finding : report["findings"]) {
        found.push_back(finding["code"].get<std::string>() + " " + finding["key"].get<std::string>());
    }
    EXPECT_EQ(found, (std::vector<std::string>{"image-mismatch app.exec", "image-mismatch app.exec2"}))
        << report["findings"].dump(2);
    ASSERT_FALSE(report["findings"].empty());
    EXPECT_NE(report["findings"][0]["message"].get<std::string>().find(
                  "whose header says x86 (32-bit) but whose optional header is of the other kind (64-bit)"),
              std::string::npos)
        << report["findings"][0]["message"];
}

// A file held by an updater or an editor is not missing: close that program.
TEST(LauncherToolCheck, ConfigurationHeldByAnotherProgramIsNamedAsSuch) {
    Installation installation = makeInstallation(L"check-held");
    std::wstring config = installation.folder + L"\\Acme.toml";
    writeFile(config, exampleIn(installation));
    HANDLE held = CreateFileW(config.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();

    json report = checkAsJson(installation);
    CloseHandle(held);

    ASSERT_EQ(codesOf(report), std::vector<std::string>{"config-missing"}) << report.dump(2);
    std::string message = report["findings"][0]["message"];
    EXPECT_NE(message.find("close the program that holds it"), std::string::npos) << message;
    EXPECT_EQ(message.find("beside the executable"), std::string::npos) << message;
}

TEST(LauncherToolCheck, EachProblemGivesItsOwnFindingAndNothingElse) {
    for (const ProblemCase& problem : problemCases) {
        SCOPED_TRACE(problem.code);
        Installation installation = makeInstallation(L"check-problem");
        std::string config = exampleIn(installation);
        problem.make(installation, config);
        if (!config.empty()) {
            writeFile(installation.folder + L"\\Acme.toml", config);
        }
        logDirectory();
        std::wstring directory = problem.runIn != nullptr ? installation.folder : L"";

        json report;
        if (std::string(problem.code) == "log-folder-missing") {
            WithoutLogFolder withoutLogFolder;
            report = checkAsJson(installation, nullptr, directory);
        } else {
            report = checkAsJson(installation, nullptr, directory);
        }

        ASSERT_EQ(codesOf(report), std::vector<std::string>{problem.code}) << report["findings"].dump(2);
        const json& finding = report["findings"][0];
        EXPECT_EQ(finding["key"], *problem.key != '\0' ? json(problem.key) : json(nullptr));
        EXPECT_EQ(finding["line"], problem.line != 0 ? json(problem.line) : json(nullptr));
        EXPECT_FALSE(finding["message"].get<std::string>().empty());
    }
}

TEST(LauncherToolCheck, ExitsWith1ForAnErrorAnd2WhenItCannotCheck) {
    Installation installation = makeInstallation(L"check-exit");
    writeFile(installation.folder + L"\\Acme.toml", exampleIn(installation));
    logDirectory();
    EXPECT_EQ(runCapturingOutput(checkCommand(installation)).exitCode, 0u);
    EXPECT_EQ(runCapturingOutput(checkCommand(installation, L"")).exitCode, 0u);

    // A warning alone still exits with 0.
    writeFile(installation.folder + L"\\Acme.toml", exampleIn(installation) + "[jvm]\n");
    EXPECT_EQ(runCapturingOutput(checkCommand(installation)).exitCode, 0u);

    remove(installation.folder + L"\\app\\main.jar");
    EXPECT_EQ(runCapturingOutput(checkCommand(installation)).exitCode, 1u);
    EXPECT_EQ(runCapturingOutput(checkCommand(installation, L"")).exitCode, 1u);

    std::wstring tool = std::wstring(L"\"") + LAUNCHERTOOL_EXE + L"\" check";
    for (const std::wstring& arguments :
         {std::wstring(), std::wstring(L" --json"), L" --verbose \"" + installation.exe + L"\"",
          L" \"" + installation.exe + L"\" second.exe",
          // Paths the launcher itself refuses: no .exe name, longer than a
          // module path can be.
          L" \"" + installation.folder + L"\\Acme.com\"", L" \"" + installation.folder + L"\"",
          L" \"" + installation.folder + L"\\" + std::wstring(MAX_PATH, L'a') + L".exe\""}) {
        CapturedRun run = runCapturingOutput(tool + arguments);
        EXPECT_EQ(run.exitCode, 2u) << utf8(arguments);
        EXPECT_EQ(run.output, "") << utf8(arguments);
    }
}

// Key names are the deployer's, or an attacker's: one holding a line feed
// would forge a summary line, an escape sequence would reach the terminal.
TEST(LauncherToolCheck, TextFormShowsEachSectionInOrderWithTheLoggedSettings) {
    Installation installation = makeInstallation(L"check-text");
    writeFile(installation.folder + L"\\Acme.toml",
              exampleIn(installation) + "\"x\\n0 errors, 0 warnings\" = 1\n\"\\u001b[2J\" = 2\n");
    remove(installation.folder + L"\\bin\\agent.exe");
    logDirectory();

    CapturedRun run = runCapturingOutput(checkCommand(installation, L""));

    std::vector<std::string> lines = linesOf(run.output);
    std::vector<std::string> headings;
    std::vector<std::string> settingsShown;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] != ' ') {
            headings.push_back(line);
        } else if (!headings.empty() && headings.back() == "Effective settings" && !line.empty()) {
            settingsShown.push_back(line);
        }
    }
    EXPECT_EQ(headings, (std::vector<std::string>{"Installation", "Effective settings", "Splash",
                                                  "Starts", "Findings", "1 error, 2 warnings"}))
        << run.output;
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos);
    EXPECT_EQ(
        linesStartingWith(lines, "  warning unknown-key app.x\\n0 errors, 0 warnings, line 18").size(),
        1u)
        << run.output;
    std::string dir = utf8(installation.folder);
    std::vector<std::string> settings = {
        "  configApplication=" + dir + "\\jre\\bin\\javaw.exe",
        "  configApplication2=" + dir + "\\bin\\agent.exe",
        "  configDataDir=" + utf8(installation.data),
        "  configLogDir=" + utf8(installation.logs),
        "  configPath=PATH=" + dir + "\\jre\\bin;" + utf8(systemFolder()),
        "  configMainJar=" + dir + "\\app\\main.jar",
        "  configJavaOptions=-Xms64m -Xmx512m -Dapp.home=" + utf8(systemFolder().substr(0, 2)) +
            "\\ProgramData\\Example ",
    };
    EXPECT_EQ(settingsShown, settings);
    EXPECT_EQ(linesStartingWith(lines, "  error second-missing app.exec2, line 15: ").size(), 1u)
        << run.output;
}

// The failure message is promised for an early end only where a splash
// lasting until the window watches for one.
TEST(LauncherToolCheck, TheFailureMessageIsPromisedOnlyForWhatIsWatched) {
    struct Case {
        const char* splash;
        const char* promise;
    };
    for (const Case& c : {Case{"millisec = 2500\nuntil_window = true",
                               "shown when the Java runtime cannot start or ends before its window"},
                          Case{"millisec = 2500", "shown when the Java runtime cannot start"}}) {
        Installation installation = makeInstallation(L"check-failure");
        std::string config = exampleIn(installation) + "show_failure = true\n";
        replaceIn(config, "millisec = 2500", c.splash);
        writeFile(installation.folder + L"\\Acme.toml", config);
        logDirectory();
        std::vector<std::string> lines =
            linesStartingWith(linesOf(runCapturingOutput(checkCommand(installation, L"")).output),
                              "  failure message");
        ASSERT_EQ(lines.size(), 1u) << c.splash;
        EXPECT_EQ(lines[0].substr(21), c.promise) << c.splash;
    }
}

namespace {

struct FileState {
    bool exists = false;
    std::string content;
    FILETIME written{};
};

FileState stateOf(const std::wstring& path) {
    FileState state;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    state.exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    if (state.exists) {
        state.content = readFile(path);
        state.written = data.ftLastWriteTime;
    }
    return state;
}

std::vector<std::string> listing(const std::wstring& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(utf8(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

void expectUnchanged(const std::wstring& path, const FileState& before) {
    FileState after = stateOf(path);
    EXPECT_EQ(after.exists, before.exists) << utf8(path);
    EXPECT_EQ(after.content, before.content) << utf8(path);
    EXPECT_EQ(CompareFileTime(&after.written, &before.written), 0) << utf8(path);
}

}  // namespace

TEST(LauncherToolCheck, LeavesEveryFileItLooksAtAsItWas) {
    // Both forms, once with the output files and the log there, once without.
    for (bool filesThere : {true, false}) {
        SCOPED_TRACE(filesThere ? "files there" : "no files");
        Installation installation = makeInstallation(L"check-unchanged", L"Unchanged");
        writeFile(installation.folder + L"\\Unchanged.toml", exampleIn(installation));
        std::wstring log = freshLogFile(L"Unchanged");
        std::vector<std::wstring> files = {log, installation.logs + L"\\out_Unchanged.log",
                                           installation.logs + L"\\err_Unchanged.log"};
        if (filesThere) {
            for (const std::wstring& file : files) {
                writeFile(file, "an earlier run's lines\n");
            }
        }
        files.push_back(installation.folder + L"\\Unchanged.toml");
        files.push_back(installation.folder + L"\\splash.ico");
        files.push_back(installation.folder + L"\\app\\main.jar");
        std::vector<FileState> before;
        for (const std::wstring& file : files) {
            before.push_back(stateOf(file));
        }
        std::vector<std::wstring> folders = {installation.folder, installation.data,
                                             installation.logs, logDirectory()};
        std::vector<std::vector<std::string>> listed;
        for (const std::wstring& folder : folders) {
            listed.push_back(listing(folder));
        }

        EXPECT_EQ(runCapturingOutput(checkCommand(installation)).exitCode, 0u);
        EXPECT_EQ(runCapturingOutput(checkCommand(installation, L"")).exitCode, 0u);

        for (std::size_t i = 0; i < files.size(); ++i) {
            expectUnchanged(files[i], before[i]);
        }
        for (std::size_t i = 0; i < folders.size(); ++i) {
            EXPECT_EQ(listing(folders[i]), listed[i]) << utf8(folders[i]);
        }
        // Nothing was started: the runtime and the second program leave no record.
        EXPECT_EQ(GetFileAttributesW((installation.data + L"\\javaw.record").c_str()),
                  INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesW((installation.data + L"\\agent.record").c_str()),
                  INVALID_FILE_ATTRIBUTES);
    }
}

TEST(LauncherToolCheck, StartsAreTheOnesTheLauncherLogsWhenItMakesThem) {
    Installation installation = makeInstallation(L"check-starts", L"Starts");
    writeFile(installation.folder + L"\\Starts.toml", exampleIn(installation));
    std::wstring log = freshLogFile(L"Starts");

    json report = checkAsJson(installation);
    EXPECT_EQ(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(runAndWait(L"\"" + installation.exe + L"\""), 0u);
    waitForProbe(installation.data, L"agent");
    waitForProbe(installation.data, L"javaw");

    // The launcher's own account of each start, in the log's words.
    std::vector<json> logged;
    json start;
    bool inEnvironment = false;
    for (const std::string& body : bodiesFrom(linesOf(readFile(log)), "startProcess:startProcess")) {
        if (body == "----") {
            inEnvironment = !inEnvironment;
            if (inEnvironment) {
                start = {{"environment", json::array()}};
            }
        } else if (inEnvironment) {
            start["environment"].push_back(body);
        } else {
            std::size_t equals = body.find('=');
            std::string name = body.substr(0, equals);
            std::string field = name == "outLog" ? "stdout" : name == "errLog" ? "stderr" : name;
            start[field] = body.substr(equals + 1);
            if (name == "currentDirectory") {
                logged.push_back(start);
            }
        }
    }
    ASSERT_EQ(report["starts"].size(), 2u) << report.dump(2);
    ASSERT_EQ(logged.size(), 2u);
    for (std::size_t i = 0; i < logged.size(); ++i) {
        json composed = report["starts"][i];
        EXPECT_EQ(composed["program"], i == 0 ? "second" : "java");
        composed.erase("program");
        EXPECT_EQ(composed, logged[i]);
    }
}

// Second names planted where the launcher writes: it refuses each and writes
// to the null device instead, and check says so before it happens.
TEST(LauncherToolCheck, FilesTheLauncherWouldRefuseAreFindingsAndTheirStreamsTheNullDevice) {
    Installation installation = makeInstallation(L"check-links", L"Linked");
    writeFile(installation.folder + L"\\Linked.toml", exampleIn(installation));
    std::wstring log = freshLogFile(L"Linked");
    std::wstring target = installation.folder + L"\\secret.txt";
    writeFile(target, "not the launcher's\n");
    const std::wstring planted[] = {log, installation.logs + L"\\out_Linked.log",
                                    installation.logs + L"\\err_Linked.log"};
    for (const std::wstring& name : planted) {
        ASSERT_TRUE(CreateHardLinkW(name.c_str(), target.c_str(), nullptr)) << GetLastError();
    }

    json report = checkAsJson(installation);
    std::vector<std::string> codes = codesOf(report);
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<std::string>{"log-refused", "output-refused", "output-refused"}))
        << report["findings"].dump(2);
    EXPECT_EQ(report["installation"]["logKept"], false);
    ASSERT_EQ(report["starts"].size(), 2u) << report.dump(2);
    EXPECT_EQ(report["starts"][1]["stdout"], "NUL");
    EXPECT_EQ(report["starts"][1]["stderr"], "NUL");
    EXPECT_EQ(readFile(target), "not the launcher's\n");
    DeleteFileW(log.c_str());
}

// The instance's name is the one the launcher makes, and an instance that
// runs is reported as running; the id stands in the Java start alone.
TEST(LauncherToolCheck, ReportsTheInstanceAndTheJavaRuntimesAppId) {
    Installation installation = makeInstallation(L"check-instance", L"Single");
    std::string config = exampleIn(installation);
    replaceIn(config, "'-Xms64m'", "'--linger=8000'");
    writeFile(installation.folder + L"\\Single.toml",
              config + "single_instance = true\napp_id = 'Acme.Payroll'\n");
    freshLogFile(L"Single");

    json before = checkAsJson(installation);
    EXPECT_EQ(before["findings"], json::array()) << before.dump(2);
    ASSERT_EQ(before["starts"].size(), 2u);
    EXPECT_FALSE(before["starts"][0].contains("appId"));
    EXPECT_EQ(before["starts"][1]["appId"], "Acme.Payroll");
    EXPECT_EQ(before["singleInstance"]["enabled"], true);
    EXPECT_EQ(before["singleInstance"]["running"], false);
    EXPECT_EQ(before["singleInstance"]["processId"], nullptr);

    {
        FakePaths paths(installation.exe);
        WideText name;
        ASSERT_EQ(instanceNameOf(name), 0);
        EXPECT_EQ(before["singleInstance"]["instanceName"], utf8(name.get()));
    }
    EXPECT_EQ(runAndWait(L"\"" + installation.exe + L"\""), 0u);
    ASSERT_TRUE(waitForProbe(installation.data, L"javaw").found);

    json running = checkAsJson(installation);
    EXPECT_EQ(running["singleInstance"]["running"], true);
    ASSERT_TRUE(running["singleInstance"]["processId"].is_number());
    CapturedRun text = runCapturingOutput(checkCommand(installation, L""));
    EXPECT_EQ(linesStartingWith(linesOf(text.output), "     app id          Acme.Payroll").size(),
              1u)
        << text.output;
    EXPECT_EQ(linesStartingWith(linesOf(text.output),
                                "  single instance    yes, as " +
                                    running["singleInstance"]["instanceName"].get<std::string>() +
                                    ", running now as process " +
                                    std::to_string(running["singleInstance"]["processId"]
                                                       .get<unsigned long>()))
                  .size(),
              1u)
        << text.output;
    HANDLE probe = OpenProcess(PROCESS_TERMINATE, FALSE,
                               running["singleInstance"]["processId"].get<unsigned long>());
    ASSERT_NE(probe, nullptr);
    TerminateProcess(probe, 0);
    CloseHandle(probe);
}
