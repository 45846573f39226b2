#include "check.h"

#include "CppTool.h"
#include "checkReport.h"
#include "configFindings.h"
#include "console.h"
#include "diagnosticLog.h"
#include "diskFacts.h"
#include "dryRun.h"
#include "installationFindings.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "singleInstance.h"

#include <cwchar>
#include <exception>

namespace {

const wchar_t USAGE[] = L"usage: launchertool check [--json] PATH\\Name.exe\n";

// One entry of the launcher's log: "Y-MM-DD hh:mm:ss source:line:function body".
struct LogEntry {
    std::string source;
    std::string function;
    std::string body;
};

bool startsEntry(const std::string& line) {
    return line.size() > 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
           line[13] == ':' && line[16] == ':' && line[19] == ' ';
}

// Every entry is one line: the log escapes the control characters of values.
std::vector<LogEntry> entriesOf(const std::string& log) {
    std::vector<LogEntry> entries;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        std::string line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? log.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!startsEntry(line)) {
            continue;
        }
        std::size_t originEnd = line.find(' ', 20);
        std::string origin = line.substr(20, originEnd - 20);
        entries.push_back({origin.substr(0, origin.find(':')), origin.substr(origin.rfind(':') + 1),
                           originEnd == std::string::npos ? "" : line.substr(originEnd + 1)});
    }
    return entries;
}

const LogEntry* lastFrom(const std::vector<LogEntry>& entries, const char* source,
                         const char* function) {
    const LogEntry* found = nullptr;
    for (const LogEntry& entry : entries) {
        if (entry.source == source && entry.function == function) {
            found = &entry;
        }
    }
    return found;
}

// "err:2  The system cannot find the file specified." without its code.
std::string withoutCode(const std::string& body) {
    std::size_t at = body.rfind("err:", 0) == 0 ? body.find(' ') : 0;
    at = body.find_first_not_of(' ', at == std::string::npos ? body.size() : at);
    return at == std::string::npos ? body : body.substr(at);
}

std::string utf8Of(const WideText& text) {
    return toUtf8(text.get());
}

std::optional<std::string> valueOf(const WideText& setting) {
    if (setting.isNull()) {
        return std::nullopt;
    }
    return utf8Of(setting);
}

struct Settings {
    const char* name;
    const WideText& value;
};

const Settings settings[] = {
    {"configApplication", configApplication}, {"configApplication2", configApplication2},
    {"configDataDir", configDataDir},         {"configLogDir", configLogDir},
    {"configPath", configPath},               {"configMainJar", configMainJar},
    {"configJavaOptions", configJavaOptions},
};

void addSettings(CheckReport& report, const std::vector<LogEntry>& entries) {
    for (const LogEntry& entry : entries) {
        if (entry.source == "loadconfig" && entry.function == "prepareJob" &&
            entry.body.rfind("config", 0) == 0) {
            report.settingLines.push_back(entry.body);
        }
    }
    for (const Settings& setting : settings) {
        report.settings.push_back({setting.name, valueOf(setting.value)});
    }
}

// What to do about a file the launcher could not read, by its reason.
std::string configAdvice(const std::string& why, const std::string& moduleName) {
    if (why.rfind("fopen still in use", 0) == 0) {
        return "close the program that holds it open, such as an editor or an updater, and "
               "keep it closed while the launcher starts";
    }
    if (why.rfind("file too large", 0) == 0) {
        return "shorten it below the limit";
    }
    return "put " + moduleName + ".toml beside the executable, readable by the users";
}

// The launcher's reading of the file decides: a failed loadConfig, with the
// reason it logged.
bool addConfigProblem(CheckReport& report, const std::vector<LogEntry>& entries,
                      const toml::parse_result& parsed) {
    const LogEntry* failed = nullptr;
    for (const LogEntry& entry : entries) {
        if (entry.source == "loadconfig" && entry.body == "error loadConfig") {
            failed = &entry;
        }
    }
    if (failed == nullptr) {
        return false;
    }
    const LogEntry* reason = lastFrom(entries, "loadconfig", "loadConfig");
    std::string why = reason != nullptr ? reason->body : "no reason logged";
    if (why.rfind("toml_parse_file", 0) == 0) {
        std::optional<int> line;
        if (!parsed) {
            line = static_cast<int>(parsed.error().source().begin.line);
        }
        report.findings.push_back(
            {Severity::error, "config-invalid", std::nullopt, line,
             "the file is no valid TOML (" + why +
                 "), so the launcher uses nothing of it and starts nothing: mend that line"});
    } else {
        report.findings.push_back({Severity::error, "config-missing", std::nullopt, std::nullopt,
                                   "the configuration file cannot be read (" + why +
                                       "), so the launcher starts nothing: " +
                                       configAdvice(why, report.installation.moduleName)});
    }
    return true;
}

std::string orNul(const WideText& file) {
    return file.isNull() ? "NUL" : utf8Of(file);
}

// A start the launcher composed and would carry out: one refused or left
// uncomposed (no program or working folder) is not attempted.
void addStart(CheckReport& report, const char* program, bool due, const ChildStart& start) {
    if (!due || start.application.isNull() || start.refusedAsBatchFile) {
        return;
    }
    Start shown{program, utf8Of(start.application), start.commandLine.isNull() ? "" : utf8Of(start.commandLine),
                utf8Of(start.currentDirectory), orNul(start.outLog), orNul(start.errLog), {}, std::nullopt};
    const wchar_t* block = start.environment.get();
    if (block != nullptr) {
        for (const wchar_t* entry = block; entry < block + start.environment.count();
             entry += std::wcslen(entry) + 1) {
            shown.environment.push_back(toUtf8(entry));
        }
    }
    if (!start.appId.isNull()) {
        shown.appId = utf8Of(start.appId);
    }
    report.starts.push_back(shown);
}

// The instance as the launcher would claim it, and whether one runs now.
void addInstance(CheckReport& report) {
    InstanceState& instance = report.instance;
    instance.single = singleInstance;
    WideText name;
    if (!singleInstance || instanceNameOf(name) != 0) {
        return;
    }
    instance.name = utf8Of(name);
    instance.running = instanceRunning(name.get());
    DWORD processId = instance.running ? runningInstanceProcess(name.get()) : 0;
    if (processId != 0) {
        instance.processId = processId;
    }
}

// The splash as the launcher settled it: its time, the image it opened and
// what became of it.
void addSplash(CheckReport& report, const DryRun& dryRun, const std::vector<LogEntry>& entries,
               const toml::table& document, EffectiveValues& effective) {
    Splash& splash = report.splash;
    splash.millisec = splashMillisec;
    splash.untilWindow = splashUntilWindow;
    if (splashMillisec == 0) {
        return;
    }
    const toml::table* table = document.get_as<toml::table>("splash");
    if (table == nullptr || table->get_as<std::string>("image") == nullptr) {
        splash.withoutImage = "no `image` is set, so the window is a plain 400 x 200 rectangle";
        return;
    }
    const OpenedFile* image = nullptr;
    for (const OpenedFile& file : dryRun.openedFiles()) {
        if (toUtf8(file.path) != report.installation.configFile) {
            image = &file;
        }
    }
    if (image == nullptr) {
        return;
    }
    splash.image = toUtf8(image->path);
    effective["splash.image"] = *splash.image;
    const LogEntry* logged = lastFrom(entries, "loadImage", "initImage");
    std::string why = logged != nullptr ? withoutCode(logged->body) : "no reason logged";
    std::optional<int> line = lineOf(document, "splash", "image");
    if (image->device) {
        splash.withoutImage = "it names a device, not a file";
        report.findings.push_back({Severity::warning, "image-invalid", "splash.image", line,
                                   "the splash image " + *splash.image +
                                       " names a device, not a file, so the splash window shows "
                                       "no image: name an image file beside the executable"});
    } else if (image->error != 0) {
        splash.withoutImage = "it cannot be opened (" + why + ")";
        report.findings.push_back({Severity::warning, "image-missing", "splash.image", line,
                                   "the splash image " + *splash.image + " cannot be opened (" +
                                       why + "), so the splash window shows no image"});
    } else if (isIconFile(image->path)) {
        splash.withoutImage = "it is a whole .ico file";
        report.findings.push_back(
            {Severity::warning, "image-invalid", "splash.image", line,
             "the splash image " + *splash.image +
                 " is a whole .ico file (a directory of images), which the launcher cannot "
                 "show: name one image of it, saved as a PNG or as a bitmap with its mask"});
    } else if (splashIcon == nullptr) {
        splash.withoutImage = "it is no icon image (" + why + ")";
        report.findings.push_back(
            {Severity::warning, "image-invalid", "splash.image", line,
             "the splash image " + *splash.image + " is no icon image (" + why +
                 "), so the splash window shows none: use a PNG or a bitmap with its mask"});
    } else {
        splash.width = splashWidth;
        splash.height = splashHeight;
    }
}

int check(const wchar_t* given, bool json) {
    std::wstring modulePath = fullPath(given);
    DryRun dryRun(modulePath);
    commandLineArgs = L"";
    prepareJob();
    if (moduleName == nullptr) {
        std::string refusal = dryRun.debuggerText();
        while (!refusal.empty() && (refusal.back() == '\n' || refusal.back() == '\r')) {
            refusal.pop_back();
        }
        printErr(L"launchertool check: the launcher refuses the path " + modulePath +
                 L" and stops before it reads anything (its debugger output: " +
                 fromUtf8Text(refusal) + L")\n");
        return EXIT_USAGE;
    }

    CheckReport report;
    report.showFailure = showFailure;
    WideText configFile;
    configFilePath(configFile);
    WideText logPath;
    logFilePath(logPath);
    Installation& installation = report.installation;
    installation.moduleDir = toUtf8(moduleDir);
    installation.moduleName = toUtf8(moduleName);
    installation.systemDir = toUtf8(systemDir);
    installation.programData = toUtf8(programData);
    installation.configFile = utf8Of(configFile);
    installation.logFile = utf8Of(logPath);
    std::wstring logFolder(logPath.get());
    installation.logKept = isFolder(logFolder.substr(0, logFolder.rfind(L'\\')));

    std::vector<LogEntry> entries = entriesOf(dryRun.logText());
    // Before the job is composed, which makes unset options the empty text.
    addSettings(report, entries);
    JobPlan plan;
    composeJob(plan);
    addStart(report, "second", plan.secondProgramDue, plan.secondProgram);
    addStart(report, "java", plan.javaDue, plan.java);
    toml::parse_result parsed = toml::parse(fileContent(configFile.get()), installation.configFile);
    if (!addConfigProblem(report, entries, parsed)) {
        // The launcher parsed the file; where this reading differs, only the
        // findings that need the text are lost.
        toml::table document = parsed ? std::move(parsed).table() : toml::table{};
        EffectiveValues effective;
        const std::pair<const char*, const WideText&> used[] = {
            {"app.exec", configApplication}, {"app.exec2", configApplication2},
            {"app.data_dir", configDataDir}, {"app.log_dir", configLogDir},
            {"env.PATH", configPath},        {"jre.main_jar", configMainJar},
            {"jre.options", configJavaOptions},
        };
        for (const auto& [key, value] : used) {
            if (!value.isNull()) {
                effective[key] = utf8Of(value);
            }
        }
        addSplash(report, dryRun, entries, document, effective);
        findConfigProblems(document, effective, splashMillisec, report.findings);
        findInstallationProblems(document, plan, report.findings);
    }
    // Last: the name is made from the launcher's executable, which the
    // files opened so far must not count.
    addInstance(report);
    findLauncherProblem(modulePath, report.findings);
    findLogFolderProblem(logPath.get(), report.findings);
    orderFindings(report.findings);

    if (json) {
        printOut(fromUtf8Text(reportJson(report)));
    } else {
        printOut(fromUtf8Text(reportText(report)));
    }
    return hasErrors(report) ? EXIT_PROBLEMS : EXIT_CLEAN;
}

}  // namespace

int runCheck(int argc, wchar_t** argv) {
    bool json = false;
    const wchar_t* path = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--json") == 0 && !json) {
            json = true;
        } else if (argv[i][0] != L'-' && path == nullptr) {
            path = argv[i];
        } else {
            printErr(USAGE);
            return EXIT_USAGE;
        }
    }
    if (path == nullptr) {
        printErr(USAGE);
        return EXIT_USAGE;
    }
    try {
        return check(path, json);
    } catch (const std::exception& failure) {
        printErr(L"launchertool check: cannot check: " + fromUtf8Text(failure.what()) + L"\n");
        return EXIT_USAGE;
    }
}
