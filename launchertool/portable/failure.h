// How the tool's work reports a problem the deployer must fix: the command
// line's entry catches the Failure, prints its one line and exits with
// EXIT_PROBLEMS, whichever verb raised it (check too). Everything is owned by
// scope, so a failure can be raised from wherever it is found.
#pragma once

#include <stdexcept>
#include <string>

// A standard exception, so that no handler for the standard ones can take
// it for something else by missing it; its what() is the UTF-8 message.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void fail(const std::string& message);
