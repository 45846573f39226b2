// Watching the started Java runtime for the moment the splash is no longer
// needed: its first visible window, or its end.
#pragma once

#include <windows.h>

enum class RuntimeState {
    Starting,      // running, no visible window yet
    WindowShown,   // a visible top-level window of its process exists
    Ended,         // the process has ended; its exit code is known
};

// Looks once at the runtime's `process`: whether it has ended (then
// `exitCode` is set) or shows a visible top-level window other than
// `ownWindow`. A window counts whatever it is, the runtime's own splash
// included.
RuntimeState lookAtRuntime(HANDLE process, HWND ownWindow, DWORD& exitCode);

// A visible top-level window of process `processId` other than `ownWindow`,
// the topmost first; null when it shows none. A process id of 0 has none.
HWND visibleWindowOf(DWORD processId, HWND ownWindow);
