// How the launcher's own work grows with the size of its configuration: a
// configuration with N PATH entries and N Java options, a launcher environment
// of 1,000 variables, and the time of prepareJob plus doJob with the child
// start itself substituted.
//   scaleBench.exe            runs N = 1,000 and N = 10,000 side by side
//   scaleBench.exe N          one measurement (each in a fresh process)
#include "kernelServices.h"
#include "loadconfig.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring installFolder;
std::wstring environmentStrings;

DWORD WINAPI benchModulePath(HMODULE, LPWSTR buffer, DWORD size) {
    std::wstring path = installFolder + L"\\Scale.exe";
    lstrcpynW(buffer, path.c_str(), static_cast<int>(size));
    return static_cast<DWORD>(path.size());
}

LPWCH WINAPI benchEnvironment() {
    return &environmentStrings[0];
}

BOOL WINAPI keepEnvironment(LPWCH) {
    return TRUE;
}

// The system's part of a start (making the process) is not the launcher's
// cost; everything up to the call is measured.
BOOL WINAPI pretendToStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                           LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) {
    *process = PROCESS_INFORMATION{};
    return TRUE;
}

void writeText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

int measureOne(int entries) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    installFolder = std::wstring(temp) + L"launcher-scale-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(installFolder.c_str(), nullptr);

    std::string config = "[env]\nPATH = [";
    for (int i = 0; i < entries; ++i) {
        config += "'$(moduleDir)\\lib" + std::to_string(i) + "',";
    }
    config += "]\n[jre]\nmain_jar = '$(moduleDir)\\app.jar'\noptions = [";
    for (int i = 0; i < entries; ++i) {
        config += "'-Dprop" + std::to_string(i) + "=$(programData)\\x',";
    }
    config += "]\n[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '$(programData)'\n";
    writeText(installFolder + L"\\Scale.toml", config);

    for (int i = 0; i < 1000; ++i) {
        // Half of them pass the filter, as on a real machine most do not.
        environmentStrings += (i % 2 == 0 ? L"VARIABLE" : L"TEMP") + std::to_wstring(i) + L"=value" +
                              std::to_wstring(i) + L'\0';
    }
    environmentStrings += L"TEMP=C:\\temp";
    environmentStrings += L'\0';
    environmentStrings += L'\0';

    kernel.GetModuleFileNameW = benchModulePath;
    kernel.GetEnvironmentStringsW = benchEnvironment;
    kernel.FreeEnvironmentStringsW = keepEnvironment;
    kernel.CreateProcessW = pretendToStart;

    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    prepareJob();
    doJob();
    QueryPerformanceCounter(&end);
    double milliseconds = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                          static_cast<double>(frequency.QuadPart);
    std::printf("N = %5d: prepareJob + doJob %9.2f ms\n", entries, milliseconds);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        return measureOne(std::atoi(argv[1]));
    }
    // Each size in a process of its own, as each launch is.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const wchar_t* size : {L"1000", L"10000"}) {
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + size;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return 0;
}
