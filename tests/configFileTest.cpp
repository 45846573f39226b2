// The configuration file: which tables and keys land in which settings, and
// what a file that cannot be opened or parsed leaves behind.
#include "CppTool.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

// The settings loadConfig fills, as prepareJob hands them over: "PATH=" in
// the PATH entry and a splash time that shows whether it was touched.
struct Settings {
    Settings() { path.appendWide(L"PATH="); }
    int millisec = 123;
    WideText image, application, application2, dataDir, logDir, path, mainJar, javaOptions, appId;
    bool untilWindow = false;
    bool showFailure = false;
    bool singleInstance = false;

    bool untouched() const {
        return millisec == 123 && !untilWindow && !showFailure && !singleInstance &&
               appId.isNull() && image.isNull() && application.isNull() && application2.isNull() &&
               dataDir.isNull() && logDir.isNull() && std::wcscmp(path.get(), L"PATH=") == 0 &&
               mainJar.isNull() && javaOptions.isNull();
    }
};

class ConfigFile : public ::testing::Test {
protected:
    // The log of an installation called ConfigFile under C:\ProgramData.
    void SetUp() override {
        log_ = freshCoreFor(L"ConfigFile");
        folder_ = makeTempDir(L"config");
    }
    void TearDown() override { resetLauncherState(); }

    // Writes `toml` to a file and reads it into `settings`.
    int load(const std::string& toml, Settings& settings) {
        std::wstring path = folder_ + L"\\ConfigFile.toml";
        writeFile(path, toml);
        return loadFrom(path, settings);
    }

    int loadFrom(const std::wstring& path, Settings& settings) {
        return loadConfig(path.c_str(), settings.millisec, settings.image, settings.application,
                          settings.application2, settings.dataDir, settings.logDir, settings.path,
                          settings.mainJar, settings.javaOptions, settings.untilWindow,
                          settings.showFailure, settings.singleInstance, settings.appId);
    }

    // The entries written so far; the log is closed to read them. No entry,
    // no file.
    std::vector<std::string> logLines() {
        resetLauncherState();
        if (GetFileAttributesW(log_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return {};
        }
        return linesOf(readFile(log_));
    }

    std::wstring log_;
    std::wstring folder_;
};

// Another program's handle on the configuration file, and the pauses that
// loadConfig makes while the file is held: the handle is closed at the
// pause numbered `pausesUntilRelease` (never when 0).
HANDLE heldBy = INVALID_HANDLE_VALUE;
int pausesUntilRelease = 0;
int pauses = 0;
unsigned long pausedMs = 0;

void WINAPI countPause(DWORD ms) {
    ++pauses;
    pausedMs += ms;
    if (pauses == pausesUntilRelease && heldBy != INVALID_HANDLE_VALUE) {
        CloseHandle(heldBy);
        heldBy = INVALID_HANDLE_VALUE;
    }
}

// A writer that shares nothing holds the file; pauses are counted, not slept.
class HeldConfigFile : public ConfigFile {
protected:
    void SetUp() override {
        ConfigFile::SetUp();
        path_ = folder_ + L"\\ConfigFile.toml";
        writeFile(path_, "[splash]\nmillisec = 2500\n");
        heldBy = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(heldBy, INVALID_HANDLE_VALUE);
        pauses = 0;
        pausedMs = 0;
        kernel.Sleep = countPause;
    }
    void TearDown() override {
        if (heldBy != INVALID_HANDLE_VALUE) {
            CloseHandle(heldBy);
            heldBy = INVALID_HANDLE_VALUE;
        }
        ConfigFile::TearDown();
    }

    KernelOverride restore_;
    std::wstring path_;
};

}  // namespace

TEST_F(ConfigFile, ReadsTheWorkedExampleVerbatim) {
    Settings settings;
    ASSERT_EQ(load(workedExample, settings), 0);
    EXPECT_STREQ(settings.image.get(), L"splash.ico");
    EXPECT_EQ(settings.millisec, 2500);
    EXPECT_STREQ(settings.path.get(), L"PATH=$(moduleDir)\\jre\\bin;");
    EXPECT_STREQ(settings.mainJar.get(), L"$(moduleDir)\\app\\main.jar");
    EXPECT_STREQ(settings.javaOptions.get(), L"-Xms64m -Xmx512m -Dapp.home=$(programData)\\Example ");
    EXPECT_STREQ(settings.application.get(), L"$(moduleDir)\\jre\\bin\\javaw.exe");
    EXPECT_STREQ(settings.application2.get(), L"$(moduleDir)\\bin\\agent.exe");
    EXPECT_STREQ(settings.logDir.get(), L"$(programData)\\Example\\log");
    EXPECT_STREQ(settings.dataDir.get(), L"$(programData)\\Example");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(ConfigFile, MissingFileLogsFopenAndTouchesNothing) {
    Settings settings;
    EXPECT_EQ(loadFrom(folder_ + L"\\Absent.toml", settings), ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryOrigin(lines[0]), "loadconfig:loadConfig");
    EXPECT_EQ(entryBody(lines[0]), std::string("fopen ") + std::strerror(ENOENT));
}

TEST_F(ConfigFile, SyntaxErrorLogsTheParserLineAndTouchesNothing) {
    Settings settings;
    // The keys before the faulty line are not taken either.
    EXPECT_EQ(load("[splash]\nimage = 'a.ico'\nmillisec = 2500\n[app]\nexec = \"C:\\xyz\"\n", settings),
              ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryOrigin(lines[0]), "loadconfig:loadConfig");
    EXPECT_EQ(entryBody(lines[0]).rfind("toml_parse_file line 5: ", 0), 0u) << lines[0];
}

TEST_F(ConfigFile, DuplicateKeyIsASyntaxError) {
    Settings settings;
    EXPECT_EQ(load("[splash]\nmillisec = 2500\nmillisec = 3000\n", settings), ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryBody(lines[0]).rfind("toml_parse_file line 3: ", 0), 0u) << lines[0];
}

TEST_F(ConfigFile, EmptyOrCommentOnlyFileSetsNothing) {
    for (const char* toml : {"", "# nothing yet\n\n   # still nothing\n"}) {
        Settings settings;
        EXPECT_EQ(load(toml, settings), 0);
        EXPECT_TRUE(settings.untouched()) << toml;
    }
}

TEST_F(ConfigFile, UnknownTablesAndKeysAreIgnored) {
    Settings settings;
    EXPECT_EQ(load("millisec = 1\nimage = 'root.ico'\n[other]\nexec = 'x.exe'\n"
                   "[splash]\ncolour = 'red'\n[app]\nexec3 = 'y.exe'\n",
                   settings),
              0);
    EXPECT_TRUE(settings.untouched());
}

TEST_F(ConfigFile, MillisecMustBeAnInteger) {
    for (const char* value : {"'2500'", "2500.0", "true", "1979-05-27", "[2500]", "{ ms = 2500 }"}) {
        Settings settings;
        EXPECT_EQ(load(std::string("[splash]\nmillisec = ") + value + "\n", settings), 0) << value;
        EXPECT_EQ(settings.millisec, 123) << value;
    }
}

TEST_F(ConfigFile, MillisecReadsEveryIntegerNotation) {
    struct Case {
        const char* text;
        int value;
    };
    for (const Case& c : {Case{"0x9C4", 2500}, Case{"0o4704", 2500}, Case{"0b100111000100", 2500},
                          Case{"2_500", 2500}, Case{"+2500", 2500}, Case{"-5", -5}, Case{"0", 0}}) {
        Settings settings;
        EXPECT_EQ(load(std::string("[splash]\nmillisec = ") + c.text + "\n", settings), 0);
        EXPECT_EQ(settings.millisec, c.value) << c.text;
    }
}

// A value beyond 32 bits is held at the nearest end of the range: cutting it
// to its low 32 bits would turn 2^32 + 2500 into a 2.5 s splash and 2^32
// into none.
TEST_F(ConfigFile, MillisecBeyond32BitsIsSaturated) {
    struct Case {
        const char* text;
        int value;
    };
    for (const Case& c : {Case{"2147483647", INT_MAX}, Case{"2147483648", INT_MAX},
                          Case{"4294969796", INT_MAX}, Case{"4294967296", INT_MAX},
                          Case{"9223372036854775807", INT_MAX}, Case{"-2147483648", INT_MIN},
                          Case{"-2147483649", INT_MIN}, Case{"-4294967296", INT_MIN},
                          Case{"-9223372036854775808", INT_MIN}}) {
        Settings settings;
        EXPECT_EQ(load(std::string("[splash]\nmillisec = ") + c.text + "\n", settings), 0);
        EXPECT_EQ(settings.millisec, c.value) << c.text;
    }
}

TEST_F(ConfigFile, ArraysStopAtTheFirstNonString) {
    Settings settings;
    EXPECT_EQ(load("[env]\nPATH = ['C:\\one', 2, 'C:\\three']\n"
                   "[jre]\noptions = ['-Xms64m', '-Xmx512m', ['-nested'], '-late']\n",
                   settings),
              0);
    EXPECT_STREQ(settings.path.get(), L"PATH=C:\\one;");
    EXPECT_STREQ(settings.javaOptions.get(), L"-Xms64m -Xmx512m ");
}

TEST_F(ConfigFile, AStringWhereAnArrayIsDueAppendsNothing) {
    Settings settings;
    EXPECT_EQ(load("[env]\nPATH = 'C:\\jre\\bin'\n[jre]\noptions = '-Xmx512m'\n", settings), 0);
    EXPECT_TRUE(settings.untouched());
}

TEST_F(ConfigFile, EmptyArraysAppendNothing) {
    Settings settings;
    EXPECT_EQ(load("[env]\nPATH = []\n[jre]\noptions = []\n", settings), 0);
    EXPECT_TRUE(settings.untouched());
}

TEST_F(ConfigFile, ArrayElementsAreAppendedToWhatTheSettingHolds) {
    Settings settings;
    settings.javaOptions.appendWide(L"-Dfirst ");
    EXPECT_EQ(load("[env]\nPATH = ['a', '', 'b']\n[jre]\noptions = ['-Dsecond']\n", settings), 0);
    EXPECT_STREQ(settings.path.get(), L"PATH=a;;b;");
    EXPECT_STREQ(settings.javaOptions.get(), L"-Dfirst -Dsecond ");
}

TEST_F(ConfigFile, EmptyStringsAreConfiguredNotNull) {
    Settings settings;
    EXPECT_EQ(load("[splash]\nimage = ''\n[jre]\nmain_jar = \"\"\n[app]\nexec2 = ''\n", settings), 0);
    ASSERT_FALSE(settings.image.isNull());
    EXPECT_STREQ(settings.image.get(), L"");
    ASSERT_FALSE(settings.mainJar.isNull());
    ASSERT_FALSE(settings.application2.isNull());
    EXPECT_STREQ(settings.application2.get(), L"");
    EXPECT_TRUE(settings.application.isNull());
}

TEST_F(ConfigFile, StringKeysTakeOnlyStrings) {
    Settings settings;
    EXPECT_EQ(load("[splash]\nimage = 1\n[jre]\nmain_jar = ['a.jar']\n"
                   "[app]\nexec = true\nexec2 = { path = 'x' }\nlog_dir = 1979-05-27\ndata_dir = 1.5\n",
                   settings),
              0);
    EXPECT_TRUE(settings.untouched());
}

// The two switches take only TOML's true and false, each in its own table.
TEST_F(ConfigFile, SwitchesTakeOnlyBooleansInTheirOwnTables) {
    struct Case {
        const char* toml;
        bool untilWindow;
        bool showFailure;
    };
    for (const Case& c : {
             Case{"[splash]\nuntil_window = true\n[app]\nshow_failure = true\n", true, true},
             Case{"[splash]\nuntil_window = false\n[app]\nshow_failure = false\n", false, false},
             Case{"[splash]\nuntil_window = 1\n[app]\nshow_failure = 'true'\n", false, false},
             Case{"[app]\nuntil_window = true\n[splash]\nshow_failure = true\n", false, false},
         }) {
        Settings settings;
        EXPECT_EQ(load(c.toml, settings), 0) << c.toml;
        EXPECT_EQ(settings.untilWindow, c.untilWindow) << c.toml;
        EXPECT_EQ(settings.showFailure, c.showFailure) << c.toml;
    }
}

// single_instance takes a boolean and app_id a string, both in [app] only;
// the id is taken as written, its rules are the effective settings' concern.
TEST_F(ConfigFile, InstanceAndIdentityKeysTakeTheirTypesInApp) {
    struct Case {
        const char* toml;
        bool singleInstance;
        const wchar_t* appId;
    };
    for (const Case& c : {
             Case{"[app]\nsingle_instance = true\napp_id = 'Acme.Payroll'\n", true, L"Acme.Payroll"},
             Case{"[app]\nsingle_instance = false\napp_id = 'Acme Payroll'\n", false, L"Acme Payroll"},
             Case{"[app]\nsingle_instance = 'true'\napp_id = ['Acme.Payroll']\n", false, nullptr},
             Case{"[splash]\nsingle_instance = true\napp_id = 'Acme.Payroll'\n", false, nullptr},
         }) {
        Settings settings;
        EXPECT_EQ(load(c.toml, settings), 0) << c.toml;
        EXPECT_EQ(settings.singleInstance, c.singleInstance) << c.toml;
        if (c.appId == nullptr) {
            EXPECT_TRUE(settings.appId.isNull()) << c.toml;
        } else {
            EXPECT_STREQ(settings.appId.get(), c.appId) << c.toml;
        }
    }
}

TEST_F(ConfigFile, TableAndKeyNamesAreCaseSensitive) {
    Settings settings;
    EXPECT_EQ(load("[Splash]\nmillisec = 2500\n[APP]\nexec = 'x.exe'\n[env]\nPath = ['C:\\jre']\n"
                   "[jre]\nMain_Jar = 'a.jar'\n",
                   settings),
              0);
    EXPECT_TRUE(settings.untouched());
}

TEST_F(ConfigFile, InlineAndDottedTablesAreRead) {
    Settings settings;
    EXPECT_EQ(load("splash = { image = 'inline.ico', millisec = 1500 }\n"
                   "env.PATH = ['C:\\dotted']\n"
                   "app = { exec = 'C:\\a.exe', exec2 = 'C:\\b.exe' }\n"
                   "[jre]\noptions.first = '-X'\n",
                   settings),
              0);
    EXPECT_STREQ(settings.image.get(), L"inline.ico");
    EXPECT_EQ(settings.millisec, 1500);
    EXPECT_STREQ(settings.path.get(), L"PATH=C:\\dotted;");
    EXPECT_STREQ(settings.application.get(), L"C:\\a.exe");
    EXPECT_STREQ(settings.application2.get(), L"C:\\b.exe");
    // options is a table here, not an array.
    EXPECT_TRUE(settings.javaOptions.isNull());
}

TEST_F(ConfigFile, NonAsciiValuesArriveAsTheSameCharacters) {
    Settings settings;
    EXPECT_EQ(load("[app]\nexec = 'C:\\Programme\\Caf\xC3\xA9\\javaw.exe'\n"
                   "data_dir = \"D:\\\\\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\\\\\xF0\x9F\x98\x80\"\n",
                   settings),
              0);
    EXPECT_STREQ(settings.application.get(), L"C:\\Programme\\Caf\x00E9\\javaw.exe");
    EXPECT_STREQ(settings.dataDir.get(), L"D:\\\x0414\x0430\x043D\x043D\x044B\\\xD83D\xDE00");
}

// The pitfall deployers meet: in double quotes a backslash starts an escape.
TEST_F(ConfigFile, BackslashesEscapeOnlyInDoubleQuotes) {
    Settings settings;
    EXPECT_EQ(load("[app]\nexec = \"C:\\new\\tools\"\nexec2 = 'C:\\new\\tools\\a.exe'\n"
                   "log_dir = \"C:\\\\logs\"\n",
                   settings),
              0);
    EXPECT_STREQ(settings.application.get(), L"C:\new\tools");
    EXPECT_STREQ(settings.application2.get(), L"C:\\new\\tools\\a.exe");
    EXPECT_STREQ(settings.logDir.get(), L"C:\\logs");
}

// Notepad may write a byte-order mark; the file is read all the same.
TEST_F(ConfigFile, ByteOrderMarkIsAccepted) {
    Settings settings;
    EXPECT_EQ(load(std::string("\xEF\xBB\xBF") + workedExample, settings), 0);
    EXPECT_EQ(settings.millisec, 2500);
}

TEST_F(ConfigFile, WindowsLineEndsAreRead) {
    Settings settings;
    EXPECT_EQ(load("[splash]\r\nimage = 'crlf.ico'\r\nmillisec = 1\r\n", settings), 0);
    EXPECT_STREQ(settings.image.get(), L"crlf.ico");
    EXPECT_EQ(settings.millisec, 1);
}

TEST_F(ConfigFile, MalformedValueAnywhereFailsTheWholeFile) {
    Settings settings;
    EXPECT_EQ(load("[splash]\nmillisec = 2500\n[other]\nwhen = 1979-13-27\n", settings), ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
}

TEST_F(HeldConfigFile, IsReadOnceTheWriterLetsGo) {
    pausesUntilRelease = 3;
    Settings settings;
    EXPECT_EQ(loadFrom(path_, settings), 0);
    EXPECT_EQ(settings.millisec, 2500);
    EXPECT_EQ(pauses, 3);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(HeldConfigFile, IsUnreadableWhenHeldForTwoSeconds) {
    pausesUntilRelease = 0;
    Settings settings;
    EXPECT_EQ(loadFrom(path_, settings), ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
    EXPECT_EQ(pausedMs, 2000u);
    EXPECT_EQ(pauses, 40);
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(entryOrigin(lines[0]), "loadconfig:loadConfig");
    EXPECT_EQ(entryBody(lines[0]), "fopen still in use by another program after 2 seconds");
}

// A missing file or one that may not be read will not change by waiting.
TEST_F(HeldConfigFile, OtherFailuresToOpenAreNotWaitedFor) {
    Settings settings;
    EXPECT_EQ(loadFrom(folder_ + L"\\Absent.toml", settings), ERROR_GENERIC);
    std::wstring folderInstead = folder_ + L"\\Folder.toml";
    ASSERT_TRUE(CreateDirectoryW(folderInstead.c_str(), nullptr));
    EXPECT_EQ(loadFrom(folderInstead, settings), ERROR_GENERIC);
    EXPECT_TRUE(settings.untouched());
    EXPECT_EQ(pauses, 0);
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(entryBody(lines[0]), std::string("fopen ") + std::strerror(ENOENT));
    EXPECT_EQ(entryBody(lines[1]), std::string("fopen ") + std::strerror(EACCES));
}
