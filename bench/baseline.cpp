// The least any launcher must do: open the three standard handles, start the
// child with a fixed environment block and redirected output, and exit.
//   baseline.exe CHILD.exe WORKING-DIRECTORY OUT-FILE ERR-FILE
#include <windows.h>

#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count != 5) {
        return 2;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(args[3], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileW(args[4], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileW(L"NUL", FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    wchar_t environment[] = L"PATH=C:\\windows\\system32\0SystemRoot=C:\\windows\0";
    wchar_t commandLine[] = L"child";
    BOOL started = CreateProcessW(args[1], commandLine, nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT, environment, args[2], &startup, &process);
    if (started) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(in);
    CloseHandle(err);
    CloseHandle(out);
    LocalFree(args);
    return started ? 0 : 1;
}
