// The entry point and the splash window.
#include "entryAndSplash.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadconfig.h"

bool launchStarted = false;

namespace {

LRESULT onDestroy(HWND window) {
    kernel.KillTimer(window, SPLASH_TIMER_ID);
    kernel.PostQuitMessage(0);
    return 0;
}

// Whichever timer fired, the splash has been shown long enough.
LRESULT onTimer(HWND window) {
    kernel.PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

// Later start messages are ignored altogether: starting the application again
// or stretching the splash time is not for other programs to ask.
LRESULT onLaunchStart(HWND window) {
    if (launchStarted) {
        return 0;
    }
    launchStarted = true;
    // The timer is set before the launch so that the splash time counts the
    // launch in; the window handles no message until doJob returns.
    kernel.SetTimer(window, SPLASH_TIMER_ID, static_cast<UINT>(splashMillisec), nullptr);
    doJob();
    return 0;
}

}  // namespace

SplashPlacement placeSplash(int screenWidth, int screenHeight, int imageWidth, int imageHeight) {
    SplashPlacement placement{};
    placement.width = imageWidth > 0 ? imageWidth : DEFAULT_SPLASH_WIDTH;
    placement.height = imageHeight > 0 ? imageHeight : DEFAULT_SPLASH_HEIGHT;
    placement.x = (screenWidth - placement.width) / 2;
    placement.y = (screenHeight - placement.height) / 2;
    return placement;
}

LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        return onDestroy(window);
    case WM_TIMER:
        return onTimer(window);
    case WM_LAUNCH_START:
        return onLaunchStart(window);
    default:
        // WM_CLOSE included: the default destroys the window.
        return kernel.DefWindowProcW(window, message, wParam, lParam);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR tail, int) {
    commandLineArgs = tail;
    prepareJob();
    doJob();
    return 0;
}
