// Start-up latency: the time from starting a launcher to the first
// instruction of its child, for launcher.exe (no splash, one child, log on)
// and for the bare-minimum baseline, alternating between the two.
//   startLatency.exe [ROUNDS]   (run under Wine from the build tree)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring folderOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring ownFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return folderOf(path);
}

bool writeText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

std::string utf8(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    return out;
}

// Starts `commandLine`, waits for the child's mark and returns the latency
// in milliseconds, or a negative value when no mark came.
double measure(const std::wstring& commandLine, const std::wstring& markFile) {
    DeleteFileW(markFile.c_str());
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    LARGE_INTEGER start, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return -1;
    }
    LARGE_INTEGER mark{};
    for (int waited = 0; waited < 20000; ++waited) {
        HANDLE file = CreateFileW(markFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD got = 0;
            ReadFile(file, &mark, sizeof mark, &got, nullptr);
            CloseHandle(file);
            if (got == sizeof mark) {
                break;
            }
        }
        Sleep(1);
    }
    WaitForSingleObject(process.hProcess, 20000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (mark.QuadPart == 0) {
        return -1;
    }
    return 1000.0 * static_cast<double>(mark.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The value below which a tenth of the values lie. Other work on the machine
// only ever adds to a start's time, so the fast end of the values moves
// least with it.
double firstDecile(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 10];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(21, std::atoi(argv[1])) : 21;
    const int warmUp = 3;
    std::wstring bin = ownFolder();

    // An installation in a folder of its own: Bench.exe beside Bench.toml.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring install = std::wstring(temp) + L"launcher-latency-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(install.c_str(), nullptr);
    CreateDirectoryW((install + L"\\log").c_str(), nullptr);
    CopyFileW((bin + L"\\..\\launcher.exe").c_str(), (install + L"\\Bench.exe").c_str(), FALSE);
    CopyFileW((bin + L"\\startedChild.exe").c_str(), (install + L"\\child.exe").c_str(), FALSE);
    writeText(install + L"\\Bench.toml",
              "[jre]\nmain_jar = 'bench.jar'\noptions = ['-Xmx64m']\n"
              "[app]\nexec = '$(moduleDir)\\child.exe'\n"
              "log_dir = '" + utf8(install) + "\\log'\n"
              "data_dir = '" + utf8(install) + "'\n");
    // The diagnostic log is on, as on a deployed machine.
    CreateDirectoryW(L"C:\\ProgramData\\TAVEX", nullptr);
    CreateDirectoryW(L"C:\\ProgramData\\TAVEX\\Kestrion", nullptr);

    std::wstring launcher = L"\"" + install + L"\\Bench.exe\" -x";
    std::wstring baseline = L"\"" + bin + L"\\baseline.exe\" " + install;
    std::wstring mark = install + L"\\started.qpc";

    std::vector<double> launcherTimes, baselineTimes, pairedRatios;
    for (int round = 0; round < warmUp + rounds; ++round) {
        double launched = measure(launcher, mark);
        double based = measure(baseline, mark);
        if (launched < 0 || based < 0) {
            std::fprintf(stderr, "round %d: a child did not start\n", round);
            return 1;
        }
        if (round >= warmUp) {
            launcherTimes.push_back(launched);
            baselineTimes.push_back(based);
            pairedRatios.push_back(launched / based);
        }
    }
    double launcherMedian = median(launcherTimes);
    double baselineMedian = median(baselineTimes);
    std::printf("rounds: %d each, alternating, after %d warm-up rounds\n", rounds, warmUp);
    std::printf("launcher median: %.2f ms\n", launcherMedian);
    std::printf("baseline median: %.2f ms\n", baselineMedian);
    std::printf("ratio: %.3f\n", launcherMedian / baselineMedian);
    // Each launcher run against the baseline run right after it: a machine
    // busy with other work slows both of a pair alike, so this figure moves
    // less from run to run than the ratio of the two medians.
    std::printf("median of paired ratios: %.3f\n", median(pairedRatios));
    std::printf("launcher first decile: %.2f ms\n", firstDecile(launcherTimes));
    std::printf("baseline first decile: %.2f ms\n", firstDecile(baselineTimes));
    std::printf("ratio of first deciles: %.3f\n",
                firstDecile(launcherTimes) / firstDecile(baselineTimes));
    return 0;
}
