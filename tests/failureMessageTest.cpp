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
         }) {
        EXPECT_EQ(tailOf(c.text, c.maxLines, c.maxChars), c.tail)
            << utf8(c.text) << " " << c.maxLines << " " << c.maxChars;
    }
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
    WideText text;
    ASSERT_EQ(earlyEndText(text, 1, errLog.c_str()), 0);
    std::string tail = "err_Acme.log):\n";
    for (int line = 2991; line <= 3000; ++line) {
        tail += "éé ligne " + std::to_string(line) + " ∑" + (line < 3000 ? "\r\n" : "");
    }
    std::string quoted = utf8(text.get());
    ASSERT_GE(quoted.size(), tail.size());
    EXPECT_EQ(quoted.substr(quoted.size() - tail.size()), tail) << quoted;
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
