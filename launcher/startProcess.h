// Starting one child process with a filtered environment and redirected
// standard handles. The launcher never waits for a child or keeps a handle to
// it.
#pragma once

#include "CppTool.h"

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

// Starts `application` in `currentDirectory` with the command line
// "application" arguments. Standard output and error go to `outLog` and
// `errLog` (the null device when null), standard input reads the null device.
// `environment` holds the caller's entries; the passed-on variables are
// appended to it and the whole block becomes the child's environment.
// Returns 0 when the child was created, ERROR_GENERIC otherwise.
int startProcess(const wchar_t* outLog, const wchar_t* errLog, const wchar_t* application,
                 const wchar_t* currentDirectory, const wchar_t* arguments,
                 EnvironmentBlock& environment);
