// The entry point and the splash window.
#include "entryAndSplash.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadImage.h"
#include "loadconfig.h"

bool launchStarted = false;

namespace {

constexpr wchar_t SPLASH_CLASS[] = L"APPLICATIONLAUNCHER";
constexpr wchar_t SPLASH_TITLE[] = L"application launcher";
constexpr WORD CLASS_ICON = 107;
constexpr WORD SMALL_CLASS_ICON = 108;
// A system colour index plus one stands for that colour's brush:
// COLOR_APPWORKSPACE (12) + 1.
constexpr INT_PTR NO_IMAGE_BRUSH = 13;

LRESULT onDestroy(HWND window) {
    kernel.KillTimer(window, SPLASH_TIMER_ID);
    kernel.PostQuitMessage(0);
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
    case WM_PAINT:
        return onPaint(window);
    case WM_TIMER:
        return onTimer(window);
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
    // WS_VISIBLE shows the window as it is made; nothing else shows it.
    HWND window = kernel.CreateWindowExW(0, SPLASH_CLASS, SPLASH_TITLE, WS_POPUP | WS_VISIBLE,
                                         placement.x, placement.y, placement.width,
                                         placement.height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        // Without a usable desktop there is no splash, but the application
        // must start all the same.
        logError(SOURCE, __LINE__, "showSplash", kernel.GetLastError(),
                 "no splash window: CreateWindowEx ");
        doJob();
        return 0;
    }
    kernel.PostMessageW(window, WM_LAUNCH_START, 0, 0);

    // The loop ends with WM_QUIT (0), whose wParam is the exit code. A failed
    // GetMessageW (-1) ends it too rather than spinning forever.
    MSG message{};
    BOOL got = 0;
    while ((got = kernel.GetMessageW(&message, nullptr, 0, 0)) > 0) {
        kernel.TranslateMessage(&message);
        kernel.DispatchMessageW(&message);
    }
    return got == 0 ? static_cast<int>(message.wParam) : 0;
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
    if (splashMillisec == 0) {
        doJob();
        return 0;
    }
    return showSplash(instance);
}
