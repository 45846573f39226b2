// The splash window driven with messages, its platform calls recorded through
// the kernel table, and its placement on the screen.
#include "entryAndSplash.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

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

class SplashWindow : public ::testing::Test {
protected:
    void SetUp() override {
        resetLauncherState();
        calls.clear();
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

    KernelOverride restore_;
};

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
