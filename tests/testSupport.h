// Helpers shared by the tests: substituting kernel calls, resetting the
// process-wide state, making installations and reading what a run left.
#pragma once

#include "kernelServices.h"

#include <initializer_list>
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

// Makes GetEnvironmentStringsW hand out the given entries for the scope's
// lifetime: a launcher environment of the test's choosing, such as case
// variants of one name, which cannot coexist in a real one.
class FakeEnvironment {
public:
    explicit FakeEnvironment(std::initializer_list<const wchar_t*> entries);
    FakeEnvironment(const FakeEnvironment&) = delete;
    FakeEnvironment& operator=(const FakeEnvironment&) = delete;
    // How often the environment was read, and what was handed back.
    int reads() const;
    const wchar_t* released() const;
    const wchar_t* strings() const;

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
// The same with exactly the given environment (plus what the system adds to
// every process).
unsigned long runWithEnvironment(const std::wstring& commandLine,
                                 std::initializer_list<const wchar_t*> entries);

// What a console program wrote to its standard output, and how it ended.
struct CapturedRun {
    unsigned long exitCode = ~0ul;
    std::string output;
};
// Runs a command line to its end with standard output (and standard error,
// when `withErrors`) captured through a pipe, in `directory` when one is given.
CapturedRun runCapturingOutput(const std::wstring& commandLine, bool withErrors = false,
                               const std::wstring& directory = L"");

// The worked example of the configuration reference (Acme.toml).
extern const char* const workedExample;

// The lines of a text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);
// What follows the prefix "Y-MM-DD hh:mm:ss source:line:function " of an entry.
std::string entryBody(const std::string& line);
// "source:function" of an entry, without the line number.
std::string entryOrigin(const std::string& line);

std::string utf8(const std::wstring& text);

// What the probe (tests/probe) recorded about its start.
struct ProbeRecord {
    bool found = false;
    std::string commandLine;
    std::string currentDirectory;
    bool stdinRead = false;
    std::string stdinText;
    bool stdoutWritten = false;
    bool stderrWritten = false;
    std::vector<std::string> environment;
};

// Copies the probe to `directory`\`name`.exe and returns that path.
std::wstring installProbe(const std::wstring& directory, const std::wstring& name);
// Waits up to `timeoutMs` for the record that the probe named `name` leaves
// in its working directory `directory`, then reads it.
ProbeRecord waitForProbe(const std::wstring& directory, const std::wstring& name,
                         unsigned long timeoutMs = 30000);

// Checks a child's environment against the block the launcher handed it.
// Under Wine a Windows child also finds Wine's own entries after the block:
// names beginning with WINE, and SystemDrive and SystemRoot (which Wine sets
// again, so they leave their place in the block). Exactly those are tolerated
// after the expected entries, nothing else and nowhere else.
void expectChildEnvironment(const std::vector<std::string>& actual,
                            const std::vector<std::string>& expected);

// The entries of a block in the layout CreateProcessW takes.
std::vector<std::string> entriesOf(const wchar_t* block, int count);

// The bodies of the log's entries that came from `origin` ("source:function").
std::vector<std::string> bodiesFrom(const std::vector<std::string>& lines,
                                    const std::string& origin);

// The lines that begin with `prefix`, in order.
std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix);

// The number of handles this process holds.
unsigned long handleCount();

// A symbolic link at `link` to `target` (which need not exist), as a user who
// may write to the folder could plant one. Wine makes no link through
// CreateSymbolicLinkW (it answers TRUE and makes nothing), so the link is made
// from the Linux side with Z:\bin\sh and ln: under Wine a Unix symbolic link is
// what a Windows program meets as a link.
void makeSymbolicLink(const std::wstring& target, const std::wstring& link);
// The path of a file or folder as Linux sees it, through Wine.
std::string unixPathOf(const std::wstring& path);
