// The least any launcher must do: open the three standard handles, start the
// child with a fixed environment block and redirected output, and exit.
//   baseline.exe FOLDER
// starts FOLDER\child.exe in FOLDER with its output in FOLDER\log. The tail is
// taken as it stands: parsing it properly would load shell32, which no
// launcher needs.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR tail, int) {
    std::wstring folder = tail;
    std::wstring child = folder + L"\\child.exe";
    std::wstring outFile = folder + L"\\log\\out.log";
    std::wstring errFile = folder + L"\\log\\err.log";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileW(errFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
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
    BOOL started = CreateProcessW(child.c_str(), commandLine, nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT, environment, folder.c_str(), &startup, &process);
    if (started) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(in);
    CloseHandle(err);
    CloseHandle(out);
    return started ? 0 : 1;
}
