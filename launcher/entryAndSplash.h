// The splash window: a borderless popup centred on the primary screen that
// starts the launch, shows the splash image for splashMillisec (or, with
// until_window, until the Java runtime shows a window or ends) and closes.
#pragma once

#include "loadconfig.h"

#include <windows.h>

// The private message that starts the launch; the launcher posts it once.
constexpr UINT WM_LAUNCH_START = WM_USER + 44;
constexpr UINT_PTR SPLASH_TIMER_ID = 15;
// With until_window, the Java runtime is looked at this often.
constexpr UINT_PTR WATCH_TIMER_ID = 16;
constexpr UINT WATCH_INTERVAL_MS = 100;

constexpr int DEFAULT_SPLASH_WIDTH = 400;
constexpr int DEFAULT_SPLASH_HEIGHT = 200;

// What one run's splash knows, process-wide like the settings.
struct SplashRun {
    // Set by the first launch. The start message can come from any program
    // on the desktop, and the application must start exactly once per run.
    bool launchStarted = false;
    // The splash has decided to close (its time is up, or the runtime
    // showed a window or ended); a close before that is someone else's.
    bool closing = false;
    // The message loop has ended: a window destroyed afterwards posts no
    // quit message, which would end the failure message's own loop at once.
    bool loopEnded = false;
    // When the start message arrived, for the log line that says when the
    // splash closed.
    ULONGLONG launchedAt = 0;
    // The Java runtime's start; its process handle is held while watched.
    JavaStart java;
    // The runtime ended before it showed a window, with a code other than 0.
    bool endedEarly = false;
    DWORD exitCode = 0;
};
extern SplashRun splashRun;

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

// Shows the splash window, which runs doJob, until it closes; then tells the
// user of a failure where that is asked for. The application is started
// exactly once whatever happens to the window, also when it is closed or
// its loop ends before the start message. Returns the process exit code, 0.
int showSplash(HINSTANCE instance);

LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
