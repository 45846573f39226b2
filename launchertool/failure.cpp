#include "failure.h"

#include "owners.h"

void fail(const std::wstring& message) {
    throw Failure{message};
}

void failWithSystemError(const std::wstring& what, DWORD code) {
    LocalMemory<wchar_t> text;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPWSTR>(text.out()), 0, nullptr);
    std::wstring systemText(text.get() != nullptr ? text.get() : L"", length);
    // The system's texts end with a line break, which would split the line.
    while (!systemText.empty() && (systemText.back() == L'\n' || systemText.back() == L'\r' ||
                                   systemText.back() == L' ' || systemText.back() == L'.')) {
        systemText.pop_back();
    }
    std::wstring message = what + L": ";
    message += systemText.empty() ? L"system error" : systemText;
    message += L" (error " + std::to_wstring(code) + L")";
    throw Failure{message};
}
