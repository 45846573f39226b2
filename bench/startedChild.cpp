// The child both launchers start in the latency benchmark. It has no C
// runtime: its first instruction reads the performance counter and leaves the
// value in "started.qpc" in its working directory, so the benchmark measures
// up to the child's first instruction and not its start-up.
#include <windows.h>

extern "C" void __stdcall startedChildEntry() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    HANDLE file = CreateFileW(L"started.qpc.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, &now, sizeof now, &written, nullptr);
        CloseHandle(file);
        // Renamed once complete, so that the benchmark never reads half a value.
        MoveFileExW(L"started.qpc.tmp", L"started.qpc", MOVEFILE_REPLACE_EXISTING);
    }
    ExitProcess(0);
}
