#include "console.h"

#include "utf16.h"

#include <windows.h>

namespace {

void print(DWORD which, const std::wstring& text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes = toUtf8(text);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void printOut(const std::wstring& text) {
    print(STD_OUTPUT_HANDLE, text);
}

void printErr(const std::wstring& text) {
    print(STD_ERROR_HANDLE, text);
}

void printOut(const std::string& text) {
    print(STD_OUTPUT_HANDLE, fromUtf8Text(text));
}

void printErr(const std::string& text) {
    print(STD_ERROR_HANDLE, fromUtf8Text(text));
}

// wchar_t is UTF-16 on Windows: the conversions are the portable ones, so
// that both builds write the same bytes for the same text.
std::string toUtf8(const std::wstring& text) {
    return fromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring fromUtf8Text(const std::string& text) {
    std::u16string units = toUtf16(text);
    return std::wstring(units.begin(), units.end());
}
