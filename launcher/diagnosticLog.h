// The launcher's own trace: one UTF-8 text file per installation under
// ProgramData, appended to by every run. Problems of the log itself go to the
// debugger output, never to the file.
#pragma once

#include "CppTool.h"

#include <windows.h>

// Log lines name the file that holds the calling code; the log drops its
// directory and extension.
#define SOURCE __FILE__

// Null until the first entry tries to open the file; afterwards the open
// handle or INVALID_HANDLE_VALUE for the rest of the run.
extern HANDLE logFile;

// The log's path for this installation once programData and moduleName are
// known: programData\TAVEX\Kestrion\launcher<moduleName>.log.
int logFilePath(WideText& path);

// Opens the file at logFilePath once per run.
void openLogFile();

// Writes "Y-MM-DD hh:mm:ss source:line:function " and the formatted message.
void logMessage(const char* source, int line, const char* function, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes the prefix with "err:<code> ", the formatted message and the
// system's text for the code.
void logError(const char* source, int line, const char* function, DWORD code, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
