// Helpers shared by the tests: substituting kernel calls, resetting the
// process-wide state, making installations and reading what a run left.
#pragma once

#include "kernelServices.h"

#include <functional>
#include <initializer_list>
#include <set>
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
// A program file loaded for its resources only, as the shell reads it.
class ProgramResources {
public:
    explicit ProgramResources(const std::wstring& path);
    ProgramResources(const ProgramResources&) = delete;
    ProgramResources& operator=(const ProgramResources&) = delete;
    ~ProgramResources();

    HMODULE get() const { return module_; }
    // The bytes of one resource; empty when it is missing.
    std::string bytes(LPCWSTR type, WORD name) const;
    // The numbers of every resource of a type.
    std::set<WORD> names(LPCWSTR type) const;

private:
    HMODULE module_;
};

// Icon group `group` of `module` as the shell loads it at `size` pixels: the
// size of its colour bitmap ({0, 0} when it does not load, which is a test
// failure), and its AND mask handed to `readMask` while the icon lives.
SIZE shownIconSize(HMODULE module, WORD group, int size,
                   const std::function<void(HBITMAP mask)>& readMask = {});

// The launcher's core as a new process finds it, for a test that runs it
// in-process: every process-wide value reset, `name` as the module's name
// (inside moduleDir, as the start-up paths leave it) under C:\ProgramData,
// and that installation's log deleted. Returns the log's path.
std::wstring freshCoreFor(const wchar_t* name);
std::wstring freshLogFile(const std::wstring& moduleName);

std::string readFile(const std::wstring& path);
// Everything left to read from a file or a pipe, up to its end.
std::string readToEnd(HANDLE handle);
void writeFile(const std::wstring& path, const std::string& content);
// A new, empty folder under the temporary directory.
std::wstring makeTempDir(const std::wstring& hint);
// A new, empty folder in `parent`, which must exist.
std::wstring makeNewDir(const std::wstring& parent, const std::wstring& hint);
// Makes each folder that does not exist yet, in the order given.
void makeDirectories(std::initializer_list<std::wstring> paths);
void copyFile(const std::wstring& from, const std::wstring& to);

// Starts a command line and returns at once, with the process's handle and
// id; the caller closes the handle. A start that fails fails the test and
// gives a null handle.
PROCESS_INFORMATION startWithoutWaiting(const std::wstring& commandLine);

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

// The layout of an icon group resource (an icon file's directory with
// resource numbers in place of file offsets).
#pragma pack(push, 2)
struct GroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// Runs the deployer's tool with `arguments`, each passed as one argument;
// standard output and standard error are captured together.
CapturedRun runLauncherTool(const std::vector<std::wstring>& arguments);

// Writes `program` to `path` as signing leaves it: a certificate table
// holding `content` at the end of the file, named by the security directory
// entry. The content is no real signature; nothing here checks one.
void writeSignedCopy(const std::wstring& program, const std::wstring& path,
                     const std::string& content);

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
    // 32 or 64: which build of the probe ran; 0 when the record lacks it.
    int pointerBits = 0;
    // What GetStartupInfoW told it: dwFlags and lpTitle.
    unsigned long startupFlags = 0;
    std::string startupTitle;
    std::vector<std::string> environment;
};

// Copies the probe (the 32-bit build unless `build` names another) to
// `directory`\`name`.exe and returns that path.
std::wstring installProbe(const std::wstring& directory, const std::wstring& name,
                          const std::wstring& build = PROBE_EXE);
// Waits up to `timeoutMs` for the record that the probe named `name` leaves
// in its working directory `directory`, then reads it.
ProbeRecord waitForProbe(const std::wstring& directory, const std::wstring& name,
                         unsigned long timeoutMs = 30000);

// The worked example installed in a new folder under the temporary
// directory: the launcher as Acme.exe beside Acme.toml, a probe as the second
// program (bin\agent.exe) and one as the Java runtime (jre\bin\javaw.exe, the
// 32-bit build unless `javaBuild` names another). Its data and log folders
// exist without an earlier run's records, out_Acme.log holds an earlier run's
// output, and the diagnostic log is fresh.
struct WorkedExampleInstallation {
    std::wstring folder;
    std::wstring agent;
    std::wstring javaw;
    std::wstring data;
    std::wstring logs;
    std::wstring log;
};
WorkedExampleInstallation installWorkedExample(const std::wstring& hint,
                                               const std::wstring& javaBuild = PROBE_EXE);

// Checks a child's environment against the block the launcher handed it.
// Under Wine a Windows child also finds Wine's own entries after the block:
// names beginning with WINE, and SystemDrive and SystemRoot (which Wine sets
// again, so they leave their place in the block). Exactly those are tolerated
// after the expected entries, nothing else and nowhere else. Entries named in
// `setBySystem` are left out on both sides: the system gives the child its
// own values for them, wherever it puts them.
void expectChildEnvironment(const std::vector<std::string>& actual,
                            const std::vector<std::string>& expected,
                            const std::vector<std::string>& setBySystem = {});

// The names that 64-bit Windows sets afresh in a 64-bit child of a 32-bit
// parent, whatever block the parent passed (ProgramFiles from ProgramW6432,
// and so on).
extern const std::vector<std::string> setForA64BitChild;

// The entry "name=value" of an environment, or an empty text when it has none.
std::string entryNamed(const std::vector<std::string>& environment, const std::string& name);

// The entries of a block in the layout CreateProcessW takes.
std::vector<std::string> entriesOf(const wchar_t* block, int count);

// The environment listings among the bodies of the log's start entries: the
// lines between each pair of "----".
std::vector<std::vector<std::string>> environmentListings(const std::vector<std::string>& starts);

// Checks a listing against the block handed on. Under Wine the launcher itself
// also holds SystemDrive and SystemRoot, which Wine gives every process; being
// listed, they follow the block, and nothing else may.
void expectListedEnvironment(const std::vector<std::string>& listing,
                             const std::vector<std::string>& handedOn);

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
// Removes a link made so; DeleteFileW under Wine leaves a link to a file.
void removeSymbolicLink(const std::wstring& link);
// Runs `script` with sh from the Linux side and waits for its end; `paths`,
// Windows paths, reach it as $1, $2 and so on in their Linux form.
void runLinuxShell(const std::wstring& script, std::initializer_list<std::wstring> paths);
// The path of a file or folder as Linux sees it, through Wine.
std::string unixPathOf(const std::wstring& path);
