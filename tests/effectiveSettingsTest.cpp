// The effective settings: what prepareJob makes of the configuration file
// (PATH completed, splash time clamped, image loaded, placeholders expanded)
// and the seven lines it logs.
#include "CppTool.h"
#include "diagnosticLog.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The files opened for reading the splash image, in order.
std::vector<std::wstring> imageOpens;

HANDLE WINAPI recordImageOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (access == FILE_READ_DATA) {
        imageOpens.push_back(path);
    }
    return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

class EffectiveSettings : public ::testing::Test {
protected:
    void SetUp() override {
        resetLauncherState();
        imageOpens.clear();
        folder_ = makeTempDir(L"effective");
        log_ = freshLogFile(L"Effective");
    }
    void TearDown() override { resetLauncherState(); }

    // Runs prepareJob for <folder>\Effective.exe beside `toml` (no file when
    // null) and returns the log's entries.
    std::vector<std::string> run(const char* toml) {
        if (toml != nullptr) {
            writeFile(folder_ + L"\\Effective.toml", toml);
        }
        {
            FakePaths paths(folder_ + L"\\Effective.exe", L"C:\\windows\\system32");
            kernel.CreateFileW = recordImageOpen;
            prepareJob();
        }
        closeLogFile();
        return linesOf(readFile(log_));
    }

    // The entries of prepareJob after the four path lines.
    static std::vector<std::string> settingLines(const std::vector<std::string>& lines) {
        std::vector<std::string> bodies;
        for (const std::string& line : lines) {
            if (entryOrigin(line) == "loadconfig:prepareJob") {
                bodies.push_back(entryBody(line));
            }
        }
        return bodies.size() > 4 ? std::vector<std::string>(bodies.begin() + 4, bodies.end())
                                 : std::vector<std::string>();
    }

    std::string dir() const { return utf8(folder_); }

    std::wstring folder_;
    std::wstring log_;
};

}  // namespace

TEST_F(EffectiveSettings, WorkedExampleLogsTheSevenLinesInOrder) {
    std::vector<std::string> lines = run(workedExample);
    std::vector<std::string> expected = {
        "configApplication=" + dir() + "\\jre\\bin\\javaw.exe",
        "configApplication2=" + dir() + "\\bin\\agent.exe",
        "configDataDir=C:\\ProgramData\\Example",
        "configLogDir=C:\\ProgramData\\Example\\log",
        "configPath=PATH=" + dir() + "\\jre\\bin;C:\\windows\\system32",
        "configMainJar=" + dir() + "\\app\\main.jar",
        "configJavaOptions=-Xms64m -Xmx512m -Dapp.home=C:\\ProgramData\\Example ",
    };
    EXPECT_EQ(settingLines(lines), expected);
    EXPECT_EQ(splashMillisec, 2500);
    EXPECT_EQ(imageOpens, std::vector<std::wstring>{folder_ + L"\\splash.ico"});
}

TEST_F(EffectiveSettings, FailedConfigurationStillLogsTheSettings) {
    std::vector<std::string> lines = run(nullptr);
    std::vector<std::string> expected = {
        "error loadConfig",
        "configApplication=(null)",
        "configApplication2=(null)",
        "configDataDir=(null)",
        "configLogDir=(null)",
        "configPath=PATH=C:\\windows\\system32",
        "configMainJar=(null)",
        "configJavaOptions=(null)",
    };
    EXPECT_EQ(settingLines(lines), expected);
    EXPECT_EQ(splashMillisec, 0);
    EXPECT_TRUE(imageOpens.empty());
}

// The clamp keeps the splash time in 0..60000, and the image is loaded
// exactly when a splash will be shown.
TEST_F(EffectiveSettings, ClampDecidesOnTheImage) {
    struct Case {
        const char* millisec;
        int clamped;
    };
    for (const Case& c : {Case{"-5", 0}, Case{"0", 0}, Case{"1", 1}, Case{"60000", 60000},
                          Case{"60001", 60000}, Case{"2147483647", 60000},
                          Case{"4294969796", 60000}, Case{"-4294967296", 0}}) {
        resetLauncherState();
        imageOpens.clear();
        run((std::string("[splash]\nimage = 'splash.ico'\nmillisec = ") + c.millisec + "\n").c_str());
        EXPECT_EQ(splashMillisec, c.clamped) << c.millisec;
        EXPECT_EQ(imageOpens.size(), c.clamped > 0 ? 1u : 0u) << c.millisec;
    }
}

TEST_F(EffectiveSettings, ImageIsLoadedFromTheInstallationFolder) {
    copyFile(SPLASH_PNG, folder_ + L"\\logo.png");
    run("[splash]\nimage = 'logo.png'\nmillisec = 1\n");
    EXPECT_NE(splashIcon, nullptr);
    EXPECT_EQ(splashWidth, 300);
    EXPECT_EQ(splashHeight, 150);
}

// Without an image name there is nothing to open, even where a file named
// "(null)" lies beside the launcher: the splash is the plain window.
TEST_F(EffectiveSettings, NoImageNameOpensNothing) {
    copyFile(SPLASH_PNG, folder_ + L"\\(null)");
    std::vector<std::string> lines = run("[splash]\nmillisec = 2000\n");
    EXPECT_EQ(imageOpens, std::vector<std::wstring>{});
    EXPECT_EQ(splashIcon, nullptr);
    for (const std::string& line : lines) {
        EXPECT_NE(entryOrigin(line), "loadImage:initImage") << line;
    }
    EXPECT_EQ(splashMillisec, 2000);
}

TEST_F(EffectiveSettings, ImageNameIsNotExpanded) {
    run("[splash]\nimage = '$(moduleDir)\\logo.ico'\nmillisec = 10\n");
    EXPECT_EQ(imageOpens, std::vector<std::wstring>{folder_ + L"\\$(moduleDir)\\logo.ico"});
}

TEST_F(EffectiveSettings, EachSettingTakesOnlyItsOwnPlaceholders) {
    std::vector<std::string> lines = run(R"(
[env]
PATH = ['$(moduleDir)\a', '$(programData)\b']
[jre]
main_jar = '$(moduleDir)\lib\app.jar;$(programData)\Acme\app.jar'
options = ['-Da=$(moduleDir)', '-Db=$(programData)']
[app]
exec = '$(moduleDir)\x.exe $(programData)\x.exe'
exec2 = '$(programData)\y.exe $(moduleDir)\y.exe'
log_dir = '$(moduleDir)\log $(programData)\log'
data_dir = '$(moduleDir)\data $(programData)\data'
)");
    std::vector<std::string> expected = {
        "configApplication=" + dir() + "\\x.exe $(programData)\\x.exe",
        "configApplication2=$(programData)\\y.exe " + dir() + "\\y.exe",
        "configDataDir=$(moduleDir)\\data C:\\ProgramData\\data",
        "configLogDir=$(moduleDir)\\log C:\\ProgramData\\log",
        "configPath=PATH=" + dir() + "\\a;$(programData)\\b;C:\\windows\\system32",
        "configMainJar=" + dir() + "\\lib\\app.jar;C:\\ProgramData\\Acme\\app.jar",
        "configJavaOptions=-Da=$(moduleDir) -Db=C:\\ProgramData ",
    };
    EXPECT_EQ(settingLines(lines), expected);
}

TEST_F(EffectiveSettings, PlaceholdersInOtherLetterCaseStay) {
    std::vector<std::string> lines =
        run("[app]\nexec = '$(ModuleDir)\\a.exe'\nexec2 = '$(moduledir)\\b.exe'\n"
            "data_dir = '$(PROGRAMDATA)\\c'\n");
    std::vector<std::string> settings = settingLines(lines);
    ASSERT_EQ(settings.size(), 7u);
    EXPECT_EQ(settings[0], "configApplication=$(ModuleDir)\\a.exe");
    EXPECT_EQ(settings[1], "configApplication2=$(moduledir)\\b.exe");
    EXPECT_EQ(settings[2], "configDataDir=$(PROGRAMDATA)\\c");
}

// An installation folder named "$(programData)" is inserted as it is, also
// into the main jar, which takes both placeholders.
TEST_F(EffectiveSettings, InstallationFolderHoldingAPlaceholderIsNotExpandedAgain) {
    folder_ += L"\\$(programData)";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    std::vector<std::string> lines = run("[jre]\nmain_jar = '$(moduleDir)\\$(programData).jar'\n"
                                         "[app]\nexec = '$(moduleDir)\\x.exe'\n");
    std::vector<std::string> settings = settingLines(lines);
    ASSERT_EQ(settings.size(), 7u);
    EXPECT_EQ(settings[0], "configApplication=" + dir() + "\\x.exe");
    EXPECT_EQ(settings[5], "configMainJar=" + dir() + "\\C:\\ProgramData.jar");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceLeftToRight) {
    WideText text;
    text.appendWide(L"a$(moduleDir)b$(moduleDir)$(moduleDir)");
    replaceAll(text, L"$(moduleDir)", L"X");
    EXPECT_STREQ(text.get(), L"aXbXX");
}

TEST(ReplaceAll, EmptyReplacementLeavesAnEmptyTextNotNull) {
    WideText text;
    text.appendWide(L"$(moduleDir)");
    replaceAll(text, L"$(moduleDir)", L"");
    ASSERT_FALSE(text.isNull());
    EXPECT_STREQ(text.get(), L"");
}

TEST(ReplaceAll, InsertedTextIsNotSearchedAgain) {
    WideText text;
    text.appendWide(L"<$(moduleDir)>");
    replaceAll(text, L"$(moduleDir)", L"$(moduleDir)\\$(moduleDir)");
    EXPECT_STREQ(text.get(), L"<$(moduleDir)\\$(moduleDir)>");

    // Two placeholders in one pass: neither value is searched for the other.
    WideText both;
    both.appendWide(L"$(programData)|$(moduleDir)|$(programData)");
    replaceAll(both,
               {{L"$(moduleDir)", L"M$(programData)"}, {L"$(programData)", L"P$(moduleDir)"}});
    EXPECT_STREQ(both.get(), L"P$(moduleDir)|M$(programData)|P$(moduleDir)");
}

TEST(ReplaceAll, TextWithoutThePlaceholderKeepsItsArray) {
    WideText text;
    text.appendWide(L"C:\\$(moduleDir\\x");
    const wchar_t* before = text.get();
    replaceAll(text, L"$(moduleDir)", L"X");
    EXPECT_EQ(text.get(), before);
    EXPECT_STREQ(text.get(), L"C:\\$(moduleDir\\x");
}

TEST(ReplaceAll, NullEmptyTextAndEmptyPlaceholderChangeNothing) {
    WideText null;
    replaceAll(null, L"$(moduleDir)", L"X");
    EXPECT_TRUE(null.isNull());

    WideText empty;
    empty.appendWide(L"");
    replaceAll(empty, L"$(moduleDir)", L"X");
    EXPECT_STREQ(empty.get(), L"");

    WideText text;
    text.appendWide(L"abc");
    replaceAll(text, L"", L"X");
    EXPECT_STREQ(text.get(), L"abc");
}

// What a caller that does not read the log (the deployer's check) learns of
// the run: the file's outcome and the splash image's problem, each with the
// words of its log entry.
TEST_F(EffectiveSettings, OutcomesAreKeptAsValuesWithTheLoggedReason) {
    struct Case {
        const char* what;
        const char* toml;  // null: no file
        bool failed;
        const char* reason;  // the start of configOutcome.reason
        bool imageFails;
        const char* imageProblem;  // the start of splashImageProblem
    };
    const Case cases[] = {
        {"a good file", "[app]\nexec = 'java.exe'\n", false, "", false, ""},
        {"no file", nullptr, true, "fopen ", false, ""},
        {"no TOML", "[app\n", true, "toml_parse_file ", false, ""},
        {"an empty file", "", false, "file is empty: nothing configured", false, ""},
        // The system's own words, without the code.
        {"a missing image", "[splash]\nmillisec = 100\nimage = 'gone.png'\n", false, "", true, ""},
        {"no image but text", "[splash]\nmillisec = 100\nimage = 'Effective.toml'\n", false, "",
         true, "CreateIconFromResourceEx "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((folder_ + L"\\Effective.toml").c_str());
        std::vector<std::string> lines = run(c.toml);
        EXPECT_EQ(configOutcome.failed, c.failed);
        EXPECT_EQ(std::string(configOutcome.reason.text).rfind(c.reason, 0), 0u)
            << configOutcome.reason.text;
        EXPECT_EQ(std::string(configOutcome.reason.text).empty(), *c.reason == '\0');
        EXPECT_EQ(std::string(splashImageProblem.text).rfind(c.imageProblem, 0), 0u)
            << splashImageProblem.text;
        EXPECT_EQ(std::string(splashImageProblem.text).empty(), !c.imageFails);
        EXPECT_EQ(std::string(splashImageProblem.text).rfind("err:", 0), std::string::npos);
        // The values say what the log says.
        for (const char* kept : {configOutcome.reason.text, splashImageProblem.text}) {
            bool logged = *kept == '\0';
            for (const std::string& line : lines) {
                logged = logged || line.find(kept) != std::string::npos;
            }
            EXPECT_TRUE(logged) << kept;
        }
        resetLauncherState();
    }
}
