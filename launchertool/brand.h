// launchertool brand: a copy of a launcher with the deployer's icon and
// version record.
#pragma once

extern const wchar_t brandUsage[];
int brandCommand(int argc, wchar_t** argv);
