#include "diagnosticLog.h"

#include "CppTool.h"
#include "fileInFolder.h"
#include "kernelServices.h"
#include "loadconfig.h"
#include "owners.h"

#include <cstring>
#include <cwchar>

HANDLE logFile = nullptr;
ULONGLONG logLockWaited = 0;

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

// The entries of this run that are not in the file yet, in one block of the
// process heap that grows as they come.
class PendingEntries {
public:
    PendingEntries() = default;
    PendingEntries(const PendingEntries&) = delete;
    PendingEntries& operator=(const PendingEntries&) = delete;
    ~PendingEntries() {
        if (block_ != nullptr && !kernel.HeapFree(kernel.GetProcessHeap(), 0, block_)) {
            kernel.OutputDebugStringA("ERROR HeapFree\n");
        }
    }

    // Room for `bytes` more after what is waiting, or null when the heap has
    // none to grow into; what is waiting stays as it is either way.
    char* room(std::size_t bytes) {
        if (capacity_ - length_ < bytes) {
            std::size_t capacity = 2 * (length_ + bytes);
            if (capacity < 8192) {
                capacity = 8192;
            }
            auto* grown = static_cast<char*>(kernel.HeapAlloc(kernel.GetProcessHeap(), 0, capacity));
            if (grown == nullptr) {
                return nullptr;
            }
            if (block_ != nullptr) {
                std::memcpy(grown, block_, length_);
                if (!kernel.HeapFree(kernel.GetProcessHeap(), 0, block_)) {
                    kernel.OutputDebugStringA("ERROR HeapFree\n");
                }
            }
            block_ = grown;
            capacity_ = capacity;
        }
        return block_ + length_;
    }
    void add(std::size_t bytes) { length_ += bytes; }
    const char* text() const { return block_; }
    std::size_t length() const { return length_; }
    void clear() { length_ = 0; }

private:
    char* block_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
} pending;

// Whether logFile is the log's own file, opened by openLogFile, whose entries
// wait in `pending`; a caller's own handle gets each entry at once.
bool logFileIsOwn = false;

// Whatever way the run ends normally, what is waiting reaches the file.
struct FlushAtExit {
    FlushAtExit() = default;
    FlushAtExit(const FlushAtExit&) = delete;
    FlushAtExit& operator=(const FlushAtExit&) = delete;
    ~FlushAtExit() { flushLog(); }
} flushAtExit;

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

// Whether a lock held the log still for the whole bound: then it is someone
// else's for good, and the rest of the run writes without waiting again.
bool logLockGivenUp = false;

// The log's size; a file whose size cannot be read looks as if it stood still.
ULONGLONG logFileSize() {
    DWORD high = 0;
    DWORD low = kernel.GetFileSize(logFile, &high);
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

// Takes the log's lock for one write. Other launchers hold it only while
// they append their waiting entries: a queue of them may take long, but the
// file grows while it moves, and a run waits its turn in short pauses for as
// long as it does. Anyone who may open the log may also lock it for as long
// as they like; once the file has stood still for LOG_LOCK_PATIENCE_MS
// while the lock is held, the run gives up waiting for good. False when the
// write goes without the lock: given up, or the handle takes no locks.
bool lockForWrite(OVERLAPPED& range) {
    bool waiting = false;
    ULONGLONG waitStart = 0;
    ULONGLONG stillSince = 0;
    ULONGLONG size = 0;
    for (;;) {
        bool locked = kernel.LockFileEx(logFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                                        0, 1, 0, &range) != FALSE;
        bool conflict = !locked && kernel.GetLastError() == ERROR_LOCK_VIOLATION;
        ULONGLONG now = waiting || conflict ? kernel.GetTickCount64() : 0;
        if (waiting) {
            logLockWaited += now - waitStart;
        }
        if (!conflict) {
            return locked;
        }
        if (logLockGivenUp) {
            return false;
        }
        ULONGLONG sizeNow = logFileSize();
        if (!waiting || sizeNow != size) {
            size = sizeNow;
            stillSince = now;
        } else if (now - stillSince >= LOG_LOCK_PATIENCE_MS) {
            logLockGivenUp = true;
            return false;
        }
        waiting = true;
        waitStart = now;
        kernel.Sleep(1);
    }
}

// The entry goes at the end, wherever other launchers left it. A pipe or a
// console (a caller's own handle) has no end to move to and is written as it
// is; a file whose end cannot be found is not written, for the write would
// land on earlier entries.
bool seekToEnd() {
    LARGE_INTEGER noDistance{};
    if (kernel.SetFilePointerEx(logFile, noDistance, nullptr, FILE_END)) {
        return true;
    }
    if (kernel.GetFileType(logFile) != FILE_TYPE_DISK) {
        return true;
    }
    kernel.OutputDebugStringA("ERROR SetFilePointerEx\n");
    return false;
}

// Appends whole entries with a single write. Other launchers of the same
// installation may write to the file at the same time: the byte-range lock,
// far beyond any real log size, lets one of them append at a time, so that
// the entries of one run stand together. The log's own file is open for
// appending only, so the system puts every write at the end, also a write
// made without the lock.
void writeEntries(const char* entries, DWORD length) {
    OVERLAPPED lockRange{};
    lockRange.OffsetHigh = 0x40000000;
    bool locked = lockForWrite(lockRange);
    DWORD written = 0;
    if (seekToEnd() && !kernel.WriteFile(logFile, entries, length, &written, nullptr)) {
        kernel.OutputDebugStringA("ERROR WriteFile\n");
    }
    if (locked) {
        kernel.UnlockFileEx(logFile, 0, 1, 0, &lockRange);
    }
}

// The pieces of one entry, measured: the prefix, the caller's message and
// (for logError) the system's text for the code.
struct EntryPieces {
    SYSTEMTIME now;
    const char* source;
    int line;
    const char* function;
    const DWORD* code;
    const char* fmt;
    va_list args;
    int prefixLength;
    int messageLength;
    const wchar_t* systemText;
    int systemTextLength;
};

// Prints the measured pieces and one line end at `at`, which has room for
// all of them and a NUL; the count of bytes, line end included.
std::size_t composeEntry(char* at, EntryPieces& pieces) {
    char* start = at;
    if (pieces.prefixLength > 0) {
        formatPrefix(at, static_cast<std::size_t>(pieces.prefixLength) + 1, pieces.now,
                     pieces.source, pieces.line, pieces.function, pieces.code);
        at += pieces.prefixLength;
    }
    if (pieces.messageLength > 0) {
        char* message = at;
        formatUtf8EscapedV(at, static_cast<std::size_t>(pieces.messageLength) + 1, pieces.fmt,
                           pieces.args);
        at += pieces.messageLength;
        // The callers' formats end in "\n"; the values cannot bring one.
        while (at > message && (at[-1] == '\n' || at[-1] == '\r')) {
            --at;
        }
    }
    if (pieces.systemTextLength > 0) {
        formatUtf8Escaped(at, static_cast<std::size_t>(pieces.systemTextLength) + 1, "%S",
                          pieces.systemText);
        at += pieces.systemTextLength;
    }
    *at++ = '\n';
    return static_cast<std::size_t>(at - start);
}

// Writes what waits for the log's own file; the caller holds the log lock.
// Entries whose write failed are not tried again.
void writePending() {
    if (pending.length() != 0 && logFile != nullptr && logFile != INVALID_HANDLE_VALUE) {
        writeEntries(pending.text(), static_cast<DWORD>(pending.length()));
    }
    pending.clear();
}

// Composes prefix, message and (for logError) the system's text for `code`
// as one line. It waits with the run's other entries for the log's own
// file, or goes at once to a caller's own handle and, where the waiting
// entries cannot grow, after them. The message of logMessage is dropped with
// its prefix when the prefix cannot be made.
void writeLogEntry(const char* source, int line, const char* function, const DWORD* code,
                   const char* fmt, va_list args) {
    LockGuard guard(logLock.section);
    openLogFile();
    if (logFile == nullptr || logFile == INVALID_HANDLE_VALUE) {
        return;
    }
    EntryPieces pieces{};
    pieces.source = source;
    pieces.line = line;
    pieces.function = function;
    pieces.code = code;
    pieces.fmt = fmt;
    va_copy(pieces.args, args);
    kernel.GetLocalTime(&pieces.now);

    pieces.prefixLength = formatPrefix(nullptr, 0, pieces.now, source, line, function, code);
    if (pieces.prefixLength <= 0) {
        kernel.OutputDebugStringA("ERROR snprintf\n");
        if (code == nullptr) {
            va_end(pieces.args);
            return;
        }
        pieces.prefixLength = 0;
    }

    va_list measureArgs;
    va_copy(measureArgs, args);
    pieces.messageLength = formatUtf8EscapedV(nullptr, 0, fmt, measureArgs);
    va_end(measureArgs);
    if (pieces.messageLength <= 0) {
        kernel.OutputDebugStringA("ERROR vsnprintf\n");
        pieces.messageLength = 0;
    }

    LocalMemory<wchar_t> systemText;
    if (code != nullptr) {
        if (!systemErrorText(*code, systemText)) {
            kernel.OutputDebugStringA("ERROR FormatMessage\n");
        } else {
            pieces.systemText = systemText.get();
            // A text with line breaks inside is escaped like any value.
            pieces.systemTextLength = formatUtf8Escaped(nullptr, 0, "%S", systemText.get());
            if (pieces.systemTextLength < 0) {
                pieces.systemTextLength = 0;
            }
        }
    }

    std::size_t length = static_cast<std::size_t>(pieces.prefixLength) +
                         static_cast<std::size_t>(pieces.messageLength) +
                         static_cast<std::size_t>(pieces.systemTextLength);
    if (length != 0) {
        // One byte for the line end, one for the NUL that the prints leave.
        char* waiting = logFileIsOwn ? pending.room(length + 2) : nullptr;
        if (waiting != nullptr) {
            pending.add(composeEntry(waiting, pieces));
        } else {
            // Whatever waits goes first, so that the entries keep their order.
            writePending();
            HeapBuffer entry(length + 2);
            if (entry) {
                writeEntries(entry.chars(), static_cast<DWORD>(composeEntry(entry.chars(), pieces)));
            }
        }
    }
    va_end(pieces.args);
}

}  // namespace

int logFilePath(WideText& path) {
    return format(path, L"%s\\TAVEX\\Kestrion\\launcher%s.log", programData, moduleName);
}

void openLogFile() {
    if (logFile != nullptr) {
        return;
    }
    // Entries made while the file is being opened (a failed composition logs
    // one) are dropped rather than opening it again.
    logFile = INVALID_HANDLE_VALUE;
    WideText path;
    if (logFilePath(path) != 0) {
        kernel.OutputDebugStringA("ERROR CreateFile\n");
        return;
    }
    // Read and write sharing: a second launcher started while this one still
    // runs (a double-click is enough) must be able to log too. The folder
    // taken as it is is ProgramData itself: TAVEX and Kestrion below it are
    // the installer's and must not be links either. Append-only access makes
    // the system place every write at the end of the file, wherever another
    // run left it; reading is what a byte-range lock asks for besides.
    FileHandle file;
    DWORD error = 0;
    switch (openFileInFolder(file, path.get(), std::wcslen(programData),
                             FILE_APPEND_DATA | FILE_READ_DATA, false, error)) {
    case FileOpening::Opened:
        logFile = file.release();
        logFileIsOwn = true;
        break;
    case FileOpening::Refused:
        kernel.OutputDebugStringA("ERROR log file is a link\n");
        break;
    case FileOpening::Failed:
        kernel.OutputDebugStringA("ERROR CreateFile\n");
        break;
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

namespace {

// The message as formatUtf8 writes it, then the system's text for `code`,
// without the blanks and the line end around them.
void keep(KeptMessage& kept, const DWORD* code, const char* fmt, va_list args) {
    kept.text[0] = '\0';
    int length = formatUtf8V(kept.text, sizeof kept.text, fmt, args);
    std::size_t used = length < 0 ? 0 : std::strlen(kept.text);
    LocalMemory<wchar_t> systemText;
    if (code != nullptr && systemErrorText(*code, systemText)) {
        formatUtf8(kept.text + used, sizeof kept.text - used, "%S", systemText.get());
    }
    used = std::strlen(kept.text);
    while (used > 0 && (kept.text[used - 1] == '\n' || kept.text[used - 1] == ' ')) {
        kept.text[--used] = '\0';
    }
    std::size_t blanks = std::strspn(kept.text, " ");
    std::memmove(kept.text, kept.text + blanks, used - blanks + 1);
}

}  // namespace

bool systemErrorText(DWORD code, LocalMemory<wchar_t>& text) {
    if (kernel.FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                  FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                              reinterpret_cast<LPWSTR>(text.out()), 0, nullptr) == 0) {
        return false;
    }
    // The system's texts end in a line end, sometimes after a blank: whoever
    // shows one gives it its own end.
    wchar_t* end = text.get() + std::wcslen(text.get());
    while (end > text.get() && (end[-1] == L'\r' || end[-1] == L'\n' || end[-1] == L' ')) {
        *--end = L'\0';
    }
    return true;
}

void logMessageKept(KeptMessage& kept, const char* source, int line, const char* function,
                    const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    keep(kept, nullptr, fmt, args);
    va_end(args);
    va_start(args, fmt);
    writeLogEntry(source, line, function, nullptr, fmt, args);
    va_end(args);
}

void logErrorKept(KeptMessage& kept, const char* source, int line, const char* function,
                  DWORD code, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    keep(kept, &code, fmt, args);
    va_end(args);
    va_start(args, fmt);
    writeLogEntry(source, line, function, &code, fmt, args);
    va_end(args);
}

void flushLog() {
    LockGuard guard(logLock.section);
    writePending();
}

void closeLogFile() {
    LockGuard guard(logLock.section);
    writePending();
    if (logFile != nullptr && logFile != INVALID_HANDLE_VALUE) {
        kernel.CloseHandle(logFile);
    }
    logFile = nullptr;
    logFileIsOwn = false;
    logLockGivenUp = false;
}
