#include "fileInFolder.h"

#include "kernelServices.h"

#include <cstring>
#include <cwchar>

namespace {

// The system's longest path, in code units, in the "\\?\" form that final
// paths take.
constexpr DWORD LONGEST_PATH = 32768;

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The final path of an open file or folder, every link on the way followed:
// "\\?\C:\ProgramData\TAVEX". Its length, or 0 when the system cannot tell.
DWORD finalPathOf(HANDLE handle, wchar_t* buffer, DWORD size) {
    DWORD length = kernel.GetFinalPathNameByHandleW(handle, buffer, size,
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length < size ? length : 0;
}

FileHandle openFolder(const wchar_t* name) {
    return FileHandle{kernel.CreateFileW(name, FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr)};
}

// What the final path of `path` must read: the folder's own final path, then
// the rest of `path` with one backslash between them and backslashes only.
// Written into `expected` (room for `size` code units); its length, or 0.
DWORD expectedFinalPath(const wchar_t* path, std::size_t folderLength, wchar_t* expected,
                        DWORD size) {
    // The folder's name is copied out of `path`: the open needs it on its own.
    if (folderLength >= size) {
        return 0;
    }
    if (folderLength == 0) {
        std::wcscpy(expected, L".");
    } else {
        std::wmemcpy(expected, path, folderLength);
        expected[folderLength] = L'\0';
    }
    FileHandle folder = openFolder(expected);
    if (!folder) {
        return 0;
    }
    DWORD length = finalPathOf(folder.get(), expected, size);
    while (length > 0 && isSeparator(expected[length - 1])) {
        --length;
    }
    const wchar_t* rest = path + folderLength;
    while (isSeparator(*rest)) {
        ++rest;
    }
    std::size_t restLength = std::wcslen(rest);
    if (length == 0 || length + 1 + restLength >= size) {
        return 0;
    }
    expected[length++] = L'\\';
    for (const wchar_t* p = rest; *p != L'\0'; ++p) {
        expected[length++] = isSeparator(*p) ? L'\\' : *p;
    }
    expected[length] = L'\0';
    return length;
}

// Whether the final path of the open `handle` is "\\?\" and `path` itself,
// letter case aside: then no link on the way led elsewhere, whatever the
// folder is, and the folder need not be opened to tell. Drive paths only
// ("C:\..."); any other form, or a path through a link, goes the long way.
bool finalPathIsPathItself(HANDLE handle, const wchar_t* path) {
    if (path[0] == L'\0' || path[1] != L':' || !isSeparator(path[2])) {
        return false;
    }
    std::size_t length = std::wcslen(path);
    DWORD size = static_cast<DWORD>(length) + 5;
    HeapBuffer buffer(size * sizeof(wchar_t));
    if (!buffer) {
        return false;
    }
    auto* finalPath = static_cast<wchar_t*>(buffer.get());
    return finalPathOf(handle, finalPath, size) == length + 4 &&
           std::wcsncmp(finalPath, L"\\\\?\\", 4) == 0 &&
           kernel.CompareStringOrdinal(finalPath + 4, static_cast<int>(length), path,
                                       static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Whether the final path of the open `handle` is the one `path` names below
// its folder, letter case aside, as the file system compares names. Failed
// only when there is no memory to tell.
FileOpening checkFinalPath(HANDLE handle, const wchar_t* path, std::size_t folderLength,
                           DWORD& error) {
    if (finalPathIsPathItself(handle, path)) {
        return FileOpening::Opened;
    }
    DWORD expectedSize = LONGEST_PATH + static_cast<DWORD>(std::wcslen(path));
    HeapBuffer actual(LONGEST_PATH * sizeof(wchar_t));
    HeapBuffer expected(expectedSize * sizeof(wchar_t));
    if (!actual || !expected) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return FileOpening::Failed;
    }
    wchar_t* actualPath = static_cast<wchar_t*>(actual.get());
    wchar_t* expectedPath = static_cast<wchar_t*>(expected.get());
    DWORD actualLength = finalPathOf(handle, actualPath, LONGEST_PATH);
    DWORD expectedLength = expectedFinalPath(path, folderLength, expectedPath, expectedSize);
    bool same = actualLength > 0 && expectedLength > 0 &&
                kernel.CompareStringOrdinal(actualPath, static_cast<int>(actualLength),
                                            expectedPath, static_cast<int>(expectedLength),
                                            TRUE) == CSTR_EQUAL;
    return same ? FileOpening::Opened : FileOpening::Refused;
}

// Whether the open file is a plain file with one name, at the place `path`
// names below its folder; and whether it holds no bytes.
FileOpening checkFile(HANDLE file, const wchar_t* path, std::size_t folderLength, DWORD& error,
                      bool& empty) {
    // Only the two facts needed: the whole record of GetFileInformationByHandle
    // costs a query of the volume as well.
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    FILE_STANDARD_INFO standard{};
    if (!kernel.GetFileInformationByHandleEx(file, FileAttributeTagInfo, &attributes,
                                             sizeof attributes) ||
        !kernel.GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return FileOpening::Refused;
    }
    // A reparse point opened as itself is a link or a mount point; a second
    // name means that the same file can be reached from elsewhere.
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        standard.NumberOfLinks != 1 || standard.Directory) {
        return FileOpening::Refused;
    }
    empty = standard.EndOfFile.QuadPart == 0;
    return checkFinalPath(file, path, folderLength, error);
}

// Before a file is created: whether the folder it would be created in is the
// one `path` names, so that no linked folder on the way (TAVEX or Kestrion
// below ProgramData) gets a new file. The file's own check after the open
// still catches a folder swapped in between.
FileOpening checkParent(const wchar_t* path, std::size_t folderLength, DWORD& error) {
    std::size_t parentLength = folderLengthOf(path);
    if (parentLength <= folderLength) {
        return FileOpening::Opened;
    }
    HeapBuffer parentName((parentLength + 1) * sizeof(wchar_t));
    if (!parentName) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return FileOpening::Failed;
    }
    wchar_t* parent = static_cast<wchar_t*>(parentName.get());
    std::wmemcpy(parent, path, parentLength);
    FileHandle folder = openFolder(parent);
    if (!folder) {
        error = kernel.GetLastError();
        return FileOpening::Failed;
    }
    return checkFinalPath(folder.get(), parent, folderLength, error);
}

}  // namespace

std::size_t folderLengthOf(const wchar_t* path) {
    std::size_t separator = 0;
    bool found = false;
    for (std::size_t at = 0; path[at] != L'\0'; ++at) {
        if (isSeparator(path[at])) {
            separator = at;
            found = true;
        }
    }
    if (!found) {
        return 0;
    }
    if (separator == 0 || path[separator - 1] == L':') {
        return separator + 1;
    }
    return separator;
}

FileOpening openFileInFolder(FileHandle& file, const wchar_t* path, std::size_t folderLength,
                             DWORD access, bool inheritable, DWORD& error, bool* empty) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = inheritable ? TRUE : FALSE;
    // The checks read the file's attributes. A reparse point is opened as
    // itself, so that it shows as one.
    auto open = [&](DWORD disposition) -> DWORD {
        file.reset(kernel.CreateFileW(path, access | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, disposition,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
        return file ? 0 : kernel.GetLastError();
    };
    error = open(OPEN_EXISTING);
    bool created = false;
    if (error == ERROR_FILE_NOT_FOUND) {
        FileOpening parent = checkParent(path, folderLength, error);
        if (parent != FileOpening::Opened) {
            return parent;
        }
        error = open(CREATE_NEW);
        created = error == 0;
        if (error == ERROR_FILE_EXISTS) {
            // Another launcher may have made the file just now. If it still
            // cannot be opened, a dangling link holds the name.
            error = open(OPEN_EXISTING);
            if (error == ERROR_FILE_NOT_FOUND) {
                error = 0;
                return FileOpening::Refused;
            }
        }
    }
    if (error != 0) {
        return FileOpening::Failed;
    }
    // A file this open has just made is a plain, empty file with one name;
    // only the folder it landed in is left to tell, should one have been
    // swapped.
    bool holdsNothing = created;
    FileOpening checked = created ? checkFinalPath(file.get(), path, folderLength, error)
                                  : checkFile(file.get(), path, folderLength, error, holdsNothing);
    if (checked != FileOpening::Opened) {
        file.close();
    } else if (empty != nullptr) {
        *empty = holdsNothing;
    }
    return checked;
}

FileOpening inspectFileInFolder(const wchar_t* path, std::size_t folderLength, DWORD& error) {
    error = 0;
    FileHandle file{kernel.CreateFileW(path, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr)};
    if (!file) {
        error = kernel.GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            error = 0;
            return checkParent(path, folderLength, error);
        }
        return FileOpening::Failed;
    }
    bool empty = false;
    return checkFile(file.get(), path, folderLength, error, empty);
}

bool isSameFile(const wchar_t* path, const wchar_t* other) {
    // Every name of one file shows its size and the time of its last write,
    // read without opening it: two files that differ in them (the common
    // case, another program) are told apart without the two opens below.
    WIN32_FILE_ATTRIBUTE_DATA attributes[2]{};
    if (!kernel.GetFileAttributesExW(path, GetFileExInfoStandard, &attributes[0]) ||
        !kernel.GetFileAttributesExW(other, GetFileExInfoStandard, &attributes[1])) {
        return false;
    }
    if (attributes[0].nFileSizeLow != attributes[1].nFileSizeLow ||
        attributes[0].nFileSizeHigh != attributes[1].nFileSizeHigh ||
        attributes[0].ftLastWriteTime.dwLowDateTime != attributes[1].ftLastWriteTime.dwLowDateTime ||
        attributes[0].ftLastWriteTime.dwHighDateTime != attributes[1].ftLastWriteTime.dwHighDateTime) {
        return false;
    }
    // The volume and the file's number on it are the file itself: no two
    // names can differ in them for one file, nor agree for two.
    FILE_ID_INFO ids[2]{};
    const wchar_t* names[2] = {path, other};
    for (int i = 0; i < 2; ++i) {
        FileHandle file{kernel.CreateFileW(names[i], FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr)};
        if (!file ||
            !kernel.GetFileInformationByHandleEx(file.get(), FileIdInfo, &ids[i], sizeof ids[i])) {
            return false;
        }
    }
    return ids[0].VolumeSerialNumber == ids[1].VolumeSerialNumber &&
           std::memcmp(&ids[0].FileId, &ids[1].FileId, sizeof ids[0].FileId) == 0;
}
