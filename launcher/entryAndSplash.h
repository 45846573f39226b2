// The splash window: a borderless popup centred on the primary screen that
// starts the launch, shows the splash image for splashMillisec and closes.
#pragma once

#include <windows.h>

// The private message that starts the launch; the launcher posts it once.
constexpr UINT WM_LAUNCH_START = WM_USER + 44;
constexpr UINT_PTR SPLASH_TIMER_ID = 15;

constexpr int DEFAULT_SPLASH_WIDTH = 400;
constexpr int DEFAULT_SPLASH_HEIGHT = 200;

// Set by the first start message. The message can come from any program on
// the desktop, and the application must start at most once per run.
extern bool launchStarted;

struct SplashPlacement {
    int x;
    int y;
    int width;
    int height;
};

// The window's rectangle on a screen of the given size: the image's own size,
// or the default size where the image gave none, centred with the division
// truncating toward zero (an image wider than the screen gets a negative x).
SplashPlacement placeSplash(int screenWidth, int screenHeight, int imageWidth, int imageHeight);

// Shows the splash window, which runs doJob, until the timer closes it.
// Returns the process exit code, 0.
int showSplash(HINSTANCE instance);

LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
