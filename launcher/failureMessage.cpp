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
    if (!systemErrorText(error, systemText)) {
        WideText code;
        if (format(code, L"error %lu", error) == 0) {
            text.appendWide(code.get());
        }
        return;
    }
    text.appendWide(systemText.get());
}

// Up to `wanted` bytes of `file` from `from`; how many were read, 0 when
// none could be.
DWORD readAt(HANDLE file, ULONGLONG from, void* bytes, DWORD wanted) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(from);
    DWORD read = 0;
    if (wanted == 0 || !kernel.SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !kernel.ReadFile(file, bytes, wanted, &read, nullptr)) {
        return 0;
    }
    return read;
}

// The length of the well-formed UTF-8 character of more than one byte at
// `text` (`left` bytes on), or 0 when none begins there.
int utf8SequenceAt(const unsigned char* text, int left) {
    unsigned char lead = text[0];
    int length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
               : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > left) {
        return 0;
    }
    // The second byte's range also rules out overlong forms, surrogates and
    // code points beyond U+10FFFF.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < low || text[1] > high) {
        return 0;
    }
    for (int i = 2; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Java writes its errors in the system's code page unless told otherwise.
// Text whose non-ASCII bytes are mostly well-formed UTF-8 is UTF-8, a stray
// bad byte (shown as U+FFFD) included; text with more bad bytes than UTF-8
// characters is taken in the code page.
bool looksLikeUtf8(const char* text, int bytes) {
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    int characters = 0;
    int invalid = 0;
    for (int i = 0; i < bytes;) {
        if (at[i] < 0x80) {
            ++i;
        } else if (int length = utf8SequenceAt(at + i, bytes - i)) {
            ++characters;
            i += length;
        } else {
            ++invalid;
            ++i;
        }
    }
    return invalid <= characters;
}

// Bytes read from the end of a file as text: UTF-16 (little or big endian)
// where the file begins with that byte-order mark, else UTF-8 or the code
// page. Read from the middle of the file, the bytes may begin inside a
// character: its rest is dropped. The text, owned by `converted`; null when
// there is no memory for it.
wchar_t* decodeTail(const char* bytes, DWORD read, bool fromStart, bool utf16, bool bigEndian,
                    WideText& converted) {
    if (utf16) {
        DWORD units = read / 2;
        wchar_t* wide = allocateUnits(static_cast<unsigned long long>(units) + 1,
                                      "showFailureMessage");
        if (wide == nullptr) {
            return nullptr;
        }
        converted.adopt(wide);
        for (DWORD i = 0; i < units; ++i) {
            auto first = static_cast<unsigned char>(bytes[2 * i]);
            auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
            wide[i] = static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
        }
        wide[units] = L'\0';
        return wide;
    }
    const char* text = bytes;
    int textBytes = static_cast<int>(read);
    for (int dropped = 0; !fromStart && dropped < 3 && textBytes > 0 &&
                          (static_cast<unsigned char>(*text) & 0xC0) == 0x80;
         ++dropped) {
        ++text;
        --textBytes;
    }
    UINT codePage = looksLikeUtf8(text, textBytes) ? CP_UTF8 : CP_ACP;
    int units = kernel.MultiByteToWideChar(codePage, 0, text, textBytes, nullptr, 0);
    wchar_t* wide = units > 0 ? allocateUnits(static_cast<unsigned long long>(units) + 1,
                                              "showFailureMessage")
                              : nullptr;
    if (wide == nullptr) {
        return nullptr;
    }
    converted.adopt(wide);
    kernel.MultiByteToWideChar(codePage, 0, text, textBytes, wide, units);
    return wide;
}

// The end of the runtime's standard-error output, read through `file`, the
// handle on the very file the runtime wrote to; empty when there is none or
// it cannot be read. Only a plain disk file is read: a device could block the
// launcher for good.
void readErrorTail(HANDLE file, WideText& tail) {
    if (kernel.GetFileType(file) != FILE_TYPE_DISK) {
        return;
    }
    DWORD sizeAbove4GiB = 0;
    DWORD size = kernel.GetFileSize(file, &sizeAbove4GiB);
    if (size == INVALID_FILE_SIZE && kernel.GetLastError() != NO_ERROR) {
        return;
    }
    ULONGLONG whole = (static_cast<ULONGLONG>(sizeAbove4GiB) << 32) | size;
    unsigned char mark[3] = {};
    DWORD markBytes = readAt(file, 0, mark, whole < 3 ? static_cast<DWORD>(whole) : 3);
    bool littleEndian = markBytes >= 2 && mark[0] == 0xFF && mark[1] == 0xFE;
    bool bigEndian = markBytes >= 2 && mark[0] == 0xFE && mark[1] == 0xFF;
    bool utf8Mark = markBytes == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF;
    ULONGLONG textStart = littleEndian || bigEndian ? 2 : utf8Mark ? 3 : 0;
    if (whole <= textStart) {
        return;
    }
    DWORD wanted = whole - textStart < TAIL_BYTES ? static_cast<DWORD>(whole - textStart)
                                                   : TAIL_BYTES;
    ULONGLONG from = whole - wanted;
    // UTF-16 is read in whole code units.
    if ((littleEndian || bigEndian) && (from - textStart) % 2 != 0) {
        ++from;
        --wanted;
    }
    HeapBuffer bytes(wanted + 1);
    DWORD read = bytes ? readAt(file, from, bytes.get(), wanted) : 0;
    if (read == 0) {
        return;
    }
    WideText converted;
    wchar_t* wide = decodeTail(bytes.chars(), read, from == textStart,
                               littleEndian || bigEndian, bigEndian, converted);
    if (wide == nullptr) {
        return;
    }
    // A NUL ends the text: what follows it (a file's end filled with zeros)
    // is no output.
    std::size_t length = std::wcslen(wide);
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
    if (length - start > maxChars) {
        start = length - maxChars;
    }
    // The cut never leaves the second half of a character on its own.
    if (start < length && text[start] >= 0xDC00 && text[start] <= 0xDFFF) {
        ++start;
    }
    return start;
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

int earlyEndText(WideText& text, DWORD exitCode, const wchar_t* errLog, HANDLE errorOutput) {
    if (errLog == nullptr) {
        return format(text,
                      L"The application ended before it showed a window, with exit code %lu.\n\n"
                      L"No error output was kept: it went to the null device.",
                      exitCode);
    }
    WideText tail;
    readErrorTail(errorOutput, tail);
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
