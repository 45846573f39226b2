#include "loadconfig.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadImage.h"
#include "singleInstance.h"
#include "startProcess.h"
#include "tomlParser.h"

#include <io.h>
#include <share.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

const wchar_t* commandLineArgs = nullptr;
wchar_t moduleDir[MAX_PATH];
const wchar_t* moduleName = nullptr;
wchar_t systemDir[MAX_PATH];
wchar_t programData[MAX_PATH];
int splashMillisec = 0;
bool splashUntilWindow = false;
bool showFailure = false;
ConfigOutcome configOutcome;
bool singleInstance = false;
WideText configAppId;

namespace {

// The executable's name must end in ".exe" in any letter case. A text shorter
// than four characters fails on the first character it lacks.
bool hasExeSuffix(const wchar_t* path, int length) {
    auto fromEnd = [&](int back) { return length >= back ? path[length - back] : L'\0'; };
    if (fromEnd(1) != L'E' && fromEnd(1) != L'e') {
        kernel.OutputDebugStringA("not E\n");
        return false;
    }
    if (fromEnd(2) != L'X' && fromEnd(2) != L'x') {
        kernel.OutputDebugStringA("not X\n");
        return false;
    }
    if (fromEnd(3) != L'E' && fromEnd(3) != L'e') {
        kernel.OutputDebugStringA("not E\n");
        return false;
    }
    if (fromEnd(4) != L'.') {
        kernel.OutputDebugStringA("not .\n");
        return false;
    }
    return true;
}

// Cuts "C:\Apps\Acme\Acme.exe" into moduleDir "C:\Apps\Acme" and moduleName
// "Acme" in place. Only a backslash separates; moduleDir may not be empty.
bool splitModulePath(int length) {
    moduleDir[length - 4] = L'\0';
    for (int at = length - 5; at >= 0; --at) {
        if (moduleDir[at] == L'\\') {
            moduleName = moduleDir + at + 1;
            moduleDir[at] = L'\0';
            if (at == 0) {
                break;
            }
            return true;
        }
    }
    kernel.OutputDebugStringA("path not found\n");
    return false;
}

// Until the log's file name is known (programData and moduleName), failures
// can only go to the debugger.
bool findStartupPaths() {
    DWORD modulePathLength = kernel.GetModuleFileNameW(nullptr, moduleDir, MAX_PATH);
    if (modulePathLength == 0) {
        kernel.OutputDebugStringA("GetModuleFileName\n");
        return false;
    }
    // A longer path is cut to the buffer (the call then returns the buffer's
    // size and sets ERROR_INSUFFICIENT_BUFFER), and the cut may well read as
    // another name that ends in ".exe": refused like a name without it.
    if (modulePathLength >= MAX_PATH) {
        kernel.OutputDebugStringA("path too long\n");
        return false;
    }
    if (kernel.GetSystemDirectoryW(systemDir, MAX_PATH) == 0) {
        kernel.OutputDebugStringA("GetSystemDirectory\n");
        return false;
    }
    // Only the drive of the system directory counts: neither the known-folder
    // settings nor the environment may move the log.
    programData[0] = systemDir[0];
    programData[1] = systemDir[1];
    std::wcscpy(programData + 2, L"\\ProgramData");

    int length = static_cast<int>(wcsnlen(moduleDir, MAX_PATH));
    return hasExeSuffix(moduleDir, length) && splitModulePath(length);
}

// Reads the configuration file beside the executable and composes the splash
// image path from the name it gives. False when a path cannot be composed.
bool readConfiguration(WideText& splashImagePath) {
    WideText configFile;
    if (configFilePath(configFile) != 0) {
        return false;
    }
    WideText splashImageName;
    if (loadConfig(configFile.get(), splashMillisec, splashImageName, configApplication,
                   configApplication2, configDataDir, configLogDir, configPath, configMainJar,
                   configJavaOptions, splashUntilWindow, showFailure, singleInstance,
                   configAppId) != 0) {
        configOutcome.failed = true;
        logMessage(SOURCE, __LINE__, "prepareJob", "error loadConfig\n");
    }
    // Without a name there is no image to open: the splash is the plain window.
    if (splashImageName.isNull()) {
        return true;
    }
    // The name always lies in the executable's folder, whatever it holds.
    return format(splashImagePath, L"%s\\%s", moduleDir, splashImageName.get()) == 0;
}

// An effective setting as the log gives it: its line's format, with the
// name in it, and its value ("(null)" when unset).
struct LoggedSetting {
    const char* format;
    const WideText& value;
};

void logSetting(const LoggedSetting& setting) {
    logMessage(SOURCE, __LINE__, "prepareJob", setting.format, setting.value.get());
}

// app_id, logged only when set.
void settleAppId() {
    if (configAppId.isNull()) {
        return;
    }
    // The shell would take a broken id as no id, or as another
    // application's: the runtime is better started without one.
    if (const char* problem = appIdProblem(configAppId.get())) {
        logMessage(SOURCE, __LINE__, "prepareJob", "app_id not passed on: %s: %S\n", problem,
                   configAppId.get());
        configAppId.release();
        return;
    }
    logSetting({"configAppId=%S\n", configAppId});
}

// Turns what the file said into what the job and the splash window use.
void settleEffectiveSettings(const WideText& splashImagePath) {
    // Every configured entry already ends in ";".
    configPath.appendWide(systemDir);

    if (splashMillisec < 0) {
        splashMillisec = 0;
    } else if (splashMillisec > 60000) {
        splashMillisec = 60000;
    }
    // The image is needed exactly when the splash window will be shown.
    if (splashMillisec > 0) {
        initImage(splashImagePath.get());
    }

    // Each setting takes only the placeholders that make sense for it.
    replaceAll(configApplication, L"$(moduleDir)", moduleDir);
    replaceAll(configApplication2, L"$(moduleDir)", moduleDir);
    replaceAll(configDataDir, L"$(programData)", programData);
    replaceAll(configLogDir, L"$(programData)", programData);
    replaceAll(configPath, L"$(moduleDir)", moduleDir);
    // Both in one pass over what the deployer wrote: an installation folder
    // whose name holds "$(programData)" must not be expanded again.
    replaceAll(configMainJar, {{L"$(moduleDir)", moduleDir}, {L"$(programData)", programData}});
    replaceAll(configJavaOptions, L"$(programData)", programData);

    const LoggedSetting effective[] = {
        {"configApplication=%S\n", configApplication},
        {"configApplication2=%S\n", configApplication2},
        {"configDataDir=%S\n", configDataDir},
        {"configLogDir=%S\n", configLogDir},
        {"configPath=%S\n", configPath},
        {"configMainJar=%S\n", configMainJar},
        {"configJavaOptions=%S\n", configJavaOptions},
    };
    for (const LoggedSetting& setting : effective) {
        logSetting(setting);
    }
    settleAppId();
}

// The configuration file, open only while it is parsed.
struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using ConfigStream = std::unique_ptr<std::FILE, CloseFile>;

// Far beyond any real configuration (they take a few kilobytes), and small
// enough that the document the reader makes of any file up to it, and every
// expansion of its placeholders, fits in memory many times over.
constexpr long long maxConfigBytes = 1024 * 1024;

// An updater or an editor that rewrites the file holds it open for a moment;
// so long the launcher waits, in short pauses, before it counts the file as
// unreadable: 40 pauses of 50 ms, two seconds.
constexpr DWORD sharingPauseMs = 50;
constexpr int sharingPauses = 40;

// Opens the file whole or not at all: read sharing only, so no writer can
// open it while it is read, and no read begins while a writer holds it (the
// open then fails with a sharing violation). Binary, because the C runtime's
// text mode ends a file at the first Ctrl-Z and would hide what follows;
// the reader handles Windows line ends itself. Null when the file cannot be
// opened; the reason is logged.
ConfigStream openWholeFile(const wchar_t* path) {
    for (int pause = 0;; ++pause) {
        ConfigStream file(_wfsopen(path, L"rb", _SH_DENYWR));
        int error = errno;
        unsigned long systemError = _doserrno;
        if (file) {
            return file;
        }
        if (error != EACCES || systemError != ERROR_SHARING_VIOLATION) {
            logMessageKept(configOutcome.reason, SOURCE, __LINE__, "loadConfig", "%s %s\n", "fopen",
                           std::strerror(error));
            return nullptr;
        }
        if (pause == sharingPauses) {
            logMessageKept(configOutcome.reason, SOURCE, __LINE__, "loadConfig",
                           "fopen still in use by another program after %d seconds\n",
                           static_cast<int>(sharingPauses * sharingPauseMs / 1000));
            return nullptr;
        }
        kernel.Sleep(sharingPauseMs);
    }
}

// The parsed document, alive only inside loadConfig.
struct FreeDocument {
    void operator()(toml_table_t* document) const { toml_free(document); }
};
using TomlDocument = std::unique_ptr<toml_table_t, FreeDocument>;

// A string the parser handed out; it belongs to us and goes back with free().
struct FreeString {
    void operator()(char* text) const { std::free(text); }
};
using TomlString = std::unique_ptr<char, FreeString>;

// A string key replaces its setting; a missing key or another type leaves the
// setting as it was.
void readString(const toml_table_t* table, const char* key, WideText& setting) {
    toml_datum_t value = toml_string_in(table, key);
    if (!value.ok) {
        return;
    }
    TomlString text(value.u.s);
    setting.fromUtf8(text.get());
}

// A boolean key sets its setting; a missing key or another type leaves it.
void readBoolean(const toml_table_t* table, const char* key, bool& setting) {
    toml_datum_t value = toml_bool_in(table, key);
    if (value.ok) {
        setting = value.u.b != 0;
    }
}

// An array key appends each string element followed by `separator`; the first
// element that is not a string ends the list. The elements are joined first
// and converted once: appending them one by one would copy the growing
// setting for every element, which thousands of options make quadratic.
void appendStrings(const toml_table_t* table, const char* key, WideText& setting,
                   const char* separator) {
    const toml_array_t* array = toml_array_in(table, key);
    if (array == nullptr) {
        return;
    }
    std::string joined;
    for (int index = 0;; ++index) {
        toml_datum_t element = toml_string_at(array, index);
        if (!element.ok) {
            break;
        }
        TomlString text(element.u.s);
        joined += text.get();
        joined += separator;
    }
    if (!joined.empty()) {
        setting.appendUtf8(joined.c_str());
    }
}

// A splash time beyond 32 bits must not wrap round to a short splash or to
// none: it is held at the nearest end of the range instead.
int saturatedToInt32(std::int64_t value) {
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int>(value);
}

}  // namespace

int configFilePath(WideText& path) {
    // UTF-16 throughout, so that an installation folder in any script finds
    // its configuration file.
    return format(path, L"%s\\%s.toml", moduleDir, moduleName);
}

void prepareJob() {
    configOutcome = ConfigOutcome{};
    if (!findStartupPaths()) {
        return;
    }
    logMessage(SOURCE, __LINE__, "prepareJob", "systemDir=%S\n", systemDir);
    logMessage(SOURCE, __LINE__, "prepareJob", "moduleDir=%S\n", moduleDir);
    logMessage(SOURCE, __LINE__, "prepareJob", "moduleName=%S\n", moduleName);
    logMessage(SOURCE, __LINE__, "prepareJob", "programData=%S\n", programData);

    configPath.appendWide(L"PATH=");

    WideText splashImagePath;
    if (!readConfiguration(splashImagePath)) {
        return;
    }
    settleEffectiveSettings(splashImagePath);
}

int loadConfig(const wchar_t* path, int& millisec, WideText& splashImageName,
               WideText& application, WideText& application2, WideText& dataDir,
               WideText& logDir, WideText& pathEntry, WideText& mainJar, WideText& javaOptions,
               bool& untilWindow, bool& failureShown, bool& oneInstance, WideText& appId) {
    char errors[222] = {};
    TomlDocument document;
    {
        ConfigStream file = openWholeFile(path);
        if (!file) {
            return ERROR_GENERIC;
        }
        // Measured before it is read: a file of hundreds of megabytes is
        // refused at once instead of exhausting memory on the way.
        long long size = _filelengthi64(_fileno(file.get()));
        if (size > maxConfigBytes) {
            logMessageKept(configOutcome.reason, SOURCE, __LINE__, "loadConfig",
                           "file too large: %lld bytes, the limit is %lld bytes\n", size,
                           maxConfigBytes);
            return ERROR_GENERIC;
        }
        // Valid TOML with nothing in it, but seldom what a deployer meant.
        if (size == 0) {
            logMessageKept(configOutcome.reason, SOURCE, __LINE__, "loadConfig",
                           "file is empty: nothing configured\n");
            return 0;
        }
        document.reset(toml_parse_file(file.get(), errors, sizeof errors));
    }
    if (!document) {
        logMessageKept(configOutcome.reason, SOURCE, __LINE__, "loadConfig", "%s %s\n",
                       "toml_parse_file", errors);
        return ERROR_GENERIC;
    }

    if (const toml_table_t* splash = toml_table_in(document.get(), "splash")) {
        readString(splash, "image", splashImageName);
        toml_datum_t value = toml_int_in(splash, "millisec");
        if (value.ok) {
            millisec = saturatedToInt32(value.u.i);
        }
        readBoolean(splash, "until_window", untilWindow);
    }
    if (const toml_table_t* env = toml_table_in(document.get(), "env")) {
        appendStrings(env, "PATH", pathEntry, ";");
    }
    if (const toml_table_t* jre = toml_table_in(document.get(), "jre")) {
        readString(jre, "main_jar", mainJar);
        appendStrings(jre, "options", javaOptions, " ");
    }
    if (const toml_table_t* app = toml_table_in(document.get(), "app")) {
        readString(app, "exec", application);
        readString(app, "exec2", application2);
        readString(app, "log_dir", logDir);
        readString(app, "data_dir", dataDir);
        readBoolean(app, "show_failure", failureShown);
        readBoolean(app, "single_instance", oneInstance);
        readString(app, "app_id", appId);
    }
    return 0;
}

namespace {

// The first occurrence of any of the placeholders at or after `from`; null
// when there is none. Two placeholders never start at the same place, as
// none is the beginning of another. One walk over the text: searching it
// whole for each placeholder again after every match would take time that
// grows with the square of a long text.
const wchar_t* nextPlaceholder(const wchar_t* from, std::initializer_list<Placeholder> placeholders,
                               const Placeholder*& which) {
    for (const wchar_t* at = from; *at != L'\0'; ++at) {
        for (const Placeholder& placeholder : placeholders) {
            if (*at == placeholder.name[0] &&
                std::wcsncmp(at, placeholder.name, std::wcslen(placeholder.name)) == 0) {
                which = &placeholder;
                return at;
            }
        }
    }
    return nullptr;
}

}  // namespace

void replaceAll(WideText& text, std::initializer_list<Placeholder> placeholders) {
    // An empty placeholder would match everywhere without ever advancing.
    for (const Placeholder& placeholder : placeholders) {
        if (placeholder.name == nullptr || *placeholder.name == L'\0') {
            return;
        }
    }
    if (text.isNull()) {
        return;
    }
    const wchar_t* source = text.get();
    const Placeholder* which = nullptr;
    if (nextPlaceholder(source, placeholders, which) == nullptr) {
        return;
    }
    auto lengthOf = [](const wchar_t* value) { return value != nullptr ? std::wcslen(value) : 0; };
    // The search runs over the original text only, so a value that holds a
    // placeholder is inserted once and not expanded again. The result is
    // measured first and built in one array, however many placeholders the
    // text holds; counted in 64 bits, its length cannot wrap round to a small
    // array.
    unsigned long long length = std::wcslen(source);
    for (const wchar_t* at = nextPlaceholder(source, placeholders, which); at != nullptr;
         at = nextPlaceholder(at + std::wcslen(which->name), placeholders, which)) {
        length = length - std::wcslen(which->name) + lengthOf(which->value);
    }
    wchar_t* expanded = allocateUnits(length + 1, "replaceAll");
    if (expanded == nullptr) {
        return;
    }
    wchar_t* out = expanded;
    const wchar_t* rest = source;
    for (const wchar_t* found = nextPlaceholder(rest, placeholders, which); found != nullptr;
         found = nextPlaceholder(rest, placeholders, which)) {
        std::size_t valueLength = lengthOf(which->value);
        out = std::wmemcpy(out, rest, static_cast<std::size_t>(found - rest)) + (found - rest);
        if (valueLength > 0) {
            out = std::wmemcpy(out, which->value, valueLength) + valueLength;
        }
        rest = found + std::wcslen(which->name);
    }
    std::wcscpy(out, rest);
    text.adopt(expanded);
}

void replaceAll(WideText& text, const wchar_t* placeholder, const wchar_t* replacement) {
    replaceAll(text, {Placeholder{placeholder, replacement}});
}

void composeJob(JobPlan& plan) {
    // Without options the Java command line still reads "runtime"  -jar "jar".
    if (configJavaOptions.isNull()) {
        configJavaOptions.appendWide(L"");
    }

    if (!configApplication2.isNull()) {
        plan.secondProgramDue = true;
        plan.secondProgram.environment.appendEntry(configPath.get());
        // The second program gets no output files: only the Java runtime's
        // output is kept.
        composeStart(plan.secondProgram, nullptr, nullptr, configApplication2.get(),
                     configDataDir.get(), L"");
    }

    if (configMainJar.isNull()) {
        return;
    }
    WideText outLog;
    WideText errLog;
    if (!configLogDir.isNull()) {
        if (format(outLog, L"%s\\out_%s.log", configLogDir.get(), moduleName) != 0 ||
            format(errLog, L"%s\\err_%s.log", configLogDir.get(), moduleName) != 0) {
            return;
        }
    }
    // The tail is null only before the entry point has stored it; the
    // application then gets no arguments rather than a "(null)".
    const wchar_t* tail = commandLineArgs != nullptr ? commandLineArgs : L"";
    WideText javaArguments;
    if (format(javaArguments, L"%s -jar \"%s\" %s", configJavaOptions.get(), configMainJar.get(),
               tail) != 0) {
        return;
    }
    plan.javaDue = true;
    plan.java.environment.appendEntry(configPath.get());
    composeStart(plan.java, outLog.get(), errLog.get(), configApplication.get(),
                 configDataDir.get(), javaArguments.get());
    // The command-line tail is the user's, and a batch file would hand it to
    // the command interpreter to parse.
    plan.java.refusedAsBatchFile = isBatchFile(configApplication.get());
    // Only the Java runtime is the application the taskbar shows.
    if (!configAppId.isNull()) {
        plan.java.appId.appendWide(configAppId.get());
    }
}

void doJob(JavaStart* java) {
    JobPlan plan;
    composeJob(plan);
    if (plan.secondProgramDue && startProcess(plan.secondProgram) != 0) {
        logMessage(SOURCE, __LINE__, "doJob", "error startProcess2\n");
    }
    if (plan.javaDue) {
        bool started = startProcess(plan.java, java != nullptr ? &java->outcome : nullptr) == 0;
        if (!started) {
            logMessage(SOURCE, __LINE__, "doJob", "error startProcess\n");
        }
        if (java != nullptr) {
            java->started = started;
            java->failed = !started;
        }
        // Only a file the child really writes to is named to the user.
        if (java != nullptr && java->outcome.errorOutput) {
            java->errLog.appendWide(plan.java.errLog.get());
        }
    }
    // From here on only the runtime holds the instance, if it was started.
    if (java != nullptr) {
        letGoOfInstance(java->outcome.handOver, java->outcome.processId);
    }
    // A splash may keep the launcher running for a minute yet.
    flushLog();
}
