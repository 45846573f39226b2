#include "singleInstance.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "owners.h"
#include "watchRuntime.h"

#include <cwchar>

namespace {

// The shell takes no longer id.
constexpr std::size_t LONGEST_APP_ID = 128;

// A final path of the long form: "\\?\" and up to 32767 code units.
constexpr DWORD LONGEST_FINAL_PATH = 32768;

// A view of the mapping that holds the instance's process id.
class MappedView {
public:
    MappedView(HANDLE mapping, DWORD access)
        : view_(kernel.MapViewOfFile(mapping, access, 0, 0, sizeof(DWORD))) {}
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView() {
        if (view_ != nullptr) {
            kernel.UnmapViewOfFile(view_);
        }
    }
    DWORD* processId() const { return static_cast<DWORD*>(view_); }

private:
    void* view_;
};

// 64-bit FNV-1a over the path's bytes.
unsigned long long hashOf(const wchar_t* text, std::size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < length * sizeof(wchar_t); ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    }
    return hash;
}

// The path the file system resolves the launcher's own executable to, in
// `resolved` (LONGEST_FINAL_PATH units): links, short names and substituted
// drives undone. Its length, 0 when it cannot be resolved (logged).
int finalModulePath(wchar_t* resolved) {
    FileHandle file;
    if (kernel.GetModuleFileNameW(nullptr, resolved, LONGEST_FINAL_PATH) != 0) {
        file.reset(kernel.CreateFileW(resolved, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    DWORD length = file ? kernel.GetFinalPathNameByHandleW(file.get(), resolved, LONGEST_FINAL_PATH,
                                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)
                        : 0;
    if (length == 0 || length >= LONGEST_FINAL_PATH) {
        logError(SOURCE, __LINE__, "instanceName", kernel.GetLastError(),
                 file ? "GetFinalPathNameByHandle " : "CreateFile ");
        return 0;
    }
    return static_cast<int>(length);
}

// Brings a visible top-level window of the running instance to the front,
// restored if it is minimised, and logs the one line of a start that found
// the instance running: the tail goes to the log, not to the application.
// Process 0: the launcher that claimed the instance has not started its
// Java runtime yet, so it has no window.
void bringToFront(DWORD processId, const wchar_t* tail) {
    HWND window = visibleWindowOf(processId, nullptr);
    if (window != nullptr) {
        if (kernel.IsIconic(window)) {
            kernel.ShowWindow(window, SW_RESTORE);
        }
        // The system may refuse the foreground to a program the user did
        // not start just now; the window then flashes on the taskbar instead.
        kernel.SetForegroundWindow(window);
    }
    logMessage(SOURCE, __LINE__, "claimInstance",
               "already running as process %lu, %s: the command-line tail not passed on: %S\n",
               static_cast<unsigned long>(processId),
               window != nullptr ? "its window called to the front" : "no visible window yet", tail);
}

}  // namespace

const char* appIdProblem(const wchar_t* id) {
    if (std::wcslen(id) > LONGEST_APP_ID) {
        return "it is longer than 128 characters";
    }
    // A part ends at each dot and at the end; the one before the first dot
    // begins with the id.
    bool dotted = false;
    wchar_t previous = L'.';
    for (const wchar_t* at = id; *at != L'\0'; previous = *at++) {
        if (*at <= L' ' || *at == 0x7F) {
            return "it holds a blank or a control character";
        }
        if (*at == L'.') {
            if (previous == L'.') {
                return "it has an empty part";
            }
            dotted = true;
        }
    }
    if (previous == L'.') {
        return "it has an empty part";
    }
    return dotted ? nullptr : "it has fewer than two parts";
}

int instanceNameOf(WideText& name) {
    // One block: the resolved path, then its upper-case form.
    WideText block;
    block.adopt(allocateUnits(2ull * LONGEST_FINAL_PATH, "instanceName"));
    wchar_t* path = const_cast<wchar_t*>(block.get());
    int length = path != nullptr ? finalModulePath(path) : 0;
    if (length == 0) {
        return ERROR_GENERIC;
    }
    // Paths compare without regard to letter case, by the system's own case
    // mapping rather than a language's.
    wchar_t* upper = path + LONGEST_FINAL_PATH;
    if (kernel.LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path, length, upper, length,
                             nullptr, nullptr, 0) != length) {
        logError(SOURCE, __LINE__, "instanceName", kernel.GetLastError(), "LCMapStringEx ");
        return ERROR_GENERIC;
    }
    // A path cannot be the name itself: an object name may hold no backslash
    // after its namespace and is limited to 260 characters, which a final
    // path ("\\?\" and all) may exceed. Its hash fits both, and two of one
    // user's installations sharing one of 2^64 values is not a real risk.
    unsigned long long hash = hashOf(upper, length);
    return format(name, L"Local\\Kestrion.Instance.%08lX%08lX",
                  static_cast<unsigned long>(hash >> 32),
                  static_cast<unsigned long>(hash & 0xFFFFFFFFu));
}

int processMappingNameOf(const wchar_t* instanceName, WideText& name) {
    return format(name, L"%s.Process", instanceName);
}

DWORD runningInstanceProcess(const wchar_t* instanceName) {
    WideText mappingName;
    if (processMappingNameOf(instanceName, mappingName) != 0) {
        return 0;
    }
    FileHandle mapping{kernel.OpenFileMappingW(FILE_MAP_READ, FALSE, mappingName.get())};
    if (!mapping) {
        return 0;
    }
    MappedView view(mapping.get(), FILE_MAP_READ);
    return view.processId() != nullptr ? *view.processId() : 0;
}

bool instanceRunning(const wchar_t* instanceName) {
    FileHandle mutex{kernel.OpenMutexW(SYNCHRONIZE, FALSE, instanceName)};
    // A mutex of another security context in this session is there all the
    // same, only out of reach.
    return mutex || kernel.GetLastError() == ERROR_ACCESS_DENIED;
}

bool claimInstance(const wchar_t* tail, FileHandle (&held)[2]) {
    WideText name;
    WideText mappingName;
    if (instanceNameOf(name) != 0 || processMappingNameOf(name.get(), mappingName) != 0) {
        return true;
    }
    const wchar_t* instanceName = name.get();
    // Making the mutex is the one step that many starts at once cannot both
    // win: whoever made it goes on, every other start stops here.
    held[0].reset(kernel.CreateMutexW(nullptr, FALSE, instanceName));
    DWORD error = kernel.GetLastError();
    if (!held[0]) {
        // Without the mutex there is no instance to keep, but the
        // application must start all the same.
        logError(SOURCE, __LINE__, "claimInstance", error, "CreateMutex ");
        return true;
    }
    // The instance's mapping, or a fresh one that tells process 0 while the
    // launcher that made the mutex has not made it yet: both are the one
    // object of that name.
    held[1].reset(kernel.CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            sizeof(DWORD), mappingName.get()));
    if (!held[1]) {
        // Later starts still find the instance; only its window stays where it is.
        logError(SOURCE, __LINE__, "claimInstance", kernel.GetLastError(), "CreateFileMapping ");
    }
    if (error != ERROR_ALREADY_EXISTS) {
        return true;
    }
    MappedView view(held[1].get(), FILE_MAP_READ);
    bringToFront(view.processId() != nullptr ? *view.processId() : 0, tail);
    return false;
}

void letGoOfInstance(FileHandle (&held)[2], DWORD processId) {
    FileHandle& heldMapping = held[1];
    if (heldMapping && processId != 0) {
        MappedView view(heldMapping.get(), FILE_MAP_WRITE);
        if (view.processId() != nullptr) {
            *view.processId() = processId;
        } else {
            logError(SOURCE, __LINE__, "letGoOfInstance", kernel.GetLastError(), "MapViewOfFile ");
        }
    }
    heldMapping.close();
    held[0].close();
}
