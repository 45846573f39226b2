// The splash window driven with messages, its platform calls recorded through
// the kernel table, and its placement on the screen.
#include "entryAndSplash.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const HWND WINDOW = reinterpret_cast<HWND>(0x4711);

// The window's platform calls, in order, as readable texts.
std::vector<std::string> calls;

void record(const std::string& call) {
    calls.push_back(call);
}

std::string windowText(HWND window) {
    return window == WINDOW ? "splash" : "other window";
}

// An installation named SplashWindowTest whose log is read back; its children
// are recorded, not started.
class SplashWindow : public ::testing::Test {
protected:
    void SetUp() override {
        resetLauncherState();
        calls.clear();
        freshLog();
        kernel.CreateProcessW = [](LPCWSTR application, LPWSTR, LPSECURITY_ATTRIBUTES,
                                   LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                   LPSTARTUPINFOW, LPPROCESS_INFORMATION) WINAPI -> BOOL {
            record("CreateProcess " + utf8(application));
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        };
        kernel.KillTimer = [](HWND window, UINT_PTR id) WINAPI -> BOOL {
            record("KillTimer " + windowText(window) + " " + std::to_string(id));
            return TRUE;
        };
        kernel.PostQuitMessage = [](int code) WINAPI {
            record("PostQuitMessage " + std::to_string(code));
        };
        kernel.PostMessageW = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINAPI -> BOOL {
            record("PostMessage " + windowText(window) + " " + std::to_string(message) + " " +
                   std::to_string(wParam) + " " + std::to_string(lParam));
            return TRUE;
        };
        kernel.SetTimer = [](HWND window, UINT_PTR id, UINT millisec, TIMERPROC procedure) WINAPI -> UINT_PTR {
            record("SetTimer " + windowText(window) + " " + std::to_string(id) + " " +
                   std::to_string(millisec) + (procedure == nullptr ? "" : " with procedure"));
            return id;
        };
        kernel.DefWindowProcW = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINAPI -> LRESULT {
            record("DefWindowProc " + windowText(window) + " " + std::to_string(message) + " " +
                   std::to_string(wParam) + " " + std::to_string(lParam));
            return 1234;
        };
    }
    void TearDown() override { resetLauncherState(); }

    // Logs go to a fresh log of their own; reading the log ends this.
    void freshLog() {
        logPath_ = freshLogFile(L"SplashWindowTest");
        std::wcscpy(programData, L"C:\\ProgramData");
        std::wcscpy(moduleDir, L"SplashWindowTest");
        moduleName = moduleDir;
    }

    // A second program is configured: doJob shows as its start.
    void configureSecondProgram() {
        configApplication2.appendWide(L"C:\\Apps\\second.exe");
        configDataDir.appendWide(L"C:\\");
        configPath.appendWide(L"PATH=C:\\windows\\system32");
    }

    std::vector<std::string> logLines() {
        resetLauncherState();
        return linesOf(readFile(logPath_));
    }

    std::wstring logPath_;
    KernelOverride restore_;
};

const HDC DEVICE = reinterpret_cast<HDC>(0x0815);

std::string rectText(const RECT& rect) {
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
           std::to_string(rect.right) + "," + std::to_string(rect.bottom);
}

// The system asks for part of the window, 10,20 to 110,70, to be painted.
class SplashPaint : public SplashWindow {
protected:
    void SetUp() override {
        SplashWindow::SetUp();
        kernel.BeginPaint = [](HWND window, PAINTSTRUCT* paint) WINAPI -> HDC {
            record("BeginPaint " + windowText(window));
            paint->hdc = DEVICE;
            paint->rcPaint = RECT{10, 20, 110, 70};
            return DEVICE;
        };
        kernel.EndPaint = [](HWND window, const PAINTSTRUCT* paint) WINAPI -> BOOL {
            record("EndPaint " + windowText(window) + (paint->hdc == DEVICE ? "" : " other paint"));
            return TRUE;
        };
        kernel.DrawIconEx = [](HDC device, int x, int y, HICON icon, int width, int height,
                               UINT step, HBRUSH brush, UINT flags) WINAPI -> BOOL {
            record(std::string("DrawIconEx") + (device == DEVICE ? "" : " other device") +
                   (icon == splashIcon ? " splash icon " : " other icon ") + std::to_string(x) +
                   "," + std::to_string(y) + " size " + std::to_string(width) + "x" +
                   std::to_string(height) + " step " + std::to_string(step) +
                   (brush == nullptr ? "" : " with brush") + " flags " + std::to_string(flags));
            return TRUE;
        };
        kernel.FillRect = [](HDC device, const RECT* rect, HBRUSH brush) WINAPI -> int {
            record(std::string("FillRect") + (device == DEVICE ? " " : " other device ") +
                   rectText(*rect) + " brush " + std::to_string(reinterpret_cast<INT_PTR>(brush)));
            return 1;
        };
    }
};

// A 32 by 32 monochrome icon of our own, destroyed by resetLauncherState.
HICON makeIcon() {
    std::vector<BYTE> andMask(128, 0x00);
    std::vector<BYTE> xorMask(128, 0xFF);
    return CreateIcon(GetModuleHandleW(nullptr), 32, 32, 1, 1, andMask.data(), xorMask.data());
}

}  // namespace

TEST_F(SplashWindow, AnyTimerPostsClose) {
    for (WPARAM id : {WPARAM{SPLASH_TIMER_ID}, WPARAM{0}, WPARAM{99}}) {
        calls.clear();
        EXPECT_EQ(splashWindowProc(WINDOW, WM_TIMER, id, 0), 0) << "timer " << id;
        EXPECT_EQ(calls, std::vector<std::string>{"PostMessage splash 16 0 0"}) << "timer " << id;
    }
}

TEST_F(SplashWindow, DestroyKillsTheTimerAndQuitsWithZero) {
    EXPECT_EQ(splashWindowProc(WINDOW, WM_DESTROY, 0, 0), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"KillTimer splash 15", "PostQuitMessage 0"}));
}

TEST_F(SplashWindow, StartMessageSetsTheTimerAndThenStartsTheApplication) {
    configureSecondProgram();
    splashMillisec = 2500;
    EXPECT_EQ(splashWindowProc(WINDOW, WM_LAUNCH_START, 0, 0), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"SetTimer splash 15 2500",
                                               "CreateProcess C:\\Apps\\second.exe"}));
}

TEST_F(SplashWindow, LaterStartMessagesAreIgnored) {
    configureSecondProgram();
    splashMillisec = 2500;
    splashWindowProc(WINDOW, WM_LAUNCH_START, 0, 0);
    calls.clear();
    // Any program on the desktop can post the message to the window.
    EXPECT_EQ(splashWindowProc(WINDOW, WM_LAUNCH_START, 0, 0), 0);
    EXPECT_EQ(splashWindowProc(WINDOW, WM_LAUNCH_START, 1, 1), 0);
    EXPECT_EQ(calls, std::vector<std::string>{});
}

TEST_F(SplashWindow, OtherMessagesGoToTheDefault) {
    struct Case {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    for (const Case& c : {Case{WM_CLOSE, 0, 0}, Case{WM_ERASEBKGND, 77, 0},
                          Case{WM_LAUNCH_START + 1, 5, -6}, Case{WM_USER, 0, 3}}) {
        calls.clear();
        EXPECT_EQ(splashWindowProc(WINDOW, c.message, c.wParam, c.lParam), 1234) << c.message;
        EXPECT_EQ(calls, std::vector<std::string>{"DefWindowProc splash " + std::to_string(c.message) +
                                                  " " + std::to_string(c.wParam) + " " +
                                                  std::to_string(c.lParam)});
    }
}

TEST_F(SplashPaint, ImageIsDrawnAtItsOwnSizeInTheTopLeftCorner) {
    splashIcon = makeIcon();
    ASSERT_NE(splashIcon, nullptr);
    EXPECT_EQ(splashWindowProc(WINDOW, WM_PAINT, 0, 0), 0);
    // Size 0 without DI_DEFAULTSIZE is the icon's own size; DI_NORMAL (3)
    // draws the image through its mask.
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "BeginPaint splash", "DrawIconEx splash icon 0,0 size 0x0 step 0 flags 3",
                         "EndPaint splash"}));
}

TEST_F(SplashPaint, WithoutImageTheRequestedAreaIsFilledWithTheWorkspaceColour) {
    EXPECT_EQ(splashWindowProc(WINDOW, WM_PAINT, 0, 0), 0);
    // 13 is COLOR_APPWORKSPACE + 1, the brush of that system colour.
    EXPECT_EQ(calls, (std::vector<std::string>{"BeginPaint splash", "FillRect 10,20,110,70 brush 13",
                                               "EndPaint splash"}));
}

// The splash path on a 1920 by 1080 screen, with a window that is made, or not.
class SplashPath : public SplashWindow {
protected:
    void SetUp() override {
        SplashWindow::SetUp();
        kernel.GetClientRect = [](HWND, RECT* rect) WINAPI -> BOOL {
            *rect = RECT{0, 0, 1920, 1080};
            return TRUE;
        };
        kernel.CreateWindowExW = [](DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style,
                                    int x, int y, int width, int height, HWND parent, HMENU menu,
                                    HINSTANCE, LPVOID data) WINAPI -> HWND {
            char styles[32];
            std::snprintf(styles, sizeof styles, "%lx %lx", exStyle, style);
            record("CreateWindowEx " + utf8(className) + " \"" + utf8(title) + "\" " + styles +
                   " at " + std::to_string(x) + "," + std::to_string(y) + " size " +
                   std::to_string(width) + "x" + std::to_string(height) +
                   (parent == nullptr && menu == nullptr && data == nullptr ? "" : " with extras"));
            if (!windowIsMade) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            return WINDOW;
        };
        // The loop ends at once: the first message is the quit message.
        kernel.GetMessageW = [](MSG* message, HWND, UINT, UINT) WINAPI -> BOOL {
            *message = MSG{};
            message->message = WM_QUIT;
            return FALSE;
        };
    }

    static bool windowIsMade;
};

bool SplashPath::windowIsMade = true;

namespace {

DWORD creationError = NO_ERROR;

}  // namespace

TEST_F(SplashPath, WindowIsABorderlessVisiblePopupCentredAtTheImageSize) {
    windowIsMade = true;
    splashWidth = 301;
    splashHeight = 151;
    EXPECT_EQ(showSplash(GetModuleHandleW(nullptr)), 0);
    // WS_POPUP | WS_VISIBLE; the start message follows the creation.
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "CreateWindowEx APPLICATIONLAUNCHER \"application launcher\" 0 90000000 "
                         "at 809,464 size 301x151",
                         "PostMessage splash 1068 0 0"}));
}

TEST_F(SplashPath, WindowThatCannotBeMadeIsLoggedAndTheApplicationStartsWithoutIt) {
    windowIsMade = false;
    configureSecondProgram();
    splashMillisec = 2500;
    EXPECT_EQ(showSplash(GetModuleHandleW(nullptr)), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "CreateWindowEx APPLICATIONLAUNCHER \"application launcher\" 0 90000000 "
                         "at 760,440 size 400x200",
                         "CreateProcess C:\\Apps\\second.exe"}));
    std::vector<std::string> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(entryOrigin(lines[0]), "entryAndSplash:showSplash");
    EXPECT_EQ(entryBody(lines[0]).rfind("err:1400 no splash window: CreateWindowEx ", 0), 0u)
        << lines[0];
}

// A window that cannot be made is logged with the code the creation left,
// never with one an earlier call left behind (33, the log's own lock).
TEST_F(SplashPath, FailedWindowIsLoggedWithItsOwnErrorCodeOrNone) {
    windowIsMade = false;
    struct Case {
        DWORD creationError;
        const char* entry;
    };
    for (const Case& c : {Case{ERROR_INVALID_WINDOW_HANDLE, "err:1400 no splash window: CreateWindowEx "},
                          Case{NO_ERROR, "no splash window: CreateWindowEx failed without an error code"}}) {
        freshLog();
        creationError = c.creationError;
        kernel.CreateWindowExW = [](DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                                    HINSTANCE, LPVOID) WINAPI -> HWND {
            if (creationError != NO_ERROR) {
                SetLastError(creationError);
            }
            return nullptr;
        };
        SetLastError(ERROR_LOCK_VIOLATION);
        EXPECT_EQ(showSplash(GetModuleHandleW(nullptr)), 0);
        std::vector<std::string> lines = logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(entryBody(lines[0]).rfind(c.entry, 0), 0u) << lines[0];
    }
}

TEST(SplashGeometry, DefaultSizeForSizesOfZeroOrLess) {
    for (int size : {0, -1, -300}) {
        SplashPlacement placement = placeSplash(1024, 768, size, size);
        EXPECT_EQ(placement.width, 400) << size;
        EXPECT_EQ(placement.height, 200) << size;
        EXPECT_EQ(placement.x, 312) << size;
        EXPECT_EQ(placement.y, 284) << size;
    }
    SplashPlacement tallOnly = placeSplash(1024, 768, 0, 150);
    EXPECT_EQ(tallOnly.width, 400);
    EXPECT_EQ(tallOnly.height, 150);
}

TEST(SplashGeometry, ImageSizeIsCentredWithTheOddPixelDropped) {
    SplashPlacement placement = placeSplash(1920, 1080, 301, 151);
    EXPECT_EQ(placement.width, 301);
    EXPECT_EQ(placement.height, 151);
    EXPECT_EQ(placement.x, 809);
    EXPECT_EQ(placement.y, 464);
}

TEST(SplashGeometry, ImageLargerThanTheScreenTruncatesTowardZero) {
    SplashPlacement placement = placeSplash(1024, 768, 1101, 771);
    EXPECT_EQ(placement.x, -38);
    EXPECT_EQ(placement.y, -1);
    EXPECT_EQ(placement.width, 1101);
}
