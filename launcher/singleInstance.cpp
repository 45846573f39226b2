#include "singleInstance.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "owners.h"

#include <cwchar>
#include <initializer_list>

namespace {

// The shell takes no longer id.
constexpr std::size_t LONGEST_APP_ID = 128;

// A final path of the long form: "\\?\" and up to 32767 code units.
constexpr DWORD LONGEST_FINAL_PATH = 32768;

// The launcher's own handles on the instance's objects, from the claim to
// the end of the Java start. Made on the first claim only: a run without
// single_instance registers nothing for the process's exit.
struct HeldInstance {
    FileHandle mutex;
    FileHandle mapping;
};
bool claimed = false;

HeldInstance& held() {
    static HeldInstance instance;
    claimed = true;
    return instance;
}

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

// 64-bit FNV-1a over the path's code units.
unsigned long long hashOf(const wchar_t* text, std::size_t length) {
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < length; ++i) {
        for (unsigned byte : {static_cast<unsigned>(text[i]) & 0xFFu,
                              static_cast<unsigned>(text[i]) >> 8}) {
            hash = (hash ^ byte) * 0x100000001b3ull;
        }
    }
    return hash;
}

// The path the file system resolves `modulePath` to: links, short names and
// substituted drives undone. The path as given when it cannot be resolved.
void finalPathOf(const wchar_t* modulePath, WideText& path) {
    FileHandle file{kernel.CreateFileW(modulePath, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file) {
        wchar_t* resolved = allocateUnits(LONGEST_FINAL_PATH, "instanceName");
        DWORD length = resolved == nullptr
                           ? 0
                           : kernel.GetFinalPathNameByHandleW(file.get(), resolved,
                                                              LONGEST_FINAL_PATH,
                                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length > 0 && length < LONGEST_FINAL_PATH) {
            path.adopt(resolved);
            return;
        }
        logError(SOURCE, __LINE__, "instanceName", kernel.GetLastError(),
                 "GetFinalPathNameByHandle ");
        releaseUnits(resolved);
    } else {
        logError(SOURCE, __LINE__, "instanceName", kernel.GetLastError(), "CreateFile ");
    }
    path.appendWide(modulePath);
}

// The line of a start that found the instance running; the tail goes to the
// log, not to the application.
void logRunning(DWORD processId, const char* what, const wchar_t* tail) {
    if (processId == 0) {
        logMessage(SOURCE, __LINE__, "claimInstance",
                   "already running, its Java runtime still being started: nothing started, "
                   "the command-line tail not passed on: %S\n",
                   tail);
        return;
    }
    logMessage(SOURCE, __LINE__, "claimInstance",
               "already running as process %lu, %s: nothing started, the command-line tail not "
               "passed on: %S\n",
               static_cast<unsigned long>(processId), what, tail);
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

// Top-level windows come in their order on the screen, the topmost first.
BOOL CALLBACK considerWindow(HWND window, LPARAM lParam) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(lParam);
    if (!kernel.IsWindowVisible(window)) {
        return TRUE;
    }
    DWORD owner = 0;
    kernel.GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

// Brings a visible top-level window of the running instance to the front,
// restored if it is minimised.
void bringToFront(DWORD processId, const wchar_t* tail) {
    WindowSearch search{processId, nullptr};
    if (processId != 0) {
        kernel.EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr) {
        logRunning(processId, "without a visible window yet", tail);
        return;
    }
    if (kernel.IsIconic(search.found)) {
        kernel.ShowWindow(search.found, SW_RESTORE);
    }
    // The system may refuse the foreground to a program the user did not
    // start just now; the window then flashes on the taskbar instead.
    logRunning(processId,
               kernel.SetForegroundWindow(search.found) ? "its window brought to the front"
                                                        : "its window could not be brought to the front",
               tail);
}

}  // namespace

const char* appIdProblem(const wchar_t* id) {
    std::size_t length = std::wcslen(id);
    if (length == 0) {
        return "it is empty";
    }
    if (length > LONGEST_APP_ID) {
        return "it is longer than 128 characters";
    }
    int parts = 1;
    for (std::size_t i = 0; i < length; ++i) {
        if (id[i] <= L' ' || id[i] == 0x7F) {
            return id[i] == L' ' ? "it holds a blank" : "it holds a blank or a control character";
        }
        if (id[i] == L'.') {
            if (i == 0 || i + 1 == length || id[i + 1] == L'.') {
                return "it has an empty part: write Company.Product, its parts joined by single dots";
            }
            ++parts;
        }
    }
    if (parts < 2) {
        return "it has one part only: write Company.Product[.SubProduct]";
    }
    return nullptr;
}

int instanceNameOf(const wchar_t* modulePath, WideText& name) {
    WideText path;
    finalPathOf(modulePath, path);
    if (path.isNull()) {
        return ERROR_GENERIC;
    }
    // Paths compare without regard to letter case, by the system's own case
    // mapping rather than a language's.
    int length = static_cast<int>(path.length());
    wchar_t* upper = allocateUnits(static_cast<unsigned long long>(length) + 1, "instanceName");
    if (upper == nullptr) {
        return ERROR_GENERIC;
    }
    WideText upperPath;
    upperPath.adopt(upper);
    if (length > 0 && kernel.LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.get(),
                                           length, upper, length, nullptr, nullptr, 0) != length) {
        logError(SOURCE, __LINE__, "instanceName", kernel.GetLastError(), "LCMapStringEx ");
        return ERROR_GENERIC;
    }
    // A path cannot be the name itself: an object name may hold no backslash
    // after its namespace and is limited to 260 characters, which a final
    // path ("\\?\" and all) may exceed. Its hash fits both, and two of one
    // user's installations sharing one of 2^64 values is not a real risk.
    unsigned long long hash = hashOf(upper, length);
    return format(name, L"Local\\Kestrion.Instance.%08lX%08lX",
                  static_cast<unsigned long>(hash >> 32), static_cast<unsigned long>(hash & 0xFFFFFFFFu));
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

bool claimInstance(const wchar_t* instanceName, const wchar_t* tail) {
    // Making the mutex is the one step that many starts at once cannot both
    // win: whoever made it goes on, every other start stops here.
    FileHandle& heldMutex = held().mutex;
    heldMutex.reset(kernel.CreateMutexW(nullptr, FALSE, instanceName));
    DWORD error = kernel.GetLastError();
    if (!heldMutex && error != ERROR_ACCESS_DENIED) {
        // Without the mutex there is no instance to keep, but the
        // application must start all the same.
        logError(SOURCE, __LINE__, "claimInstance", error, "CreateMutex ");
        return true;
    }
    if (!heldMutex || error == ERROR_ALREADY_EXISTS) {
        heldMutex.close();
        bringToFront(runningInstanceProcess(instanceName), tail);
        return false;
    }
    WideText mappingName;
    if (processMappingNameOf(instanceName, mappingName) != 0) {
        return true;
    }
    FileHandle& heldMapping = held().mapping;
    heldMapping.reset(kernel.CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                sizeof(DWORD), mappingName.get()));
    if (!heldMapping) {
        // Later starts still find the instance; only its window stays where it is.
        logError(SOURCE, __LINE__, "claimInstance", kernel.GetLastError(), "CreateFileMapping ");
    }
    return true;
}

void instanceHandles(HANDLE (&handles)[2]) {
    handles[0] = claimed && held().mutex ? held().mutex.get() : nullptr;
    handles[1] = claimed && held().mapping ? held().mapping.get() : nullptr;
}

void letGoOfInstance(DWORD processId) {
    if (!claimed) {
        return;
    }
    FileHandle& heldMapping = held().mapping;
    if (heldMapping && processId != 0) {
        MappedView view(heldMapping.get(), FILE_MAP_WRITE);
        if (view.processId() != nullptr) {
            *view.processId() = processId;
        } else {
            logError(SOURCE, __LINE__, "letGoOfInstance", kernel.GetLastError(), "MapViewOfFile ");
        }
    }
    heldMapping.close();
    held().mutex.close();
}
