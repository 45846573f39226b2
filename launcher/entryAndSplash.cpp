// The entry point and the splash window.
#include "entryAndSplash.h"

#include "diagnosticLog.h"
#include "failureMessage.h"
#include "kernelServices.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "singleInstance.h"
#include "watchRuntime.h"

SplashRun splashRun;

namespace {

constexpr wchar_t SPLASH_CLASS[] = L"APPLICATIONLAUNCHER";
constexpr wchar_t SPLASH_TITLE[] = L"application launcher";
constexpr WORD CLASS_ICON = 107;
constexpr WORD SMALL_CLASS_ICON = 108;
// A system colour index plus one stands for that colour's brush:
// COLOR_APPWORKSPACE (12) + 1.
constexpr INT_PTR NO_IMAGE_BRUSH = 13;

// Starts the application; the runtime's handle is kept only to be watched.
void launch(bool watched) {
    splashRun.launchStarted = true;
    splashRun.java.outcome.keepProcess = watched;
    doJob(&splashRun.java);
}

// The watch ends with the splash: its timer stops and the handle goes.
void stopWatching(HWND window) {
    if (splashRun.java.outcome.process) {
        kernel.KillTimer(window, WATCH_TIMER_ID);
        splashRun.java.outcome.process.close();
    }
}

ULONGLONG millisecSinceLaunch() {
    return kernel.GetTickCount64() - splashRun.launchedAt;
}

// The splash has been shown long enough. Only the first decision is logged,
// and only where the deployer asked for a splash that may end early.
void closeSplash(HWND window, const char* reason) {
    if (!splashRun.closing && splashUntilWindow && reason != nullptr) {
        logMessage(SOURCE, __LINE__, "showSplash", "splash closed after %llu ms: %s\n",
                   millisecSinceLaunch(), reason);
    }
    splashRun.closing = true;
    stopWatching(window);
    kernel.PostMessageW(window, WM_CLOSE, 0, 0);
}

// The word to the user, where the deployer asked for one.
void tellFailure() {
    if (!showFailure) {
        return;
    }
    WideText text;
    if (splashRun.java.failed) {
        startFailureText(text, configApplication.get(), splashRun.java.outcome.error);
    } else if (splashRun.endedEarly) {
        earlyEndText(text, splashRun.exitCode, splashRun.java.errLog.get(),
                     splashRun.java.outcome.errorOutput.get());
    } else {
        return;
    }
    showFailureMessage(text);
}

LRESULT onDestroy(HWND window) {
    kernel.KillTimer(window, SPLASH_TIMER_ID);
    stopWatching(window);
    if (!splashRun.loopEnded) {
        kernel.PostQuitMessage(0);
    }
    return 0;
}

// The image at its own size, or a plain rectangle when there is none. The
// class has no background brush: nothing else is ever painted.
LRESULT onPaint(HWND window) {
    PAINTSTRUCT paint{};
    HDC device = kernel.BeginPaint(window, &paint);
    if (splashIcon != nullptr) {
        kernel.DrawIconEx(device, 0, 0, splashIcon, 0, 0, 0, nullptr, DI_NORMAL);
    } else {
        kernel.FillRect(device, &paint.rcPaint, reinterpret_cast<HBRUSH>(NO_IMAGE_BRUSH));
    }
    kernel.EndPaint(window, &paint);
    return 0;
}

// A look at the watched runtime: its first window or its end closes the
// splash; a runtime still starting leaves it up until the time is over.
void onWatch(HWND window) {
    DWORD exitCode = 0;
    switch (lookAtRuntime(splashRun.java.outcome.process.get(), window, exitCode)) {
    case RuntimeState::Starting:
        return;
    case RuntimeState::WindowShown:
        closeSplash(window, "the application's window appeared");
        return;
    case RuntimeState::Ended:
        if (!splashRun.closing) {
            logMessage(SOURCE, __LINE__, "showSplash",
                       "splash closed after %llu ms: the Java runtime ended with exit code %lu\n",
                       millisecSinceLaunch(), static_cast<unsigned long>(exitCode));
        }
        splashRun.endedEarly = exitCode != 0;
        splashRun.exitCode = exitCode;
        closeSplash(window, nullptr);
        return;
    }
}

// Any timer but a running watch's means the splash has been shown long
// enough.
LRESULT onTimer(HWND window, WPARAM timer) {
    if (timer == WATCH_TIMER_ID && splashRun.java.outcome.process) {
        onWatch(window);
    } else {
        closeSplash(window, "time is up");
    }
    return 0;
}

// Later start messages are ignored altogether: starting the application again
// or stretching the splash time is not for other programs to ask.
LRESULT onLaunchStart(HWND window) {
    if (splashRun.launchStarted) {
        return 0;
    }
    // The timer is set before the launch so that the splash time counts the
    // launch in; the window handles no message until doJob returns.
    kernel.SetTimer(window, SPLASH_TIMER_ID, static_cast<UINT>(splashMillisec), nullptr);
    if (splashUntilWindow) {
        splashRun.launchedAt = kernel.GetTickCount64();
    }
    launch(splashUntilWindow);
    if (!splashUntilWindow) {
        return 0;
    }
    if (splashRun.java.outcome.process) {
        kernel.SetTimer(window, WATCH_TIMER_ID, WATCH_INTERVAL_MS, nullptr);
    } else {
        logMessage(SOURCE, __LINE__, "showSplash", "splash lasts %d ms: %s\n", splashMillisec,
                   splashRun.java.started ? "the system gave no handle to the Java runtime"
                                          : "the Java runtime was not started");
    }
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
    case WM_PAINT:
        return onPaint(window);
    case WM_TIMER:
        return onTimer(window, wParam);
    case WM_LAUNCH_START:
        return onLaunchStart(window);
    default:
        // WM_CLOSE included: the default destroys the window.
        return kernel.DefWindowProcW(window, message, wParam, lParam);
    }
}

int showSplash(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = splashWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = kernel.LoadIconW(instance, MAKEINTRESOURCEW(CLASS_ICON));
    windowClass.hCursor = kernel.LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = SPLASH_CLASS;
    windowClass.hIconSm = kernel.LoadIconW(instance, MAKEINTRESOURCEW(SMALL_CLASS_ICON));
    // A failed registration shows as a failed creation.
    kernel.RegisterClassExW(&windowClass);

    RECT screen{};
    kernel.GetClientRect(kernel.GetDesktopWindow(), &screen);
    SplashPlacement placement = placeSplash(screen.right, screen.bottom, splashWidth, splashHeight);
    // WS_VISIBLE shows the window as it is made; nothing else shows it. The
    // last error is cleared first: a creation that fails without setting one
    // would otherwise be logged with a code some earlier call left behind.
    kernel.SetLastError(NO_ERROR);
    HWND window = kernel.CreateWindowExW(0, SPLASH_CLASS, SPLASH_TITLE, WS_POPUP | WS_VISIBLE,
                                         placement.x, placement.y, placement.width,
                                         placement.height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        DWORD error = kernel.GetLastError();
        // Without a usable desktop there is no splash, but the application
        // must start all the same.
        if (error != NO_ERROR) {
            logError(SOURCE, __LINE__, "showSplash", error, "no splash window: CreateWindowEx ");
        } else {
            logMessage(SOURCE, __LINE__, "showSplash",
                       "no splash window: CreateWindowEx failed without an error code\n");
        }
        launch(false);
        tellFailure();
        return 0;
    }
    kernel.PostMessageW(window, WM_LAUNCH_START, 0, 0);

    // The loop ends with WM_QUIT (0). A failed GetMessageW (-1) ends it too
    // rather than spinning forever.
    MSG message{};
    while (kernel.GetMessageW(&message, nullptr, 0, 0) > 0) {
        kernel.TranslateMessage(&message);
        kernel.DispatchMessageW(&message);
    }
    splashRun.loopEnded = true;
    // Another program can close the window, or end the loop with a quit
    // message of its own, even before the start message arrives: the
    // splash never holds the application back.
    if (!splashRun.launchStarted) {
        logMessage(SOURCE, __LINE__, "showSplash",
                   "splash window closed before the application was started: starting it now\n");
        launch(false);
    } else if (!splashRun.closing) {
        logMessage(SOURCE, __LINE__, "showSplash", "splash window closed before its time\n");
    }
    // A loop ended by someone else's quit message leaves the window up; it
    // must not stand over the failure message.
    kernel.DestroyWindow(window);
    stopWatching(window);
    tellFailure();
    // Always 0: a quit message from another program does not choose the
    // launcher's exit code.
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR tail, int) {
    // Before anything can load a library: DLLs come from the system directory
    // only, so that none planted beside the executable or in the current
    // directory is ever loaded into the launcher. The children search as usual.
    if (!kernel.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        kernel.OutputDebugStringA("SetDefaultDllDirectories\n");
    }
    commandLineArgs = tail;
    prepareJob();
    // Before any window or child: a second start shows nothing of its own.
    if (singleInstance && !claimInstance(commandLineArgs, splashRun.java.outcome.handOver)) {
        return 0;
    }
    if (splashMillisec == 0) {
        doJob(showFailure || singleInstance ? &splashRun.java : nullptr);
        tellFailure();
        return 0;
    }
    return showSplash(instance);
}
