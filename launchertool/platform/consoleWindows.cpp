#include "console.h"

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

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes,
                            nullptr, nullptr);
    }
    return out;
}

std::wstring fromUtf8Text(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], units);
    }
    return out;
}
