// A stand-in child for the tests: it records what the launcher gave it and
// leaves a mark on each of its standard outputs.
//
// The record lands in the working directory as "<exe name>.record" (UTF-8),
// or as "<NAME>.record" when the command line holds "--record=<NAME>", so
// that several probes can share one working directory:
//   commandLine=<GetCommandLineW>
//   currentDirectory=<GetCurrentDirectoryW>
//   pointerBits=<32 or 64: which build of the probe ran>
//   stdinRead=<1 when ReadFile on standard input succeeded>
//   stdin=<the bytes it read, up to 4096>
//   stdoutWritten=<1 when the marker was written>
//   stderrWritten=<1 when the marker was written>
//   startupFlags=<GetStartupInfoW's dwFlags, in decimal>
//   startupTitle=<its lpTitle>
//   environment:
//   <one line per entry of GetEnvironmentStringsW, in order>
// It is written under another name and renamed when complete, so a reader
// that finds the record finds all of it. With "--linger=<MS>" on the command
// line the probe stays that long after writing it, holding what it inherited.
// With "--window-after=<MS>" it waits that long, then shows a visible window
// of the class "PROBEWINDOW" for the linger time, as an application's first
// window; each time that window becomes the foreground window it appends a
// line to "<record name>.foreground". With "--spawn=<MS>" it first starts a
// copy of itself with handle inheritance on, recording as "<record
// name>-spawned" and lingering MS, as an application's helper program that
// outlives it. With "--exit-code=<N>" it writes "probe failing with exit
// code N" as a line to standard error and ends with N.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    }
    return out;
}

bool writeMarker(DWORD which, const char* marker) {
    DWORD written = 0;
    return WriteFile(GetStdHandle(which), marker, static_cast<DWORD>(lstrlenA(marker)), &written,
                     nullptr) &&
           written == static_cast<DWORD>(lstrlenA(marker));
}

// The number after `option` on the command line; `otherwise` without it.
unsigned long numberAfter(const wchar_t* option, unsigned long otherwise) {
    std::wstring commandLine = GetCommandLineW();
    std::size_t at = commandLine.find(option);
    if (at == std::wstring::npos) {
        return otherwise;
    }
    return std::wcstoul(commandLine.c_str() + at + std::wcslen(option), nullptr, 10);
}

std::wstring recordBase();

// Appends one line to "<record name>.foreground".
void noteForeground() {
    std::wstring path = recordBase() + L".foreground";
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, "foreground\n", 11, &written, nullptr);
        CloseHandle(file);
    }
}

// A plain visible top-level window for `millisec`, its messages served.
void showWindow(HINSTANCE instance, DWORD millisec) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"PROBEWINDOW";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"PROBEWINDOW", L"probe window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  0, 0, 200, 100, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return;
    }
    UINT_PTR timer = SetTimer(nullptr, 0, millisec, nullptr);
    UINT_PTR look = SetTimer(nullptr, 0, 20, nullptr);
    bool inFront = false;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0 &&
           !(message.message == WM_TIMER && message.wParam == timer)) {
        if (message.message == WM_TIMER) {
            bool nowInFront = GetForegroundWindow() == window;
            if (nowInFront && !inFront) {
                noteForeground();
            }
            inFront = nowInFront;
        }
        DispatchMessageW(&message);
    }
    KillTimer(nullptr, look);
    KillTimer(nullptr, timer);
    DestroyWindow(window);
}

std::wstring recordBase() {
    std::wstring commandLine = GetCommandLineW();
    std::size_t named = commandLine.find(L"--record=");
    if (named != std::wstring::npos) {
        std::wstring name = commandLine.substr(named + 9);
        return name.substr(0, name.find(L' '));
    }
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring name = module;
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return name.substr(0, name.rfind(L'.'));
}

std::wstring recordName() {
    return recordBase() + L".record";
}

// A copy of the probe that inherits every inheritable handle of this one.
void spawnLingering(DWORD millisec) {
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(module) + L"\" --record=" + recordBase() +
                               L"-spawned --linger=" + std::to_wstring(millisec);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(module, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    std::string record = "commandLine=" + utf8(GetCommandLineW()) + "\n";

    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    record += "currentDirectory=" + utf8(directory) + "\n";
    // Under WoW64 one path can name a 32-bit or a 64-bit program, depending on
    // who opens it; the record tells which one the system started.
    record += "pointerBits=" + std::to_string(sizeof(void*) * 8) + "\n";

    char input[4096];
    DWORD got = 0;
    BOOL read = ReadFile(GetStdHandle(STD_INPUT_HANDLE), input, sizeof input, &got, nullptr);
    record += std::string("stdinRead=") + (read ? "1" : "0") + "\n";
    record += "stdin=" + std::string(input, read ? got : 0) + "\n";

    record += std::string("stdoutWritten=") +
              (writeMarker(STD_OUTPUT_HANDLE, "probe standard output\n") ? "1" : "0") + "\n";
    record += std::string("stderrWritten=") +
              (writeMarker(STD_ERROR_HANDLE, "probe standard error\n") ? "1" : "0") + "\n";

    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    record += "startupFlags=" + std::to_string(startup.dwFlags) + "\n";
    record += "startupTitle=" + utf8(startup.lpTitle != nullptr ? startup.lpTitle : L"") + "\n";

    record += "environment:\n";
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0';
         entry += lstrlenW(entry) + 1) {
        record += utf8(entry) + "\n";
    }
    FreeEnvironmentStringsW(strings);

    std::wstring name = recordName();
    std::wstring partial = name + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    if (!MoveFileExW(partial.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return 2;
    }
    DWORD spawnedLinger = numberAfter(L"--spawn=", INFINITE);
    if (spawnedLinger != INFINITE) {
        spawnLingering(spawnedLinger);
    }
    DWORD linger = numberAfter(L"--linger=", 0);
    DWORD windowAfter = numberAfter(L"--window-after=", INFINITE);
    if (windowAfter != INFINITE) {
        Sleep(windowAfter);
        showWindow(instance, linger);
    } else {
        Sleep(linger);
    }
    unsigned long exitCode = numberAfter(L"--exit-code=", 0);
    if (exitCode != 0) {
        std::string line = "probe failing with exit code " + std::to_string(exitCode) + "\n";
        writeMarker(STD_ERROR_HANDLE, line.c_str());
    }
    return static_cast<int>(exitCode);
}
