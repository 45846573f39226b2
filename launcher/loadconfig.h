// The launch core: start-up paths, the configuration file, the effective
// settings and the job that starts the children.
#pragma once

#include "CppTool.h"
#include "diagnosticLog.h"
#include "startProcess.h"

#include <windows.h>

#include <initializer_list>

// The command-line tail the entry point received; passed on unchanged to the
// Java application.
extern const wchar_t* commandLineArgs;

// The launcher's executable path; once split it reads as the directory of the
// executable, without a trailing backslash.
extern wchar_t moduleDir[MAX_PATH];
// The executable's file name without ".exe", inside the moduleDir buffer.
extern const wchar_t* moduleName;
extern wchar_t systemDir[MAX_PATH];
// The system drive followed by "\ProgramData".
extern wchar_t programData[MAX_PATH];
// Splash time in milliseconds, 0 to 60000 once prepareJob has run.
extern int splashMillisec;
// [splash] until_window: the splash closes as soon as the Java runtime shows
// a window or ends, splashMillisec being the longest it stays.
extern bool splashUntilWindow;
// [app] show_failure: the user is told in a message box when the Java
// runtime cannot start or ends before it shows a window.
extern bool showFailure;
// [app] single_instance: a start while the application runs brings its
// window to the front and starts nothing.
extern bool singleInstance;
// [app] app_id: the AppUserModelID the Java runtime is started with; null
// when not configured or when it breaks the shell's rules.
extern WideText configAppId;

// What became of the configuration file in the last prepareJob: failed when
// none of its settings were used (the log's "error loadConfig"), with the
// reason the log gives; a reason may also come without a failure.
struct ConfigOutcome {
    bool failed = false;
    KeptMessage reason{};
};
extern ConfigOutcome configOutcome;

// The configuration file beside the executable, once moduleDir and moduleName
// are known: moduleDir\<moduleName>.toml.
int configFilePath(WideText& path);

// Works out the paths, reads the configuration file and settles the
// effective settings. Its outcome is the process-wide values it leaves.
void prepareJob();

// Reads the TOML file at `path` into the settings. Returns 0 when the file
// was opened and parsed, ERROR_GENERIC (touching nothing) otherwise.
int loadConfig(const wchar_t* path, int& millisec, WideText& splashImageName,
               WideText& application, WideText& application2, WideText& dataDir,
               WideText& logDir, WideText& pathEntry, WideText& mainJar, WideText& javaOptions,
               bool& untilWindow, bool& failureShown, bool& oneInstance, WideText& appId);

// A placeholder (not empty) and the text it stands for.
struct Placeholder {
    const wchar_t* name;
    const wchar_t* value;
};

// Replaces every occurrence of each placeholder in `text` by its value, in
// one pass left to right and without overlaps: only what was written is
// searched, never text that a replacement brought in, so an installation
// folder whose name holds a placeholder is inserted as it is. A null text,
// or one without any of the placeholders, is left as it is; a text that
// becomes empty stays configured (empty, not null). When the expanded text
// cannot be allocated, that is logged and the text stays as it was,
// placeholders and all.
void replaceAll(WideText& text, std::initializer_list<Placeholder> placeholders);
void replaceAll(WideText& text, const wchar_t* placeholder, const wchar_t* replacement);

// The starts a run makes, composed from the effective settings before any
// of them is carried out: the second program first, then the Java
// application. A start that is not due stays empty.
struct JobPlan {
    // configApplication2 is set.
    bool secondProgramDue = false;
    ChildStart secondProgram;
    // configMainJar is set and the file names and the arguments could be
    // composed. An `exec` that names a batch file is refused here.
    bool javaDue = false;
    ChildStart java;
};

// Composes the run's starts into a fresh `plan`, opening no file and starting
// nothing; the only setting it changes is configJavaOptions, null becoming
// the empty text.
void composeJob(JobPlan& plan);

// How the Java application's start went, for a caller that watches the
// runtime or tells the user of a failure.
struct JavaStart {
    // The runtime was started.
    bool started = false;
    // Its start was due and failed ("error startProcess" in the log).
    bool failed = false;
    // keepProcess asks for the runtime's process handle.
    StartOutcome outcome;
    // The runtime's standard-error file, which outcome.errorOutput reads;
    // null when its errors go to the null device.
    WideText errLog;
};

// Starts the second program and the Java application as configured:
// composeJob, then each due start is carried out. `java`, when given, learns
// how the Java application's start went, and hands the instance it holds
// (single_instance) to the runtime: the launcher lets go of it afterwards.
void doJob(JavaStart* java = nullptr);
