// What the deployer's tool prints. The tool's texts are UTF-8 inside; each
// build writes them the way its console shows them.
#pragma once

#include <string>

// The tool's exit codes.
constexpr int EXIT_CLEAN = 0;     // nothing wrong (warnings allowed)
constexpr int EXIT_PROBLEMS = 1;  // at least one error
constexpr int EXIT_USAGE = 2;     // cannot do what was asked at all

void printOut(const std::string& text);
void printErr(const std::string& text);

#ifdef _WIN32
// A console gets UTF-16 through WriteConsoleW, so that any path shows as it
// is; a file or a pipe gets UTF-8.
void printOut(const std::wstring& text);
void printErr(const std::wstring& text);

// UTF-16 to UTF-8 and back; invalid sequences become U+FFFD.
std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8Text(const std::string& text);
#endif
