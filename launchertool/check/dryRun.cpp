#include "dryRun.h"

#include "diagnosticLog.h"

#include <cwchar>

namespace {

std::wstring answeredModulePath;
// What the core has logged: the entries themselves are dropped, the core
// keeps what the check reads as values.
std::size_t loggedBytes = 0;
std::string keptDebuggerText;
std::vector<OpenedFile> opened;

// The log handle the core is given: the address of an object of ours, which
// only the substitutes below ever see and none of them passes to the system.
char logHandleTarget;
HANDLE keptLogHandle() {
    return &logHandleTarget;
}

DWORD WINAPI answerModulePath(HMODULE, LPWSTR buffer, DWORD size) {
    if (size == 0) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As the system does: a path longer than the buffer is cut to it, the
    // result is still terminated and the answer is the buffer's size.
    if (answeredModulePath.size() >= size) {
        std::wmemcpy(buffer, answeredModulePath.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, answeredModulePath.c_str(), answeredModulePath.size() + 1);
    return static_cast<DWORD>(answeredModulePath.size());
}

void WINAPI keepDebuggerText(LPCSTR text) {
    keptDebuggerText += text;
}

constexpr DWORD READING_ACCESS = GENERIC_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES |
                                 FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;

// Reading leaves a file as it was; any other open could create, truncate or
// lock out what the check must leave alone.
HANDLE WINAPI openForReadingOnly(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE templateFile) {
    if ((access & ~READING_ACCESS) != 0 || disposition != OPEN_EXISTING ||
        (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0) {
        opened.push_back({path, ERROR_ACCESS_DENIED});
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    DWORD error = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    // A name such as COM1 opens a device, and reading a serial port can block
    // the check for good: only files on a disk are handed out.
    if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        opened.push_back({path, ERROR_ACCESS_DENIED, true});
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    opened.push_back({path, error});
    ::SetLastError(error);
    return file;
}

BOOL WINAPI dropLogEntry(HANDLE file, LPCVOID, DWORD length, LPDWORD written,
                         LPOVERLAPPED) {
    if (file != keptLogHandle()) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    loggedBytes += length;
    if (written != nullptr) {
        *written = length;
    }
    return TRUE;
}

BOOL WINAPI seekInKeptLog(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position,
                          DWORD method) {
    if (file != keptLogHandle()) {
        return ::SetFilePointerEx(file, distance, position, method);
    }
    if (position != nullptr) {
        position->QuadPart = static_cast<LONGLONG>(loggedBytes);
    }
    return TRUE;
}

BOOL WINAPI lockKeptLog(HANDLE file, DWORD flags, DWORD reserved, DWORD low, DWORD high,
                        LPOVERLAPPED range) {
    if (file != keptLogHandle()) {
        return ::LockFileEx(file, flags, reserved, low, high, range);
    }
    return TRUE;
}

BOOL WINAPI unlockKeptLog(HANDLE file, DWORD reserved, DWORD low, DWORD high,
                          LPOVERLAPPED range) {
    if (file != keptLogHandle()) {
        return ::UnlockFileEx(file, reserved, low, high, range);
    }
    return TRUE;
}

// An instance the check claimed would keep the application itself from
// starting; a check only looks whether one runs.
HANDLE WINAPI refuseToMakeMutex(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

HANDLE WINAPI refuseToMakeMapping(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

BOOL WINAPI refuseToStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                          DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

}  // namespace

DryRun::DryRun(const std::wstring& modulePath) : saved_(kernel), savedLogFile_(logFile) {
    answeredModulePath = modulePath;
    loggedBytes = 0;
    keptDebuggerText.clear();
    opened.clear();
    kernel.GetModuleFileNameW = answerModulePath;
    kernel.OutputDebugStringA = keepDebuggerText;
    kernel.CreateFileW = openForReadingOnly;
    kernel.WriteFile = dropLogEntry;
    kernel.SetFilePointerEx = seekInKeptLog;
    kernel.LockFileEx = lockKeptLog;
    kernel.UnlockFileEx = unlockKeptLog;
    kernel.CreateProcessW = refuseToStart;
    kernel.CreateMutexW = refuseToMakeMutex;
    kernel.CreateFileMappingW = refuseToMakeMapping;
    // A log handle set before the first entry is the one every entry goes to:
    // the log file itself is never opened.
    logFile = keptLogHandle();
}

DryRun::~DryRun() {
    kernel = saved_;
    logFile = savedLogFile_;
}

const std::string& DryRun::debuggerText() const {
    return keptDebuggerText;
}

const std::vector<OpenedFile>& DryRun::openedFiles() const {
    return opened;
}
