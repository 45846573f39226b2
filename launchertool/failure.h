// How the tool's work reports a problem the deployer must fix: the verb
// catches the Failure, prints its one line and exits with EXIT_PROBLEMS.
// Owners release everything on the way out, so a failure can be raised from
// wherever it is found.
#pragma once

#include <windows.h>

#include <string>

struct Failure {
    std::wstring message;
};

[[noreturn]] void fail(const std::wstring& message);
// `what`, then the system's own text and code for `code` (GetLastError read
// right at the failed call).
[[noreturn]] void failWithSystemError(const std::wstring& what, DWORD code);
