#include "check.h"

#include "CppTool.h"
#include "checkReport.h"
#include "commandLine.h"
#include "configFindings.h"
#include "console.h"
#include "diagnosticLog.h"
#include "diskFacts.h"
#include "dryRun.h"
#include "fileInFolder.h"
#include "failure.h"
#include "installationFindings.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "singleInstance.h"

#include <cwchar>
#include <exception>

namespace {

void printUsage() {
    printErr("usage: launchertool " + std::string(checkUsage) + "\n");
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

// Each setting as the launcher's log gives it: name=value, "(null)" for one
// that is not set.
void addSettings(CheckReport& report) {
    for (const Settings& setting : settings) {
        std::optional<std::string> value = valueOf(setting.value);
        report.settingLines.push_back(std::string(setting.name) + "=" + value.value_or("(null)"));
        report.settings.push_back({setting.name, value});
    }
    // Logged only when set and passed on.
    if (!configAppId.isNull()) {
        report.settingLines.push_back("configAppId=" + utf8Of(configAppId));
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

// The launcher's reading of the file decides: a failed read, with the reason
// it logged.
bool addConfigProblem(CheckReport& report, const toml::parse_result& parsed) {
    if (!configOutcome.failed) {
        return false;
    }
    std::string why = configOutcome.reason.text[0] != '\0' ? configOutcome.reason.text
                                                           : "no reason logged";
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

// The file a child's stream goes to: the null device where none is set or
// the launcher would refuse the one named.
std::string streamOf(const WideText& file) {
    return file.isNull() || refusedAsOutput(file.get(), folderLengthOf(file.get())) ? "NUL"
                                                                                 : utf8Of(file);
}

// A start the launcher composed and would carry out: one refused (a batch
// file, the launcher itself) or left uncomposed (no program or working
// folder) is not attempted.
void addStart(CheckReport& report, const char* program, bool due, const ChildStart& start) {
    if (!due || start.application.isNull() || start.refusedAsBatchFile ||
        isLauncherItself(start.application.get())) {
        return;
    }
    Start shown{program, utf8Of(start.application), start.commandLine.isNull() ? "" : utf8Of(start.commandLine),
                utf8Of(start.currentDirectory), streamOf(start.outLog), streamOf(start.errLog), {},
                std::nullopt};
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
// `preparing` counts the files opened while the launcher prepared its run:
// the image is the last of them that is not the configuration file.
void addSplash(CheckReport& report, const DryRun& dryRun, std::size_t preparing,
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
    for (std::size_t i = 0; i < preparing; ++i) {
        const OpenedFile& file = dryRun.openedFiles()[i];
        if (toUtf8(file.path) != report.installation.configFile) {
            image = &file;
        }
    }
    if (image == nullptr) {
        return;
    }
    splash.image = toUtf8(image->path);
    effective["splash.image"] = *splash.image;
    std::string why = splashImageProblem.text[0] != '\0' ? splashImageProblem.text
                                                         : "no reason logged";
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
    std::size_t preparing = dryRun.openedFiles().size();
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
    installation.logKept = isFolder(logFolder.substr(0, logFolder.rfind(L'\\'))) &&
                           !refusedAsOutput(logPath.get(), std::wcslen(programData));

    // Before the job is composed, which makes unset options the empty text.
    addSettings(report);
    JobPlan plan;
    composeJob(plan);
    addStart(report, "second", plan.secondProgramDue, plan.secondProgram);
    addStart(report, "java", plan.javaDue, plan.java);
    toml::parse_result parsed = toml::parse(fileContent(configFile.get()), installation.configFile);
    if (!addConfigProblem(report, parsed)) {
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
        addSplash(report, dryRun, preparing, document, effective);
        findConfigProblems(document, effective, splashMillisec, report.findings);
        findInstallationProblems(document, plan, report.findings);
    }
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
            printUsage();
            return EXIT_USAGE;
        }
    }
    if (path == nullptr) {
        printUsage();
        return EXIT_USAGE;
    }
    try {
        return check(path, json);
    } catch (const Failure&) {
        // A fault the deployer must fix ends the tool as it does in every
        // verb: the command line's entry says it and gives EXIT_PROBLEMS.
        throw;
    } catch (const std::exception& failure) {
        printErr(L"launchertool check: cannot check: " + fromUtf8Text(failure.what()) + L"\n");
        return EXIT_USAGE;
    }
}
