#include "wholeFile.h"

#include "failure.h"
#include "owners.h"

std::string readWholeFile(const std::wstring& path) {
    FileHandle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        failWithSystemError(L"cannot read " + path, GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        failWithSystemError(L"cannot read " + path, GetLastError());
    }
    // Nothing the tool reads comes near this; a larger file is no launcher
    // and no icon.
    if (size.QuadPart > 256 * 1024 * 1024) {
        fail(L"cannot read " + path + L": the file is larger than 256 MB");
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[done], static_cast<DWORD>(bytes.size() - done), &got,
                      nullptr)) {
            failWithSystemError(L"cannot read " + path, GetLastError());
        }
        if (got == 0) {
            fail(L"cannot read " + path + L": the file shrank while it was read");
        }
        done += got;
    }
    return bytes;
}

void writeWholeFile(const std::wstring& path, const std::string& bytes) {
    FileHandle file{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        failWithSystemError(L"cannot write " + path, GetLastError());
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        failWithSystemError(L"cannot write " + path, GetLastError());
    }
    if (!FlushFileBuffers(file.get())) {
        failWithSystemError(L"cannot write " + path, GetLastError());
    }
}

std::wstring fullPath(const std::wstring& path, std::wstring* name) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        failWithSystemError(L"cannot find " + path, GetLastError());
    }
    std::wstring full(needed, L'\0');
    wchar_t* part = nullptr;
    DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], &part);
    if (length == 0 || length >= needed) {
        failWithSystemError(L"cannot find " + path, GetLastError());
    }
    if (name != nullptr) {
        *name = part != nullptr ? part : L"";
    }
    full.resize(length);
    return full;
}
