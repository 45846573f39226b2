// The failure message: which end of the runtime's error output it quotes,
// and when a box is shown at all, with the message box and the window station
// stood in for through the kernel table.
#include "failureMessage.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring tailOf(const std::wstring& text, int maxLines, std::size_t maxChars) {
    return text.substr(tailStart(text.c_str(), text.size(), maxLines, maxChars));
}

TEST(ErrorOutputTail, KeepsTheLastLinesAndNoMoreCharactersThanAllowed) {
    struct Case {
        const wchar_t* text;
        int maxLines;
        std::size_t maxChars;
        const wchar_t* tail;
    };
    for (const Case& c : {
             Case{L"one\ntwo\nthree", 10, 2000, L"one\ntwo\nthree"},
             Case{L"one\ntwo\nthree", 2, 2000, L"two\nthree"},
             Case{L"one\r\ntwo\r\nthree", 1, 2000, L"three"},
             Case{L"one\ntwo\nthree", 10, 4, L"hree"},
             Case{L"", 10, 2000, L""},
             Case{L"\n\nlast", 2, 2000, L"\nlast"},
             Case{L"a\U0001F600bc", 10, 3, L"bc"},
             Case{L"\xDE00" L"bc", 10, 2000, L"bc"},
         }) {
        EXPECT_EQ(tailOf(c.text, c.maxLines, c.maxChars), c.tail)
            << utf8(c.text) << " " << c.maxLines << " " << c.maxChars;
    }
}

// The failure message for an early end whose error output is the file
// `errLog`, read through a handle of its own as the launcher reads it.
std::string earlyEndOf(const std::wstring& errLog) {
    HANDLE file = CreateFileW(errLog.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << utf8(errLog);
    WideText text;
    EXPECT_EQ(earlyEndText(text, 1, errLog.c_str(), file), 0);
    CloseHandle(file);
    return utf8(text.get());
}

// A long error output in UTF-8: the message quotes its last ten lines, in
// whole characters, though the read into the file begins inside one (the
// lines are laid out so that it does).
TEST(ErrorOutputTail, QuotesTheEndOfALongFileInWholeCharacters) {
    std::wstring errLog = makeTempDir(L"errorTail") + L"\\err_Acme.log";
    std::string content;
    for (int line = 1; line <= 3000; ++line) {
        content += "éé ligne " + std::to_string(line) + " ∑\r\n";
    }
    writeFile(errLog, content);
    std::string tail = "err_Acme.log):\n";
    for (int line = 2991; line <= 3000; ++line) {
        tail += "éé ligne " + std::to_string(line) + " ∑" + (line < 3000 ? "\r\n" : "");
    }
    std::string quoted = earlyEndOf(errLog);
    ASSERT_GE(quoted.size(), tail.size());
    EXPECT_EQ(quoted.substr(quoted.size() - tail.size()), tail) << quoted;
}

// What the runtime wrote, in the encodings it may write: each file's quote.
TEST(ErrorOutputTail, DecodesWhatTheRuntimeWrote) {
    struct Case {
        const char* what;
        std::string bytes;
        std::string quote;  // "": no quote at all
    };
    for (const Case& c : {
             Case{"UTF-16 with its mark", std::string("\xFF\xFE" "E\0r\0r\0 \0\xAC\x20\n\0", 14),
                  "Err €"},
             Case{"UTF-16 big endian", std::string("\xFE\xFF\0E\0r\0r", 8), "Err"},
             Case{"UTF-8 with one bad byte", "naïve ∑ \xFF end\n", "naïve ∑ \xEF\xBF\xBD end"},
             Case{"UTF-8 with its mark", "\xEF\xBB\xBFstarted\n", "started"},
             Case{"a NUL ends the text", "Error: boom\n" + std::string(3000, '\0'), "Error: boom"},
             Case{"nothing before the NUL", std::string(10, '\0') + "after", ""},
         }) {
        std::wstring errLog = makeTempDir(L"errorTail") + L"\\err_Acme.log";
        writeFile(errLog, c.bytes);
        std::string quoted = earlyEndOf(errLog);
        std::size_t at = quoted.find("err_Acme.log):\n");
        if (c.quote.empty()) {
            EXPECT_EQ(at, std::string::npos) << c.what << ": " << quoted;
        } else {
            ASSERT_NE(at, std::string::npos) << c.what << ": " << quoted;
            EXPECT_EQ(quoted.substr(at + 15), c.quote) << c.what;
        }
    }
}

// Errors that went to the null device are named as such, nothing quoted.
TEST(ErrorOutputTail, SaysSoWhereNoErrorOutputWasKept) {
    WideText text;
    ASSERT_EQ(earlyEndText(text, 1, nullptr, nullptr), 0);
    EXPECT_EQ(utf8(text.get()),
              "The application ended before it showed a window, with exit code 1.\n\n"
              "No error output was kept: it went to the null device.");
}

// What the stand-in message box was asked to show.
std::vector<std::string> shown;
bool stationVisible = true;
int boxResult = IDOK;

class FailureMessage : public ::testing::Test {
protected:
    void SetUp() override {
        fresh();
        kernel.GetUserObjectInformationW = [](HANDLE, int index, PVOID info, DWORD,
                                              LPDWORD) WINAPI -> BOOL {
            if (index != UOI_FLAGS) {
                return FALSE;
            }
            static_cast<USEROBJECTFLAGS*>(info)->dwFlags = stationVisible ? WSF_VISIBLE : 0;
            return TRUE;
        };
        kernel.MessageBoxW = [](HWND, LPCWSTR text, LPCWSTR title, UINT flags) WINAPI -> int {
            char style[16];
            std::snprintf(style, sizeof style, "%x", flags);
            shown.push_back(utf8(title) + " | " + utf8(text) + " | " + style);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return boxResult;
        };
    }
    void TearDown() override { resetLauncherState(); }

    // A fresh log, and no box shown yet.
    void fresh() {
        resetLauncherState();
        shown.clear();
        logPath_ = freshLogFile(L"FailureMessageTest");
        std::wcscpy(programData, L"C:\\ProgramData");
        moduleName = L"FailureMessageTest";
    }

    std::vector<std::string> logBodies() {
        resetLauncherState();
        std::vector<std::string> bodies;
        for (const std::string& line : linesOf(readFile(logPath_))) {
            bodies.push_back(entryBody(line));
        }
        return bodies;
    }

    std::wstring logPath_;
    KernelOverride restore_;
};

// The box: the program's description where its version record has one (this
// test program has none, so its name), an error icon and one OK button,
// brought to the foreground; the text ends with the log's path. Where no user
// sees the window station, or the box cannot be made, the log says so.
TEST_F(FailureMessage, IsShownWhereAUserSeesItAndLoggedEitherWay) {
    struct Case {
        bool visible;
        int result;
        std::size_t boxes;
        const char* lastEntry;
    };
    const std::string text =
        "The application could not be started.\n\nProgram: C:\\jre\\javaw.exe\nReason: ";
    for (const Case& c : {Case{true, IDOK, 1, "showing the failure message: "},
                          Case{false, IDOK, 0, "failure message not shown: the window station is "
                                               "not visible (a service?)"},
                          Case{true, 0, 1, "err:8 failure message could not be shown: MessageBox "}}) {
        fresh();
        stationVisible = c.visible;
        boxResult = c.result;
        WideText message;
        ASSERT_EQ(startFailureText(message, L"C:\\jre\\javaw.exe", ERROR_FILE_NOT_FOUND), 0);
        showFailureMessage(message);

        ASSERT_EQ(shown.size(), c.boxes);
        if (c.boxes == 1) {
            EXPECT_EQ(shown[0].rfind("FailureMessageTest | " + text, 0), 0u) << shown[0];
            EXPECT_NE(shown[0].find("\n\nThe details are in " + utf8(logPath_) + " | "),
                      std::string::npos)
                << shown[0];
            // MB_OK | MB_ICONERROR | MB_SETFOREGROUND
            EXPECT_EQ(shown[0].substr(shown[0].rfind(" | ") + 3), "10010");
        }
        std::vector<std::string> bodies = logBodies();
        ASSERT_FALSE(bodies.empty());
        EXPECT_EQ(bodies.back().rfind(c.lastEntry, 0), 0u) << bodies.back();
        EXPECT_EQ(bodies.front().rfind("showing the failure message: The application could not", 0),
                  0u)
            << bodies.front();
    }
}

}  // namespace
