// launchertool info: what a program file carries: its icons, its version
// record, its manifest's execution level and whether it is signed.
#pragma once

#include <string>
#include <vector>

extern const char infoUsage[];
int infoCommand(const std::vector<std::string>& arguments);
// What info prints for the program file `bytes` read from `path`, as text
// or as JSON; fails as info does.
std::string infoReport(const std::string& bytes, const std::string& path, bool json);
