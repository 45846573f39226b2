#include "wholeFile.h"

#include "console.h"
#include "diagnosticLog.h"
#include "failure.h"
#include "owners.h"

#include <windows.h>

#include <algorithm>

namespace {

// `what`, then the system's own text and code for `code` (GetLastError read
// right at the failed call).
[[noreturn]] void failWithSystemError(const std::string& what, DWORD code) {
    LocalMemory<wchar_t> text;
    std::wstring systemText(systemErrorText(code, text) ? text.get() : L"");
    // The code follows the sentence.
    while (!systemText.empty() && systemText.back() == L'.') {
        systemText.pop_back();
    }
    fail(what + ": " + (systemText.empty() ? std::string("system error") : toUtf8(systemText)) +
         " (error " + std::to_string(code) + ")");
}

// The full path of `path` and, in `name`, its last part.
std::wstring fullPath(const std::wstring& path, std::wstring& name) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        failWithSystemError("cannot find " + toUtf8(path), GetLastError());
    }
    std::wstring full(needed, L'\0');
    wchar_t* part = nullptr;
    DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], &part);
    if (length == 0 || length >= needed) {
        failWithSystemError("cannot find " + toUtf8(path), GetLastError());
    }
    name = part != nullptr ? part : L"";
    full.resize(length);
    return full;
}

// The temporary copy while it exists unmoved, for the console's Ctrl-C and
// Ctrl-Break handler, which runs on a thread of its own. Under the lock,
// whoever finds the copy pending first, the handler or the tool, decides
// what becomes of it: the handler deletes it, and the tool then neither
// opens nor moves it again.
SRWLOCK interruptionLock = SRWLOCK_INIT;
wchar_t interruptedCopyName[MAX_PATH];
bool interruptedCopyPending = false;

class InterruptionLocked {
public:
    InterruptionLocked() { AcquireSRWLockExclusive(&interruptionLock); }
    InterruptionLocked(const InterruptionLocked&) = delete;
    InterruptionLocked& operator=(const InterruptionLocked&) = delete;
    ~InterruptionLocked() { ReleaseSRWLockExclusive(&interruptionLock); }
};

BOOL WINAPI removeCopyOnInterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        InterruptionLocked locked;
        if (interruptedCopyPending) {
            // Open for writing with delete sharing, the copy goes when the
            // tool ends and its handle closes.
            DeleteFileW(interruptedCopyName);
            interruptedCopyPending = false;
        }
    }
    // The next handler, the system's, then ends the tool as Ctrl-C would.
    return FALSE;
}

class InterruptionHandler {
public:
    InterruptionHandler() { SetConsoleCtrlHandler(removeCopyOnInterrupt, TRUE); }
    InterruptionHandler(const InterruptionHandler&) = delete;
    InterruptionHandler& operator=(const InterruptionHandler&) = delete;
    ~InterruptionHandler() { SetConsoleCtrlHandler(removeCopyOnInterrupt, FALSE); }
};

// The copy being made, beside its target so that the final move stays on
// one volume. It is deleted on every way out unless it has been moved,
// Ctrl-C and Ctrl-Break included.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::wstring& folder) {
        InterruptionLocked locked;
        if (GetTempFileNameW(folder.c_str(), L"brd", 0, interruptedCopyName) == 0) {
            DWORD code = GetLastError();
            failWithSystemError("cannot write in " + toUtf8(folder), code);
        }
        interruptedCopyPending = true;
        path_ = interruptedCopyName;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        InterruptionLocked locked;
        if (interruptedCopyPending) {
            DeleteFileW(path_.c_str());
            interruptedCopyPending = false;
        }
    }
    // Delete sharing lets an interruption delete the copy while it is
    // being written.
    HANDLE openForWriting(const std::string& target) {
        InterruptionLocked locked;
        if (!interruptedCopyPending) {
            fail("cannot write " + target + ": interrupted");
        }
        return CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    void moveTo(const std::wstring& target) {
        InterruptionLocked locked;
        if (!interruptedCopyPending) {
            fail("cannot write " + toUtf8(target) + ": interrupted");
        }
        if (!MoveFileExW(path_.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DWORD code = GetLastError();
            failWithSystemError("cannot write " + toUtf8(target), code);
        }
        interruptedCopyPending = false;
    }

private:
    InterruptionHandler handler_;  // declared first: in place before the copy exists
    std::wstring path_;
};

}  // namespace

std::string readWholeFile(const std::string& path) {
    FileHandle file{CreateFileW(fromUtf8Text(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        failWithSystemError("cannot read " + path, GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        failWithSystemError("cannot read " + path, GetLastError());
    }
    if (static_cast<unsigned long long>(size.QuadPart) > largestReadFile) {
        fail("cannot read " + path + ": the file is larger than 256 MB");
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[done], static_cast<DWORD>(bytes.size() - done), &got,
                      nullptr)) {
            failWithSystemError("cannot read " + path, GetLastError());
        }
        if (got == 0) {
            fail("cannot read " + path + ": the file shrank while it was read");
        }
        done += got;
    }
    return bytes;
}

// Two paths name one file when the system gives both the same volume and
// file index, however they are spelt (letter case, links, relative parts).
bool sameFile(const std::string& first, const std::string& second) {
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::string* paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        FileHandle file{CreateFileW(fromUtf8Text(*paths[i]).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
        if (!file || !GetFileInformationByHandle(file.get(), &info[i])) {
            return false;
        }
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// Windows files have no permission bits for the copy to take from its source.
void replaceFile(const std::string& path, const std::string& bytes, const std::string&) {
    std::wstring name;
    std::wstring full = fullPath(fromUtf8Text(path), name);
    // A device name (NUL, COM1) becomes \\.\NUL; the move would fail on it
    // with a reason that names neither.
    if (full.rfind(L"\\\\.\\", 0) == 0) {
        fail(path + " names a device, not the file to write");
    }
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fail(path + " names a folder, not the file to write");
    }
    // The move would refuse it only after the whole copy was written, with
    // a reason that does not say which file.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        fail(path + " is a read-only file: make it writable or write the branded copy to another file");
    }
    TemporaryFile copy{full.substr(0, full.size() - name.size())};
    {
        FileHandle file{copy.openForWriting(path)};
        if (!file) {
            failWithSystemError("cannot write " + path, GetLastError());
        }
        // One call may write less than it was given (a full disk, a quota):
        // the rest follows, and a copy the system stops taking is never moved
        // into place cut short.
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr)) {
                failWithSystemError("cannot write " + path, GetLastError());
            }
            if (written == 0) {
                fail("cannot write " + path + ": the system took " + std::to_string(done) + " of " +
                     std::to_string(bytes.size()) + " bytes and no more");
            }
            done += written;
        }
        if (!FlushFileBuffers(file.get())) {
            failWithSystemError("cannot write " + path, GetLastError());
        }
    }
    copy.moveTo(full);
}
