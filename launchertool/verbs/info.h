// launchertool info: what a program file carries: its icons, its version
// record, its manifest's execution level and whether it is signed.
#pragma once

#include <string>
#include <vector>

extern const char infoUsage[];
int infoCommand(const std::vector<std::string>& arguments);
