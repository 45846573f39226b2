// launchertool brand: a copy of a launcher with the deployer's icon and
// version record.
#pragma once

#include <string>
#include <vector>

extern const char brandUsage[];
int brandCommand(const std::vector<std::string>& arguments);
