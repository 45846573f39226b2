#include "CppTool.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "utf16.h"
#include "visibleText.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

// Defined in one place so that they are constructed in this order and, at
// process exit, released in the reverse order.
WideText configApplication;
WideText configApplication2;
WideText configDataDir;
WideText configLogDir;
WideText configPath;
WideText configMainJar;
WideText configJavaOptions;

wchar_t* allocateUnits(unsigned long long units, const char* function) {
    // Telling of a failure needs memory too; while one is being told, a
    // further one goes to the debugger only.
    static bool reporting = false;
    unsigned long long bytes = units * sizeof(wchar_t);
    void* block = nullptr;
    if (units <= SIZE_MAX / sizeof(wchar_t)) {
        block = kernel.HeapAlloc(kernel.GetProcessHeap(), HEAP_ZERO_MEMORY,
                                 static_cast<SIZE_T>(bytes));
    }
    if (block == nullptr) {
        if (reporting) {
            kernel.OutputDebugStringA("ERROR HeapAlloc\n");
        } else {
            reporting = true;
            logMessage(SOURCE, __LINE__, function, "ERROR HeapAlloc %llu bytes\n", bytes);
            reporting = false;
        }
    }
    return static_cast<wchar_t*>(block);
}

void releaseUnits(wchar_t* array) {
    if (array != nullptr && !kernel.HeapFree(kernel.GetProcessHeap(), 0, array)) {
        kernel.OutputDebugStringA("ERROR HeapFree\n");
    }
}

void WideText::release() {
    releaseUnits(text_);
    text_ = nullptr;
}

void WideText::adopt(wchar_t* array) {
    releaseUnits(text_);
    text_ = array;
}

std::size_t WideText::length() const {
    return text_ == nullptr ? 0 : std::wcslen(text_);
}

int WideText::fromUtf8(const char* utf8) {
    int units = kernel.MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units == 0) {
        logError(SOURCE, __LINE__, "fromUtf8", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    wchar_t* converted = allocateUnits(static_cast<unsigned long long>(units), "fromUtf8");
    if (converted == nullptr) {
        return ERROR_GENERIC;
    }
    adopt(converted);
    if (kernel.MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text_, units) == 0) {
        // The value stays the zeroed array: empty, but configured.
        logError(SOURCE, __LINE__, "fromUtf8", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    return 0;
}

int WideText::appendUtf8(const char* utf8) {
    int units = kernel.MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units == 0) {
        logError(SOURCE, __LINE__, "appendUtf8", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    std::size_t kept = length();
    wchar_t* joined = allocateUnits(kept + static_cast<unsigned long long>(units) + 1, "appendUtf8");
    if (joined == nullptr) {
        return ERROR_GENERIC;
    }
    if (text_ != nullptr) {
        std::wmemcpy(joined, text_, kept);
    }
    if (kernel.MultiByteToWideChar(CP_UTF8, 0, utf8, -1, joined + kept, units + 1) == 0) {
        DWORD code = kernel.GetLastError();
        releaseUnits(joined);
        logError(SOURCE, __LINE__, "appendUtf8", code, " ");
        return ERROR_GENERIC;
    }
    adopt(joined);
    return 0;
}

int WideText::appendWide(const wchar_t* text) {
    std::size_t kept = length();
    std::size_t added = std::wcslen(text);
    wchar_t* joined = allocateUnits(static_cast<unsigned long long>(kept) + added + 1, "appendWide");
    if (joined == nullptr) {
        return ERROR_GENERIC;
    }
    if (text_ != nullptr) {
        std::wmemcpy(joined, text_, kept);
    }
    std::wmemcpy(joined + kept, text, added + 1);
    adopt(joined);
    return 0;
}

int format(WideText& target, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int length = _vscwprintf(fmt, args);
    va_end(args);
    if (length <= 0) {
        logMessage(SOURCE, __LINE__, "format", "ERROR vswprintf\n");
        return ERROR_GENERIC;
    }
    wchar_t* formatted = allocateUnits(static_cast<unsigned long long>(length) + 1, "format");
    if (formatted == nullptr) {
        return ERROR_GENERIC;
    }
    target.adopt(formatted);
    va_start(args, fmt);
    int written = _vsnwprintf(const_cast<wchar_t*>(target.get()), length + 1, fmt, args);
    va_end(args);
    if (written <= 0) {
        logMessage(SOURCE, __LINE__, "format", "ERROR _vsnwprintf_s\n");
        return ERROR_GENERIC;
    }
    return 0;
}

namespace {

// UTF-16 to UTF-8 without the system: it cannot fail, and a lone surrogate
// (which no valid path holds) becomes U+FFFD instead of losing the whole text.
std::string utf8Of(const wchar_t* text) {
    return fromUtf16(reinterpret_cast<const char16_t*>(text));
}

// Formats one conversion whose argument has already been taken. The system's
// C runtime does the work: the launcher carries no formatter of its own.
template <typename T>
void appendConversion(std::string& out, const std::string& conversion, T value) {
    int needed = _scprintf(conversion.c_str(), value);
    if (needed <= 0) {
        return;
    }
    std::string piece(static_cast<std::size_t>(needed), '\0');
    _snprintf(&piece[0], piece.size(), conversion.c_str(), value);
    out += piece;
}

int formatConversions(char* buffer, std::size_t size, const char* fmt, va_list args,
                      bool escapeValues) {
    std::string out;
    const char* p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        // Collect one conversion: flags, width, precision, length, type.
        std::string conversion = "%";
        ++p;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            conversion += *p++;
        }
        auto takeCount = [&]() {
            if (*p == '*') {
                conversion += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                conversion += *p++;
            }
        };
        takeCount();
        if (*p == '.') {
            conversion += *p++;
            takeCount();
        }
        std::string length;
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) {
            length += *p++;
        }
        char type = *p;
        if (type == '\0') {
            return -1;
        }
        ++p;
        switch (type) {
        case 'S':
        case 's':
        {
            std::string value;
            if (type == 'S' || length == "l") {
                const wchar_t* wide = va_arg(args, const wchar_t*);
                value = wide == nullptr ? std::string("(null)") : utf8Of(wide);
            } else {
                const char* narrow = va_arg(args, const char*);
                value = narrow == nullptr ? "(null)" : narrow;
            }
            appendConversion(out, conversion + "s",
                             (escapeValues ? escapedControls(value) : value).c_str());
            break;
        }
        case 'd':
        case 'i':
            if (length == "ll" || length == "q" || length == "j") {
                appendConversion(out, conversion + "I64d", va_arg(args, long long));
            } else if (length == "l") {
                appendConversion(out, conversion + "ld", va_arg(args, long));
            } else {
                appendConversion(out, conversion + "d", va_arg(args, int));
            }
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (length == "ll" || length == "q" || length == "j") {
                appendConversion(out, conversion + "I64" + type, va_arg(args, unsigned long long));
            } else if (length == "l") {
                appendConversion(out, conversion + "l" + type, va_arg(args, unsigned long));
            } else {
                appendConversion(out, conversion + type, va_arg(args, unsigned int));
            }
            break;
        case 'c':
            appendConversion(out, conversion + "c", va_arg(args, int));
            break;
        case 'p':
            appendConversion(out, conversion + "p", va_arg(args, void*));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            appendConversion(out, conversion + type, va_arg(args, double));
            break;
        default:
            // An unknown conversion (or %n) would misread the arguments.
            return -1;
        }
    }
    if (size > 0) {
        std::size_t copied = out.size() < size ? out.size() : size - 1;
        std::memcpy(buffer, out.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(out.size());
}

}  // namespace

int formatUtf8V(char* buffer, std::size_t size, const char* fmt, va_list args) {
    return formatConversions(buffer, size, fmt, args, false);
}

int formatUtf8(char* buffer, std::size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int length = formatUtf8V(buffer, size, fmt, args);
    va_end(args);
    return length;
}

int formatUtf8EscapedV(char* buffer, std::size_t size, const char* fmt, va_list args) {
    return formatConversions(buffer, size, fmt, args, true);
}

int formatUtf8Escaped(char* buffer, std::size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int length = formatUtf8EscapedV(buffer, size, fmt, args);
    va_end(args);
    return length;
}

int EnvironmentBlock::appendEntry(const wchar_t* entry) {
    int added = static_cast<int>(std::wcslen(entry)) + 1;
    wchar_t* grown =
        allocateUnits(static_cast<unsigned long long>(count_) + added + 1, "appendEntry");
    if (grown == nullptr) {
        return ERROR_GENERIC;
    }
    if (block_ != nullptr) {
        std::wmemcpy(grown, block_, count_);
    }
    std::wmemcpy(grown + count_, entry, added);
    grown[count_ + added] = L'\0';
    releaseUnits(block_);
    block_ = grown;
    count_ += added;
    return 0;
}

void EnvironmentBlock::release() {
    releaseUnits(block_);
    block_ = nullptr;
    count_ = 0;
}
