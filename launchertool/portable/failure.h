// How the tool's work reports a problem the deployer must fix: the command
// line's entry catches the Failure, prints its one line and exits with
// EXIT_PROBLEMS. Everything is owned by scope, so a failure can be raised
// from wherever it is found.
#pragma once

#include <string>

struct Failure {
    std::string message;  // UTF-8
};

[[noreturn]] void fail(const std::string& message);
