#include "installationFindings.h"

#include "CppTool.h"
#include "configFindings.h"
#include "console.h"
#include "diskFacts.h"
#include "fileInFolder.h"
#include "startProcess.h"

#include <cwchar>
#include <optional>

namespace {

bool inSystemFolder(const std::wstring& path) {
    std::wstring full = fullPath(path);
    std::size_t length = std::wcslen(systemDir);
    return full.size() > length && full[length] == L'\\' &&
           _wcsnicmp(full.c_str(), systemDir, length) == 0;
}

std::string text(const WideText& setting) {
    return toUtf8(setting.get());
}

std::string text(const std::wstring& path) {
    return toUtf8(path);
}

struct Place {
    const toml::table& document;
    std::string table;
    std::string key;
};

void add(std::vector<Finding>& findings, Severity severity, const char* code, const Place& place,
         const std::string& message) {
    findings.push_back({severity, code, place.table + "." + place.key,
                        lineOf(place.document, place.table, place.key), message});
}

// A relative program or folder: the current folder decides what it names.
void checkRelative(std::vector<Finding>& findings, const Place& place, const WideText& setting,
                   const char* placeholder) {
    if (setting.isNull() || isAbsolute(setting.get())) {
        return;
    }
    add(findings, Severity::warning, "relative-path", place,
        "`" + place.key + "` is relative, so it is looked for from the folder the launcher is "
        "started from, which shortcuts, Explorer and scripts set differently: begin it with " +
            placeholder);
}

void checkRedirected(std::vector<Finding>& findings, const Place& place, const WideText& setting) {
    if (!inSystemFolder(setting.get())) {
        return;
    }
    std::wstring windows(systemDir);
    windows.resize(windows.rfind(L'\\') == std::wstring::npos ? 0 : windows.rfind(L'\\'));
    add(findings, Severity::warning, "path-redirected", place,
        "`" + place.key + "` lies in the system folder " + toUtf8(systemDir) +
            ", which the 32-bit launcher sees as SysWOW64 on 64-bit Windows: name " +
            text(windows) + "\\Sysnative for the 64-bit folder, or install the program elsewhere");
}

// Whether a program named by `exec` or `exec2` can be started at all.
std::optional<std::string> whyNotStartable(const WideText& setting) {
    switch (programAt(setting.get())) {
    case Program::missing:
        return text(setting) + ", which does not exist";
    case Program::notWindows:
        return text(setting) + ", which is no Windows program";
    default:
        return std::nullopt;
    }
}

// A program built for a processor this machine cannot run: the system
// refuses to start it (error 193), as the launcher would find out here.
bool checkMachine(std::vector<Finding>& findings, const Place& place, const WideText& setting,
                  const char* consequence) {
    std::uint16_t machine = 0;
    Program program = programAt(setting.get(), &machine);
    if (program == Program::mismatched) {
        add(findings, Severity::error, "image-mismatch", place,
            "`" + place.key + "` names " + text(setting) + ", whose header says " +
                machineName(machine) + " but whose optional header is of the other kind (" +
                (machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_ARMNT ? "64-bit" : "32-bit") +
                "), which no Windows starts (error 193), so " + consequence +
                ": the file is damaged or was made wrong; install the program again from its maker");
        return true;
    }
    if (program != Program::otherMachine) {
        return false;
    }
    add(findings, Severity::error, "other-processor", place,
        "`" + place.key + "` names " + text(setting) + ", a program for " + machineName(machine) +
            ", which this " + machineName(nativeMachine()) + " system cannot run, so " +
            consequence + ": install the program built for this system");
    return true;
}

// The launcher refuses to start its own executable, which would start
// itself again without end.
bool checkStartsLauncher(std::vector<Finding>& findings, const Place& place,
                         const WideText& setting, const char* consequence) {
    if (!isLauncherItself(setting.get())) {
        return false;
    }
    add(findings, Severity::error, "starts-launcher", place,
        "`" + place.key + "` names " + text(setting) +
            ", the launcher itself, which would start itself again without end, so the "
            "launcher refuses to start it " + consequence + ": name the program meant");
    return true;
}

void checkRuntime(const toml::table& document, std::vector<Finding>& findings) {
    Place place{document, "app", "exec"};
    if (configApplication.isNull()) {
        add(findings, Severity::error, "runtime-missing", place,
            "`main_jar` is set but `exec` is not, so the launcher has no Java runtime to start: "
            "set `exec` to the runtime's javaw.exe");
        return;
    }
    if (isBatchFile(configApplication.get())) {
        add(findings, Severity::error, "batch-file", place,
            "`exec` names a batch file, which the system runs through the command interpreter, "
            "and that would parse the user's arguments as commands, so the launcher refuses it: "
            "name the runtime's javaw.exe");
        return;
    }
    if (checkStartsLauncher(findings, place, configApplication,
                            "and the Java application is not started")) {
        return;
    }
    checkRelative(findings, place, configApplication, "$(moduleDir)");
    checkRedirected(findings, place, configApplication);
    if (checkMachine(findings, place, configApplication, "the Java application cannot start")) {
        return;
    }
    if (std::optional<std::string> why = whyNotStartable(configApplication)) {
        add(findings, Severity::error, "runtime-missing", place,
            "`exec` names " + *why +
                ", so the Java application cannot start: name the runtime's javaw.exe itself, "
                "not a jar or a script, with $(moduleDir) for a bundled runtime");
    } else if (programAt(configApplication.get()) == Program::console) {
        add(findings, Severity::warning, "runtime-console", place,
            "`exec` names a console program, so a console window opens beside the "
            "application: name javaw.exe, which opens none, instead of java.exe");
    }
}

// Java looks for a relative jar from its working folder, data_dir.
std::wstring jarPath() {
    std::wstring jar = configMainJar.get();
    if (isAbsolute(jar) || configDataDir.isNull()) {
        return jar;
    }
    std::wstring folder = configDataDir.get();
    if (!jar.empty() && isSeparator(jar[0])) {
        return folder.substr(0, 2) + jar;
    }
    return folder + L"\\" + jar;
}

void checkJar(const toml::table& document, std::vector<Finding>& findings) {
    Place place{document, "jre", "main_jar"};
    std::wstring jar = jarPath();
    std::string why;
    if (!exists(jar) || isFolder(jar)) {
        why = ", which does not exist";
    } else if (!isZip(jar)) {
        why = ", which is no jar (no ZIP archive)";
    } else {
        return;
    }
    add(findings, Severity::error, "jar-missing", place,
        "`main_jar` names " + text(jar) + why +
            ", so Java cannot run the application (a relative name is looked for from "
            "`data_dir`, where the Java runtime runs)");
}

// The system takes a command line of at most 32,767 characters, its closing
// NUL included.
constexpr std::size_t LONGEST_COMMAND_LINE = 32767;

void checkCommandLine(const ChildStart& start, const char* program,
                      std::vector<Finding>& findings) {
    if (start.commandLine.isNull() || start.commandLine.length() + 1 <= LONGEST_COMMAND_LINE) {
        return;
    }
    findings.push_back({Severity::error, "command-line-too-long", std::nullopt, std::nullopt,
                        std::string("the command line of ") + program + " has " +
                            std::to_string(start.commandLine.length()) +
                            " characters, more than the 32,767 the system takes, so it does not "
                            "start: shorten the options or the paths"});
}

void checkSecond(const toml::table& document, std::vector<Finding>& findings) {
    Place place{document, "app", "exec2"};
    if (checkStartsLauncher(findings, place, configApplication2,
                            "(the Java application is still started)")) {
        return;
    }
    checkRelative(findings, place, configApplication2, "$(moduleDir)");
    checkRedirected(findings, place, configApplication2);
    if (checkMachine(findings, place, configApplication2,
                     "the second program cannot start (the Java application is still started)")) {
        return;
    }
    if (std::optional<std::string> why = whyNotStartable(configApplication2)) {
        add(findings, Severity::error, "second-missing", place,
            "`exec2` names " + *why +
                ", so the second program cannot start (the Java application is still started)");
    }
}

void checkDataDir(const toml::table& document, std::vector<Finding>& findings) {
    Place place{document, "app", "data_dir"};
    if (configDataDir.isNull()) {
        add(findings, Severity::error, "data-dir-missing", place,
            "`data_dir` is not set, and the launcher starts no program without a working "
            "folder: set it to a folder the installer creates");
        return;
    }
    checkRelative(findings, place, configDataDir, "$(programData) or a drive");
    if (!isFolder(configDataDir.get())) {
        add(findings, Severity::error, "data-dir-missing", place,
            "the folder " + text(configDataDir) +
                " does not exist, and the launcher creates none, so no program can start in "
                "it: let the installer create it");
    }
}

void checkLogDir(const toml::table& document, const ChildStart& java,
                 std::vector<Finding>& findings) {
    if (configLogDir.isNull()) {
        return;
    }
    Place place{document, "app", "log_dir"};
    checkRelative(findings, place, configLogDir, "$(programData) or a drive");
    if (!isFolder(configLogDir.get())) {
        add(findings, Severity::error, "log-dir-missing", place,
            "the folder " + text(configLogDir) +
                " does not exist, and the launcher creates none, so the Java runtime's output "
                "files cannot be opened and it does not start: let the installer create it");
        return;
    }
    for (const WideText* output : {&java.outLog, &java.errLog}) {
        if (!output->isNull() && refusedAsOutput(output->get(), folderLengthOf(output->get()))) {
            add(findings, Severity::warning, "output-refused", place,
                text(*output) +
                    " is a link, a folder or a second name of another file, so the launcher "
                    "refuses it and the Java runtime's output goes to the null device: remove it "
                    "and let the launcher create the file");
        }
    }
}

}  // namespace

void findInstallationProblems(const toml::table& document, const JobPlan& plan,
                              std::vector<Finding>& findings) {
    bool javaDue = !configMainJar.isNull();
    bool secondDue = !configApplication2.isNull();
    if (!javaDue && !secondDue) {
        findings.push_back({Severity::warning, "nothing-to-start", std::nullopt, std::nullopt,
                            "neither `main_jar` nor `exec2` is set, so the launcher starts "
                            "nothing: set `main_jar` in [jre]"});
        return;
    }
    checkDataDir(document, findings);
    if (secondDue) {
        checkSecond(document, findings);
    }
    if (javaDue) {
        checkRuntime(document, findings);
        checkJar(document, findings);
        checkLogDir(document, plan.java, findings);
    }
    checkCommandLine(plan.secondProgram, "the second program", findings);
    checkCommandLine(plan.java, "the Java runtime", findings);
}

bool refusedAsOutput(const wchar_t* path, std::size_t folderLength) {
    DWORD error = 0;
    return inspectFileInFolder(path, folderLength, error) == FileOpening::Refused;
}

void findLauncherProblem(const std::wstring& modulePath, std::vector<Finding>& findings) {
    if (!isFolder(modulePath)) {
        return;
    }
    findings.push_back({Severity::error, "launcher-folder", std::nullopt, std::nullopt,
                        toUtf8(modulePath) +
                            " is a folder, so the launcher cannot be installed under that name: "
                            "remove or rename the folder"});
}

void findLogFolderProblem(const std::wstring& logFile, std::vector<Finding>& findings) {
    std::wstring folder = logFile.substr(0, logFile.rfind(L'\\'));
    if (isFolder(folder)) {
        if (refusedAsOutput(logFile.c_str(), std::wcslen(programData))) {
            findings.push_back({Severity::warning, "log-refused", std::nullopt, std::nullopt,
                                toUtf8(logFile) +
                                    " is a link, a folder or a second name of another file, so "
                                    "the launcher refuses it and keeps no diagnostic log: remove "
                                    "it and let the launcher create the file"});
        }
        return;
    }
    findings.push_back({Severity::warning, "log-folder-missing", std::nullopt, std::nullopt,
                        toUtf8(folder) +
                            " does not exist, so the launcher keeps no diagnostic log: let the "
                            "installer create it and let the users write to it"});
}
