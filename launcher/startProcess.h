// Starting one child process with a filtered environment and redirected
// standard handles. The launcher never waits for a child; it keeps a handle
// to the Java runtime only while the splash watches for its first window.
//
// A start is made in two steps: composeStart works out everything the start
// passes to the system without opening a file or making a process, and
// startProcess carries it out. The deployer's tool reports what the first
// step composed; the launcher runs both.
#pragma once

#include "CppTool.h"
#include "owners.h"

#include <windows.h>

#include <cstddef>

// One passed-on variable: its name with the "=" sign, so that a longer name
// that merely begins with a listed one does not match.
struct EnvironmentPrefix {
    const wchar_t* text;
    std::size_t length;
};

// The launcher's variables that a child may see, in the order they are tried.
// The path variable is missing on purpose: the caller's entry is the child's
// only path.
extern const EnvironmentPrefix environmentWhitelist[17];

// Everything one start passes to the system.
struct ChildStart {
    // The executable and the working folder; null when the caller gave none,
    // and then nothing else is composed and the start is refused silently.
    WideText application;
    WideText currentDirectory;
    // "application" arguments: the whole command line.
    WideText commandLine;
    // The files for standard output and error; null means the null device,
    // logged as "NUL".
    WideText outLog;
    WideText errLog;
    // The caller's entries (put in before composeStart), then the launcher's
    // variables that pass environmentWhitelist, in the launcher's order.
    EnvironmentBlock environment;
    // False when the launcher's environment could not be read; the start then
    // logs the system's code and is refused.
    bool environmentRead = false;
    DWORD environmentError = 0;
    // Set by the caller for a start it refuses: the Java runtime named as a
    // batch file (isBatchFile).
    bool refusedAsBatchFile = false;
    // The Java runtime's AppUserModelID, given as its title with
    // STARTF_TITLEISAPPID; null for none.
    WideText appId;
};

// Composes the start of `application` in `currentDirectory` with the command
// line "application" arguments and the files `outLog` and `errLog` (null: the
// null device) into a fresh `start`, whose environment already holds the
// caller's entries. Reads the launcher's environment and nothing else.
void composeStart(ChildStart& start, const wchar_t* outLog, const wchar_t* errLog,
                  const wchar_t* application, const wchar_t* currentDirectory,
                  const wchar_t* arguments);

// What a start tells a caller that asks for more than its result.
struct StartOutcome {
    // Set by the caller that watches the child: the child's process handle is
    // then handed over instead of closed.
    bool keepProcess = false;
    // The running child; empty when the start failed, when it was not asked
    // for, or when the system gave no hold on the child.
    FileHandle process;
    // With keepProcess: a handle that reads the very file the child's
    // standard error goes to, never the file of that name opened anew;
    // empty when the child's errors go to the null device.
    FileHandle errorOutput;
    // The system's code for a failed start; 0 when the launcher refused the
    // start for a reason of its own.
    DWORD error = 0;
    // The caller's handles that the child also gets while it is still
    // suspended, as handles of its own that are not inheritable: children it
    // starts in turn do not hold them. They stay the caller's; empty ones
    // are skipped.
    FileHandle handOver[2];
    // The child's process id once it was created and resumed; 0 otherwise.
    DWORD processId = 0;
};

// Carries out a composed start: logs it, opens the output files (only the
// very files of that name in their folder; anything else there gives the
// child the null device), creates the child with exactly its three standard
// handles, and empties the files once the child exists. Returns 0 when the
// child was created, ERROR_GENERIC otherwise; a failed start leaves the files
// as they were. `outcome`, when given, learns the rest.
int startProcess(ChildStart& start, StartOutcome* outcome = nullptr);

// A name that the system would run through the command interpreter: it ends
// in ".bat" or ".cmd" in any letter case, trailing dots and blanks aside
// (the system drops those). The interpreter parses the command line anew and
// expands %NAME% in it, quotes or not, so the Java runtime may not be one.
bool isBatchFile(const wchar_t* application);

// Whether `application` is the launcher's own executable file, by any
// spelling of its path. A launcher that starts itself would start itself
// again without end from a single double-click, so it never does.
bool isLauncherItself(const wchar_t* application);
