// The command line of the deployer's tool, the same on both builds: each
// build's entry point hands its arguments over as UTF-8.
#pragma once

#include <string>
#include <vector>

// Runs the verb the arguments name and returns the exit code. Every failure,
// whatever raised it, ends as one "error:" line and EXIT_PROBLEMS.
int runTool(const std::vector<std::string>& arguments);

// check decides with the launcher's own Windows code: the Windows build runs
// it, the Linux build says how to.
extern const char checkUsage[];
int checkCommand(const std::vector<std::string>& arguments);
