// The launcher's own trace: one UTF-8 text file per installation under
// ProgramData, appended to by every run. Problems of the log itself go to the
// debugger output, never to the file.
#pragma once

#include "CppTool.h"
#include "owners.h"

#include <windows.h>

// Log lines name the file that holds the calling code; the log drops its
// directory and extension.
#define SOURCE __FILE__

// Null until the first entry tries to open the file; afterwards the open
// handle or INVALID_HANDLE_VALUE for the rest of the run. A caller that sets
// it before the first entry gets every entry written to its own handle at
// once, with none of the checks that the log's own file goes through; a
// handle that cannot seek or lock (a pipe, the null device) is written all
// the same.
extern HANDLE logFile;

// The log's path for this installation once programData and moduleName are
// known: programData\TAVEX\Kestrion\launcher<moduleName>.log.
int logFilePath(WideText& path);

// While another process holds the log's lock, a run waits as long as the file
// grows (a queue of launchers taking their turns); once it has stood still for
// 500 milliseconds, this write and every later one of the run go without it.
constexpr ULONGLONG LOG_LOCK_PATIENCE_MS = 500;
// How long this run has waited so far.
extern ULONGLONG logLockWaited;

// Opens the file at logFilePath once per run: an existing file only when it
// is really that file (no link, one name only), else a new one. When it is
// not, the debugger hears "ERROR log file is a link" and the run keeps no log.
void openLogFile();

// Writes "Y-MM-DD hh:mm:ss source:line:function " and the formatted message
// as one line: the values' control characters escaped, one line end at the
// end, whether the format brings its own "\n" or not.
void logMessage(const char* source, int line, const char* function, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes the prefix with "err:<code> ", the formatted message and the
// system's text for the code, on one line like every entry.
void logError(const char* source, int line, const char* function, DWORD code, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// The system's text for `code` in the user's language, in the block the
// system allocated for it, without the blanks and the line end it ends with.
// False, `text` left empty, when the system has no text for the code.
bool systemErrorText(DWORD code, LocalMemory<wchar_t>& text);

// A problem's message as its entry gives it, without the entry's prefix and
// error code, kept as a value for a caller that reports on a run without
// reading its log: the deployer's check, which must not depend on how the
// log names the code that wrote it. Empty while there is nothing to tell.
struct KeptMessage {
    char text[320];
};

// logMessage and logError that also keep the message, cut to the value's
// size; for logError the system's text for the code follows it, as in the
// entry.
void logMessageKept(KeptMessage& kept, const char* source, int line, const char* function,
                    const char* fmt, ...) __attribute__((format(printf, 5, 6)));
void logErrorKept(KeptMessage& kept, const char* source, int line, const char* function,
                  DWORD code, const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// The entries for the log's own file wait in memory, in the order they were
// made, and reach the file together with one locked write: so the entries of
// one run stand together even when many runs share the file, and the run
// pays for the lock once rather than once per entry. This writes what is
// waiting. The launcher calls it before each child's start, so that what led
// to a start is on disk should the start never return, at the end of its
// work, and on every way out; the last comes by itself at process exit.
void flushLog();

// Writes what is waiting, closes the log's file and forgets it, so that the
// next entry opens the file anew (or goes to a handle the caller sets first).
void closeLogFile();
