// launchertool info: what a program file carries: its icons, its version
// record, its manifest's execution level and whether it is signed.
#pragma once

extern const wchar_t infoUsage[];
int infoCommand(int argc, wchar_t** argv);
