// Helpers shared by the tests: substituting kernel calls, resetting the
// process-wide state, making installations and reading what a run left.
#pragma once

#include "kernelServices.h"

#include <string>
#include <vector>

// Puts the real kernel table back when the test ends, whatever it replaced.
class KernelOverride {
public:
    KernelOverride() : saved_(kernel) {}
    KernelOverride(const KernelOverride&) = delete;
    KernelOverride& operator=(const KernelOverride&) = delete;
    ~KernelOverride() { kernel = saved_; }

private:
    KernelServices saved_;
};

// Sends OutputDebugStringA into a string for the scope's lifetime.
class DebuggerCapture {
public:
    DebuggerCapture();
    DebuggerCapture(const DebuggerCapture&) = delete;
    DebuggerCapture& operator=(const DebuggerCapture&) = delete;
    ~DebuggerCapture();
    const std::string& text() const;

private:
    decltype(kernel.OutputDebugStringA) saved_;
};

// Makes GetModuleFileNameW (and optionally GetSystemDirectoryW) answer with
// the given texts for the scope's lifetime.
class FakePaths {
public:
    explicit FakePaths(const std::wstring& modulePath,
                       const std::wstring& systemDirectory = L"C:\\windows\\system32");
    FakePaths(const FakePaths&) = delete;
    FakePaths& operator=(const FakePaths&) = delete;

private:
    KernelOverride restore_;
};

// Back to the state before the entry point: settings null, buffers zero, no
// splash image, the log not yet opened.
void resetLauncherState();

// The folder where this machine's launcher logs live, created if needed.
std::wstring logDirectory();
// The log file of an installation named `moduleName`, removed beforehand so
// that a test reads only its own run.
std::wstring freshLogFile(const std::wstring& moduleName);

std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& content);
// A new, empty folder under the temporary directory.
std::wstring makeTempDir(const std::wstring& hint);
void copyFile(const std::wstring& from, const std::wstring& to);

// Runs a command line to its end; returns its exit code.
unsigned long runAndWait(const std::wstring& commandLine, const std::wstring& directory = L"");

// The lines of a text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);
// What follows the prefix "Y-MM-DD hh:mm:ss source:line:function " of an entry.
std::string entryBody(const std::string& line);
// "source:function" of an entry, without the line number.
std::string entryOrigin(const std::string& line);

std::string utf8(const std::wstring& text);
