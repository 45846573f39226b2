// Configuration files as a hostile user, an unlucky installer or an updater
// caught mid-write leaves them, run through the built launcher.exe: every run
// ends with exit code 0 and gets as far as the effective settings, and a file
// the launcher refuses is named in the log with its reason.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// An installation of its own: the launcher as <name>.exe in `folder`.
struct Installation {
    std::wstring folder;
    std::wstring name;
    std::wstring exe() const { return folder + L"\\" + name + L".exe"; }
    std::wstring config() const { return folder + L"\\" + name + L".toml"; }
};

Installation installIn(const std::wstring& folder, const std::wstring& name) {
    Installation installation{folder, name};
    copyFile(LAUNCHER_EXE, installation.exe());
    return installation;
}

// A folder exactly `length` characters long, for the longest expansions of
// $(moduleDir).
std::wstring folderOfLength(std::size_t length) {
    std::wstring base = makeTempDir(L"hostile-long");
    std::wstring folder = base + L"\\" + std::wstring(length - base.size() - 1, L'p');
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    return folder;
}

// Big files are written piece by piece and removed when the test ends.
class WrittenFile {
public:
    explicit WrittenFile(std::wstring path) : path_(std::move(path)) {
        handle_ = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << utf8(path_) << " " << GetLastError();
    }
    WrittenFile(const WrittenFile&) = delete;
    WrittenFile& operator=(const WrittenFile&) = delete;
    ~WrittenFile() {
        close();
        DeleteFileW(path_.c_str());
    }
    void write(const std::string& text) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr));
    }
    void repeat(const std::string& piece, std::size_t times) {
        std::string chunk;
        for (std::size_t done = 0; done < times;) {
            std::size_t now = std::min<std::size_t>(times - done, (1 << 20) / piece.size() + 1);
            chunk.clear();
            for (std::size_t i = 0; i < now; ++i) {
                chunk += piece;
            }
            write(chunk);
            done += now;
        }
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    std::wstring path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// One run of an installation: how it ended, how long it took, what it logged.
struct LauncherRun {
    unsigned long exitCode = ~0ul;
    ULONGLONG milliseconds = 0;
    std::vector<std::string> lines;
};

std::wstring logOf(const Installation& installation) {
    return logDirectory() + L"\\launcher" + installation.name + L".log";
}

HANDLE startLauncher(const Installation& installation) {
    return startWithoutWaiting(L"\"" + installation.exe() + L"\"").hProcess;
}

LauncherRun finish(const Installation& installation, HANDLE launcher, ULONGLONG started) {
    LauncherRun run;
    if (launcher == nullptr) {
        return run;
    }
    WaitForSingleObject(launcher, 120000);
    run.milliseconds = GetTickCount64() - started;
    DWORD code = ~0u;
    GetExitCodeProcess(launcher, &code);
    CloseHandle(launcher);
    run.exitCode = code;
    std::wstring log = logOf(installation);
    run.lines = linesOf(readFile(log));
    DeleteFileW(log.c_str());
    return run;
}

LauncherRun runLauncher(const Installation& installation) {
    freshLogFile(installation.name);
    ULONGLONG started = GetTickCount64();
    return finish(installation, startLauncher(installation), started);
}

std::string systemDirectory() {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    return utf8(system);
}

// The run went on as for any unreadable file: "error loadConfig", then the
// effective settings with nothing configured.
void expectNothingConfigured(const LauncherRun& run) {
    std::vector<std::string> prepared = bodiesFrom(run.lines, "loadconfig:prepareJob");
    std::vector<std::string> expected = {
        "error loadConfig",
        "configApplication=(null)",
        "configApplication2=(null)",
        "configDataDir=(null)",
        "configLogDir=(null)",
        "configPath=PATH=" + systemDirectory(),
        "configMainJar=(null)",
        "configJavaOptions=(null)",
    };
    ASSERT_GE(prepared.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(prepared.end() - static_cast<long>(expected.size()),
                                       prepared.end()),
              expected);
}

// What loadConfig said about the file, one body per entry.
std::vector<std::string> configReasons(const LauncherRun& run) {
    return bodiesFrom(run.lines, "loadconfig:loadConfig");
}

// The run refused its file as invalid TOML on `line`, and went on; returns
// the parser's reason.
std::string expectRefusedOnLine(const LauncherRun& run, int line, const char* what) {
    EXPECT_EQ(run.exitCode, 0u) << what;
    std::vector<std::string> reasons = configReasons(run);
    if (reasons.size() != 1) {
        ADD_FAILURE() << what << ": " << reasons.size() << " lines from loadConfig";
        return {};
    }
    std::string prefix = "toml_parse_file line " + std::to_string(line) + ": ";
    EXPECT_EQ(reasons[0].rfind(prefix, 0), 0u) << what << ": " << reasons[0];
    expectNothingConfigured(run);
    return reasons[0];
}

std::string settingOf(const LauncherRun& run, const std::string& name) {
    std::vector<std::string> found =
        linesStartingWith(bodiesFrom(run.lines, "loadconfig:prepareJob"), name + "=");
    return found.size() == 1 ? found[0].substr(name.size() + 1) : "<" + name + " not logged once>";
}

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

std::string tooLarge(unsigned long long bytes) {
    return "file too large: " + std::to_string(bytes) + " bytes, the limit is 1048576 bytes";
}

}  // namespace

// Keys nested 20,000 deep took the reader's recursion (and the document's
// release) past the end of the stack. Each shape is refused like invalid
// TOML, on the line where the key stands.
TEST(HostileInput, KeysNestedBeyondTheLimitAreRefusedAsInvalidToml) {
    const std::string deep = "a" + repeated(".a", 19999);
    struct Shape {
        const char* what;
        std::string text;
        int line;
    };
    const Shape shapes[] = {
        {"dotted key", "[other]\n" + deep + " = 1\n", 2},
        {"table header", "# deep\n[" + deep + "]\n", 2},
        {"array of tables", "[[" + deep + "]]\n", 1},
        {"dotted key in an inline table", "[jre]\nx = { " + deep + " = 1 }\n", 2},
        {"inline tables in inline tables", "x = " + repeated("{ " + repeated("b.", 99) + "b = ", 200) +
                                               "1" + repeated(" }", 200) + "\n",
         1},
    };
    Installation installation = installIn(makeTempDir(L"hostile-deep"), L"Deep");
    for (const Shape& shape : shapes) {
        writeFile(installation.config(), shape.text);
        std::string reason = expectRefusedOnLine(runLauncher(installation), shape.line, shape.what);
        EXPECT_NE(reason.find("128"), std::string::npos) << shape.what << ": " << reason;
    }
}

// A file is measured before it is read: one beyond the limit, up to hundreds
// of megabytes, is refused at once, and one at the limit is read.
TEST(HostileInput, FilesBeyondTheSizeLimitAreRefusedBeforeReading) {
    std::wstring folder = folderOfLength(221);
    Installation installation = installIn(folder, L"Big");
    struct Case {
        const char* what;
        std::string head;
        std::string piece;
        std::size_t times;
        std::string tail;
    };
    const Case cases[] = {
        {"one option of 200 MiB", "[jre]\noptions = ['-D", "x", 200u << 20, "']\n"},
        {"800,000 placeholders in main_jar", "[jre]\nmain_jar = '", "$(moduleDir)", 800000, "'\n"},
        {"one byte beyond the limit", "#", "-", 1048576 - 1, "\n"},
    };
    for (const Case& c : cases) {
        unsigned long long size = c.head.size() + c.piece.size() * c.times + c.tail.size();
        LauncherRun run;
        {
            WrittenFile config(installation.config());
            config.write(c.head);
            config.repeat(c.piece, c.times);
            config.write(c.tail);
            config.close();
            run = runLauncher(installation);
        }
        EXPECT_EQ(run.exitCode, 0u) << c.what;
        EXPECT_EQ(configReasons(run), std::vector<std::string>{tooLarge(size)}) << c.what;
        expectNothingConfigured(run);
        // Measuring takes no time at all; reading 200 MiB would.
        EXPECT_LT(run.milliseconds, 10000u) << c.what;
    }

    WrittenFile config(installation.config());
    config.write("[app]\nexec = 'atTheLimit.exe'\n#");
    config.repeat("-", 1048576 - std::string("[app]\nexec = 'atTheLimit.exe'\n#\n").size());
    config.write("\n");
    config.close();
    LauncherRun run = runLauncher(installation);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(configReasons(run).empty());
    EXPECT_EQ(settingOf(run, "configApplication"), "atTheLimit.exe");
}

// The largest expansion a file within the limit can ask for: nearly a
// megabyte of $(moduleDir) under a folder of 221 characters gives a main jar
// of some 19 million characters. The run ends as usual.
TEST(HostileInput, LargestExpansionWithinTheLimitEndsTheRunAsUsual) {
    std::wstring folder = folderOfLength(221);
    Installation installation = installIn(folder, L"Wide");
    const std::size_t placeholders = 87000;
    {
        WrittenFile config(installation.config());
        config.write("[jre]\nmain_jar = '");
        config.repeat("$(moduleDir)", placeholders);
        config.write("'\noptions = ['-Dlast=1']\n[app]\nexec = '$(moduleDir)\\missing.exe'\n");
        config.close();
        LauncherRun run = runLauncher(installation);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(configReasons(run).empty());
        std::string mainJar = settingOf(run, "configMainJar");
        EXPECT_EQ(mainJar.size(), placeholders * utf8(folder).size());
        EXPECT_EQ(mainJar.compare(0, 2 * folder.size(), utf8(folder + folder)), 0);
        EXPECT_EQ(settingOf(run, "configJavaOptions"), "-Dlast=1 ");
    }
}

// The C runtime's text mode took Ctrl-Z for the end of the file, so whatever
// followed it was never read, faults included. It is a control character
// like any other now; byte-order marks and Windows line ends still work.
TEST(HostileInput, CtrlZIsReadLikeAnyOtherControlCharacter) {
    Installation installation = installIn(makeTempDir(L"hostile-ctrlz"), L"CtrlZ");
    struct Case {
        const char* what;
        std::string text;
        int line;
    };
    const Case refused[] = {
        {"Ctrl-Z line before invalid TOML",
         "[app]\nexec = 'a.exe'\n\x1A\nexec2 = \"C:\\xyz\"\n", 3},
        {"Ctrl-Z at the end of the file", "[app]\nexec = 'a.exe'\n\x1A", 3},
    };
    for (const Case& c : refused) {
        writeFile(installation.config(), c.text);
        expectRefusedOnLine(runLauncher(installation), c.line, c.what);
    }

    writeFile(installation.config(),
              "\xEF\xBB\xBF[app]\r\nexec = 'bom.exe'\r\n[jre]\r\noptions = ['''\r\nmulti''']\r\n");
    LauncherRun run = runLauncher(installation);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(configReasons(run).empty());
    EXPECT_EQ(settingOf(run, "configApplication"), "bom.exe");
    EXPECT_EQ(settingOf(run, "configJavaOptions"), "multi ");
}

namespace {

const char* const fullConfiguration =
    "[jre]\nmain_jar = 'app.jar'\noptions = ['-Dfirst=1', '-Dsecond=2']\n"
    "[app]\nexec = 'C:\\absent\\javaw.exe'\nlog_dir = 'C:\\absent\\log'\n";

// Another program's handle on the configuration file, as an updater or an
// editor holds it while it rewrites the file.
class Writer {
public:
    Writer(const std::wstring& path, DWORD share) {
        handle_ = CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { close(); }
    void write(const std::string& text) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr));
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

void expectFullConfiguration(const LauncherRun& run) {
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(configReasons(run).empty());
    EXPECT_EQ(settingOf(run, "configApplication"), "C:\\absent\\javaw.exe");
    EXPECT_EQ(settingOf(run, "configLogDir"), "C:\\absent\\log");
    EXPECT_EQ(settingOf(run, "configMainJar"), "app.jar");
    EXPECT_EQ(settingOf(run, "configJavaOptions"), "-Dfirst=1 -Dsecond=2 ");
}

}  // namespace

// The configuration is read whole or not at all. A writer that shares
// nothing held it for 0.7 s: the launcher waits for it instead of failing.
TEST(HostileInput, ConfigurationHeldByAWriterIsReadWhenTheWriterIsDone) {
    Installation installation = installIn(makeTempDir(L"hostile-held"), L"Held");
    freshLogFile(installation.name);
    Writer writer(installation.config(), 0);
    writer.write(fullConfiguration);
    ULONGLONG started = GetTickCount64();
    HANDLE launcher = startLauncher(installation);
    Sleep(700);
    writer.close();
    expectFullConfiguration(finish(installation, launcher, started));
}

// An editor's way of saving: the file emptied, then written in pieces, while
// others may read it. The launcher never reads the half that is there.
TEST(HostileInput, ConfigurationMidRewriteIsReadOnlyOnceComplete) {
    Installation installation = installIn(makeTempDir(L"hostile-rewrite"), L"Rewrite");
    freshLogFile(installation.name);
    std::string text = fullConfiguration;
    std::size_t half = text.find("options");
    Writer writer(installation.config(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    writer.write(text.substr(0, half));
    ULONGLONG started = GetTickCount64();
    HANDLE launcher = startLauncher(installation);
    Sleep(700);
    writer.write(text.substr(half));
    writer.close();
    expectFullConfiguration(finish(installation, launcher, started));
}

// A writer that never lets go holds the launch back for two seconds, not
// longer; the file then counts as unreadable.
TEST(HostileInput, ConfigurationHeldBeyondTheBoundIsUnreadable) {
    Installation installation = installIn(makeTempDir(L"hostile-stuck"), L"Stuck");
    Writer writer(installation.config(), 0);
    writer.write(fullConfiguration);
    LauncherRun run = runLauncher(installation);
    writer.close();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(configReasons(run),
              std::vector<std::string>{"fopen still in use by another program after 2 seconds"});
    expectNothingConfigured(run);
    EXPECT_GE(run.milliseconds, 2000u);
    EXPECT_LT(run.milliseconds, 5000u);
}

// An empty file is valid TOML with nothing in it, but seldom what the
// deployer meant: the log says so.
TEST(HostileInput, EmptyConfigurationIsNamedInTheLog) {
    Installation installation = installIn(makeTempDir(L"hostile-empty"), L"Empty");
    writeFile(installation.config(), "");
    LauncherRun run = runLauncher(installation);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(configReasons(run), std::vector<std::string>{"file is empty: nothing configured"});
    std::vector<std::string> prepared = bodiesFrom(run.lines, "loadconfig:prepareJob");
    EXPECT_TRUE(linesStartingWith(prepared, "error loadConfig").empty());
    EXPECT_EQ(settingOf(run, "configPath"), "PATH=" + systemDirectory());
    EXPECT_EQ(settingOf(run, "configJavaOptions"), "(null)");
}

// Whatever still fails inside the C++ library (in practice memory it cannot
// get) ends the run as every run ends: exit code 0, no message, and one line
// in the log, never abort().
TEST(HostileInput, LibraryFailureEndsTheRunQuietlyWithOneLine) {
    struct Case {
        const wchar_t* failure;
        const char* reason;
    };
    const Case cases[] = {
        {L"memory", "out of memory in the C++ library"},
        {L"length", "length error in the C++ library"},
        {L"index", "index out of range in the C++ library"},
        {L"terminate", "std::terminate"},
    };
    for (const Case& c : cases) {
        std::wstring log = freshLogFile(L"LibraryFailure");
        EXPECT_EQ(runAndWait(L"\"" LIBRARY_FAILURE_EXE L"\" " + std::wstring(c.failure)), 0u)
            << c.reason;
        std::vector<std::string> lines = linesOf(readFile(log));
        EXPECT_EQ(bodiesFrom(lines, "noExceptions:endQuietly"),
                  std::vector<std::string>{std::string("ERROR ") + c.reason +
                                           ": the launcher stops here"})
            << c.reason;
        EXPECT_EQ(lines.size(), 1u) << c.reason;
        DeleteFileW(log.c_str());
    }
}

// Installed under a folder named "$(programData)", the main jar (which takes
// both placeholders) gets the folder as it is, not expanded a second time.
TEST(HostileInput, InstallationFolderNamedLikeAPlaceholderIsInsertedAsItIs) {
    std::wstring folder = makeTempDir(L"hostile-named") + L"\\$(programData)";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    Installation installation = installIn(folder, L"PlaceholderFolder");
    writeFile(installation.config(), "[jre]\nmain_jar = '$(moduleDir)\\app\\main.jar'\n"
                                     "[app]\nexec = '$(moduleDir)\\j.exe'\n");

    LauncherRun run = runLauncher(installation);

    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(settingOf(run, "configMainJar"), utf8(folder) + "\\app\\main.jar");
    EXPECT_EQ(settingOf(run, "configApplication"), utf8(folder) + "\\j.exe");
}
