// The word to the user when the application cannot start: one message box,
// shown only where the deployer asked for it (show_failure).
#pragma once

#include "CppTool.h"

#include <windows.h>

#include <cstddef>

// How much of the runtime's standard-error file the message quotes: its end,
// at most this many lines and characters.
constexpr int FAILURE_TAIL_LINES = 10;
constexpr std::size_t FAILURE_TAIL_CHARS = 2000;

// Where the quoted end of `text` (`length` code units) begins: the last
// `maxLines` lines, and of them no more than the last `maxChars` code units,
// never beginning with the second half of a surrogate pair. Line ends at the
// very end of the text start no line of their own.
std::size_t tailStart(const wchar_t* text, std::size_t length, int maxLines,
                      std::size_t maxChars);

// The text for a runtime that could not be started: which program, and the
// system's reason for `error` (0: the launcher refused it, as its log says).
int startFailureText(WideText& text, const wchar_t* application, DWORD error);

// The text for a runtime that ended before it showed a window, with the end
// of its standard-error file `errLog` when it holds any, read through
// `errorOutput`, a handle on the file the runtime wrote to. A null `errLog`
// means the runtime's errors went to the null device: the text says so.
int earlyEndText(WideText& text, DWORD exitCode, const wchar_t* errLog, HANDLE errorOutput);

// Shows `text`, followed by the diagnostic log's path when the log is kept,
// in an error box titled with the application's name: the FileDescription of
// the executable's version record, else moduleName. Logs the text, and why
// it could not be shown: where no user sees the window station (a service)
// nothing is shown, since the box would wait for good. The launcher calls it
// at most once per run, after the splash has closed.
void showFailureMessage(const WideText& text);
