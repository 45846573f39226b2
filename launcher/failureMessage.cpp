#include "failureMessage.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadconfig.h"
#include "owners.h"

#include <cwchar>

namespace {

// Enough bytes for FAILURE_TAIL_CHARS characters in any encoding.
constexpr DWORD TAIL_BYTES = 4 * FAILURE_TAIL_CHARS;

bool isLineEnd(wchar_t c) {
    return c == L'\n' || c == L'\r';
}

// The system's text for `error`, without its line end.
void appendSystemText(WideText& text, DWORD error) {
    LocalMemory<wchar_t> systemText;
    if (kernel.FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                  FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                              reinterpret_cast<LPWSTR>(systemText.out()), 0, nullptr) == 0) {
        WideText code;
        if (format(code, L"error %lu", error) == 0) {
            text.appendWide(code.get());
        }
        return;
    }
    wchar_t* end = systemText.get() + std::wcslen(systemText.get());
    while (end > systemText.get() && (isLineEnd(end[-1]) || end[-1] == L' ')) {
        *--end = L'\0';
    }
    text.appendWide(systemText.get());
}

// The end of the runtime's standard-error file, as text; empty when there is
// none or it cannot be read. Only a plain disk file is read: a device could
// block the launcher for good.
void readErrorTail(const wchar_t* errLog, WideText& tail) {
    FileHandle file{kernel.CreateFileW(errLog, FILE_READ_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file || kernel.GetFileType(file.get()) != FILE_TYPE_DISK) {
        return;
    }
    DWORD sizeAbove4GiB = 0;
    DWORD size = kernel.GetFileSize(file.get(), &sizeAbove4GiB);
    if (size == INVALID_FILE_SIZE && kernel.GetLastError() != NO_ERROR) {
        return;
    }
    ULONGLONG whole = (static_cast<ULONGLONG>(sizeAbove4GiB) << 32) | size;
    DWORD wanted = whole < TAIL_BYTES ? static_cast<DWORD>(whole) : TAIL_BYTES;
    LARGE_INTEGER from{};
    from.QuadPart = static_cast<LONGLONG>(whole - wanted);
    HeapBuffer bytes(wanted + 1);
    DWORD read = 0;
    if (wanted == 0 || !bytes || !kernel.SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN) ||
        !kernel.ReadFile(file.get(), bytes.get(), wanted, &read, nullptr) || read == 0) {
        return;
    }
    // Read from the middle of the file, the text may begin inside a UTF-8
    // character: its continuation bytes are dropped.
    const char* text = bytes.chars();
    int textBytes = static_cast<int>(read);
    for (int dropped = 0; from.QuadPart > 0 && dropped < 3 && textBytes > 0 &&
                          (static_cast<unsigned char>(*text) & 0xC0) == 0x80;
         ++dropped) {
        ++text;
        --textBytes;
    }
    // Java writes its errors in the system's code page unless told otherwise;
    // text that is valid UTF-8 is taken as such.
    UINT codePage = CP_UTF8;
    int units =
        kernel.MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, textBytes, nullptr, 0);
    if (units <= 0) {
        codePage = CP_ACP;
        units = kernel.MultiByteToWideChar(CP_ACP, 0, text, textBytes, nullptr, 0);
    }
    wchar_t* wide = units > 0 ? allocateUnits(static_cast<unsigned long long>(units) + 1,
                                              "showFailureMessage")
                              : nullptr;
    if (wide == nullptr) {
        return;
    }
    WideText converted;
    converted.adopt(wide);
    kernel.MultiByteToWideChar(codePage, 0, text, textBytes, wide, units);
    std::size_t length = static_cast<std::size_t>(units);
    while (length > 0 && isLineEnd(wide[length - 1])) {
        wide[--length] = L'\0';
    }
    tail.appendWide(wide + tailStart(wide, length, FAILURE_TAIL_LINES, FAILURE_TAIL_CHARS));
}

// The FileDescription of the executable's own version record (what the
// deployer's tool brands), in the first language the record lists.
bool readDescription(WideText& name) {
    wchar_t path[MAX_PATH];
    DWORD length = kernel.GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    DWORD ignored = 0;
    DWORD size = kernel.GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        return false;
    }
    HeapBuffer record(size);
    if (!record || !kernel.GetFileVersionInfoW(path, 0, size, record.get())) {
        return false;
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    if (!kernel.VerQueryValueW(record.get(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &bytes) ||
        bytes < sizeof(Translation)) {
        return false;
    }
    WideText key;
    if (format(key, L"\\StringFileInfo\\%04x%04x\\FileDescription", translations->language,
               translations->codePage) != 0) {
        return false;
    }
    wchar_t* description = nullptr;
    UINT units = 0;
    if (!kernel.VerQueryValueW(record.get(), key.get(), reinterpret_cast<void**>(&description),
                               &units) ||
        units == 0 || description[0] == L'\0') {
        return false;
    }
    return name.appendWide(description) == 0;
}

// A service's session has window stations that no user sees: a message box
// there would wait for good for a click that never comes.
bool desktopIsVisible() {
    USEROBJECTFLAGS flags{};
    HWINSTA station = kernel.GetProcessWindowStation();
    if (station == nullptr || !kernel.GetUserObjectInformationW(station, UOI_FLAGS, &flags,
                                                                sizeof flags, nullptr)) {
        logError(SOURCE, __LINE__, "showFailureMessage", kernel.GetLastError(),
                 "failure message not shown: no window station: GetUserObjectInformation ");
        return false;
    }
    if ((flags.dwFlags & WSF_VISIBLE) == 0) {
        logMessage(SOURCE, __LINE__, "showFailureMessage",
                   "failure message not shown: the window station is not visible (a service?)\n");
        return false;
    }
    return true;
}

}  // namespace

std::size_t tailStart(const wchar_t* text, std::size_t length, int maxLines,
                      std::size_t maxChars) {
    std::size_t start = length;
    int lines = 0;
    while (start > 0) {
        if (text[start - 1] == L'\n' && ++lines == maxLines) {
            break;
        }
        --start;
    }
    return length - start > maxChars ? length - maxChars : start;
}

int startFailureText(WideText& text, const wchar_t* application, DWORD error) {
    if (application == nullptr) {
        return format(text, L"The application could not be started: no Java runtime is "
                            L"configured (exec in [app]).");
    }
    WideText reason;
    if (error == 0) {
        reason.appendWide(L"the launcher refused to start it.");
    } else {
        appendSystemText(reason, error);
    }
    return format(text, L"The application could not be started.\n\nProgram: %s\nReason: %s",
                  application, reason.get());
}

int earlyEndText(WideText& text, DWORD exitCode, const wchar_t* errLog) {
    WideText tail;
    if (errLog != nullptr) {
        readErrorTail(errLog, tail);
    }
    if (tail.isNull() || tail.length() == 0) {
        return format(text, L"The application ended before it showed a window, with exit code %lu.",
                      exitCode);
    }
    return format(text,
                  L"The application ended before it showed a window, with exit code %lu.\n\n"
                  L"The end of its error output (%s):\n%s",
                  exitCode, errLog, tail.get());
}

void showFailureMessage(const WideText& text) {
    if (text.isNull()) {
        return;
    }
    WideText message;
    message.appendWide(text.get());
    // The log is kept when its file could be opened; the run has written to
    // it long before, so this opens nothing new.
    openLogFile();
    WideText logPath;
    if (logFile != INVALID_HANDLE_VALUE && logFilePath(logPath) == 0) {
        WideText details;
        if (format(details, L"\n\nThe details are in %s", logPath.get()) == 0) {
            message.appendWide(details.get());
        }
    }
    WideText title;
    if (!readDescription(title)) {
        title.appendWide(moduleName != nullptr ? moduleName : L"");
    }
    logMessage(SOURCE, __LINE__, "showFailureMessage", "showing the failure message: %S\n",
               message.get());
    if (!desktopIsVisible()) {
        return;
    }
    // The box waits for the user, maybe for good: what led to it is on disk
    // meanwhile.
    flushLog();
    if (kernel.MessageBoxW(nullptr, message.get(), title.get(),
                           MB_OK | MB_ICONERROR | MB_SETFOREGROUND) == 0) {
        logError(SOURCE, __LINE__, "showFailureMessage", kernel.GetLastError(),
                 "failure message could not be shown: MessageBox ");
    }
}
