// launchertool check [--json] PATH\Name.exe: every problem of an installation
// in one pass, decided with the launcher's own code and without starting,
// creating or writing anything.
#pragma once

int runCheck(int argc, wchar_t** argv);
