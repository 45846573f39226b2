#include "watchRuntime.h"

#include "kernelServices.h"

namespace {

struct WindowSearch {
    DWORD processId;
    HWND ownWindow;
    HWND found;
};

BOOL CALLBACK considerWindow(HWND window, LPARAM lParam) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(lParam);
    if (window == search.ownWindow || !kernel.IsWindowVisible(window)) {
        return TRUE;
    }
    DWORD owner = 0;
    kernel.GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

}  // namespace

RuntimeState lookAtRuntime(HANDLE process, HWND ownWindow, DWORD& exitCode) {
    // The end is looked at first: a runtime that showed a window and ended
    // since the last look has ended, and its window is gone.
    if (kernel.WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        // A code that cannot be read claims no failure that could not be shown.
        if (!kernel.GetExitCodeProcess(process, &exitCode)) {
            exitCode = 0;
        }
        return RuntimeState::Ended;
    }
    return visibleWindowOf(kernel.GetProcessId(process), ownWindow) != nullptr
               ? RuntimeState::WindowShown
               : RuntimeState::Starting;
}

HWND visibleWindowOf(DWORD processId, HWND ownWindow) {
    WindowSearch search{processId, ownWindow, nullptr};
    // A process id of 0 would match windows whose owner cannot be told.
    if (processId != 0) {
        kernel.EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
    }
    return search.found;
}
