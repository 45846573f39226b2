#include "diagnosticLog.h"

#include "CppTool.h"
#include "kernelServices.h"
#include "loadconfig.h"
#include "owners.h"

#include <cstring>

HANDLE logFile = nullptr;

namespace {

// Serialises the entries of this process. Set up before the entry point runs
// and deleted at process exit.
struct LogLock {
    CRITICAL_SECTION section;
    LogLock() {
        if (kernel.InitializeCriticalSectionAndSpinCount(&section, 1024)) {
            kernel.OutputDebugStringA("OK InitializeCriticalSectionAndSpinCount\n");
        } else {
            kernel.OutputDebugStringA("ERROR InitializeCriticalSectionAndSpinCount\n");
        }
    }
    ~LogLock() {
        kernel.DeleteCriticalSection(&section);
        kernel.OutputDebugStringA("OK DeleteCriticalSection\n");
    }
} logLock;

// "C:\src\launcher\loadconfig.cpp" is logged as "loadconfig".
struct SourceName {
    const char* start;
    int length;
};

SourceName sourceName(const char* path) {
    const char* start = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            start = p + 1;
        }
    }
    const char* dot = std::strrchr(start, '.');
    int length = static_cast<int>(dot != nullptr ? dot - start : std::strlen(start));
    return {start, length};
}

// The entry's prefix, with vsnprintf's contract: measure with a null buffer,
// then print. logError's prefix carries the error code as well.
int formatPrefix(char* buffer, std::size_t size, const SYSTEMTIME& now, const char* source,
                 int line, const char* function, const DWORD* code) {
    SourceName name = sourceName(source);
    if (code == nullptr) {
        return formatUtf8(buffer, size, "%d-%02d-%02d %02d:%02d:%02d %.*s:%d:%s ", now.wYear,
                          now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, name.length,
                          name.start, line, function);
    }
    return formatUtf8(buffer, size, "%d-%02d-%02d %02d:%02d:%02d %.*s:%d:%s err:%lu ", now.wYear,
                      now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, name.length,
                      name.start, line, function, *code);
}

// Appends one whole entry with a single write. Other launchers of the same
// installation may write to the file at the same time: the byte-range lock,
// far beyond any real log size, makes "seek to the end and write" one step for
// every process, also where the file system does not make appends atomic.
void writeEntry(const char* entry, DWORD length) {
    OVERLAPPED lockRange{};
    lockRange.OffsetHigh = 0x40000000;
    BOOL locked = kernel.LockFileEx(logFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRange);
    kernel.SetFilePointer(logFile, 0, nullptr, FILE_END);
    DWORD written = 0;
    if (!kernel.WriteFile(logFile, entry, length, &written, nullptr)) {
        kernel.OutputDebugStringA("ERROR WriteFile\n");
    }
    if (locked) {
        kernel.UnlockFileEx(logFile, 0, 1, 0, &lockRange);
    }
}

// Composes prefix, message and (for logError) the system's text for `code` in
// one buffer and writes it. The message of logMessage is dropped with its
// prefix when the prefix cannot be made.
void writeLogEntry(const char* source, int line, const char* function, const DWORD* code,
                   const char* fmt, va_list args) {
    LockGuard guard(logLock.section);
    openLogFile();
    if (logFile == nullptr || logFile == INVALID_HANDLE_VALUE) {
        return;
    }
    SYSTEMTIME now{};
    kernel.GetLocalTime(&now);

    int prefixLength = formatPrefix(nullptr, 0, now, source, line, function, code);
    if (prefixLength <= 0) {
        kernel.OutputDebugStringA("ERROR snprintf\n");
        if (code == nullptr) {
            return;
        }
        prefixLength = 0;
    }

    va_list measureArgs;
    va_copy(measureArgs, args);
    int messageLength = formatUtf8V(nullptr, 0, fmt, measureArgs);
    va_end(measureArgs);
    if (messageLength <= 0) {
        kernel.OutputDebugStringA("ERROR vsnprintf\n");
        messageLength = 0;
    }

    LocalMemory<wchar_t> systemText;
    int systemTextLength = 0;
    if (code != nullptr) {
        if (kernel.FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, *code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPWSTR>(systemText.out()), 0, nullptr) == 0) {
            // The entry then stays without a line end.
            kernel.OutputDebugStringA("ERROR FormatMessage\n");
        } else {
            systemTextLength = formatUtf8(nullptr, 0, "%S", systemText.get());
        }
    }

    int total = prefixLength + messageLength + systemTextLength;
    if (total == 0) {
        return;
    }
    HeapBuffer entry(static_cast<SIZE_T>(total) + 1);
    if (!entry) {
        return;
    }
    char* at = entry.chars();
    if (prefixLength > 0) {
        formatPrefix(at, static_cast<std::size_t>(prefixLength) + 1, now, source, line, function, code);
        at += prefixLength;
    }
    if (messageLength > 0) {
        formatUtf8V(at, static_cast<std::size_t>(messageLength) + 1, fmt, args);
        at += messageLength;
    }
    if (systemTextLength > 0) {
        formatUtf8(at, static_cast<std::size_t>(systemTextLength) + 1, "%S", systemText.get());
    }
    writeEntry(entry.chars(), static_cast<DWORD>(total));
}

}  // namespace

int logFilePath(WideText& path) {
    return format(path, L"%s\\TAVEX\\Kestrion\\launcher%s.log", programData, moduleName);
}

void openLogFile() {
    if (logFile != nullptr) {
        return;
    }
    WideText path;
    logFilePath(path);
    // Read and write sharing: a second launcher started while this one still
    // runs (a double-click is enough) must be able to log too.
    logFile = kernel.CreateFileW(path.get(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (logFile == INVALID_HANDLE_VALUE) {
        kernel.OutputDebugStringA("ERROR CreateFile\n");
    }
}

void logMessage(const char* source, int line, const char* function, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeLogEntry(source, line, function, nullptr, fmt, args);
    va_end(args);
}

void logError(const char* source, int line, const char* function, DWORD code, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeLogEntry(source, line, function, &code, fmt, args);
    va_end(args);
}
