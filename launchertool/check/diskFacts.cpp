#include "diskFacts.h"

#include "failure.h"
#include "owners.h"
#include "peImage.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

// Only ever opened for reading, shared with every writer and with deletion,
// so that the check stands in nobody's way. Only a file on a disk: a name
// such as COM1 opens a device, and reading a serial port can block for good.
FileHandle openForReading(const std::wstring& path) {
    FileHandle file{::CreateFileW(path.c_str(), FILE_READ_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    bool onDisk = file && ::GetFileType(file.get()) == FILE_TYPE_DISK;
    return FileHandle{onDisk ? file.release() : nullptr};
}

// Up to `count` bytes of a file from `offset`; fewer where it ends, none when
// it cannot be read.
std::string readBytes(const std::wstring& path, DWORD offset, DWORD count) {
    FileHandle file = openForReading(path);
    if (!file) {
        return {};
    }
    std::string bytes(count, '\0');
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD got = 0;
    if (!::ReadFile(file.get(), &bytes[0], count, &got, &at)) {
        return {};
    }
    bytes.resize(got);
    return bytes;
}

std::uint32_t little(const std::string& bytes, std::size_t at, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = size; i > 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
    }
    return value;
}

}  // namespace

std::uint16_t nativeMachine() {
    // A 32-bit program on ARM64 Windows is told by GetNativeSystemInfo of the
    // processor it is emulated on; IsWow64Process2 (Windows 10 and later)
    // names the real one.
    using Query = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (query != nullptr && query(::GetCurrentProcess(), &process, &native)) {
        return native;
    }
    SYSTEM_INFO system{};
    ::GetNativeSystemInfo(&system);
    switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
        return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_ARM64:
        return IMAGE_FILE_MACHINE_ARM64;
    case PROCESSOR_ARCHITECTURE_ARM:
        return IMAGE_FILE_MACHINE_ARMNT;
    default:
        return IMAGE_FILE_MACHINE_I386;
    }
}

namespace {

// The system's own programs run, and 32-bit x86 ones under WoW64 on 64-bit
// Windows; on ARM64 the emulated x64 and ARM32 ones too, where the version
// has them: given the benefit of the doubt.
bool systemRuns(std::uint16_t machine) {
    std::uint16_t native = nativeMachine();
    if (machine == native) {
        return true;
    }
    if (machine == IMAGE_FILE_MACHINE_I386) {
        return native != IMAGE_FILE_MACHINE_ARMNT;
    }
    return native == IMAGE_FILE_MACHINE_ARM64 &&
           (machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARMNT);
}

}  // namespace

std::string machineName(std::uint16_t machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "x86 (32-bit)";
    case IMAGE_FILE_MACHINE_AMD64:
        return "x64 (64-bit)";
    case IMAGE_FILE_MACHINE_ARM64:
        return "ARM64";
    case IMAGE_FILE_MACHINE_ARMNT:
        return "ARM (32-bit)";
    default:
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(machine));
        return std::string("the machine type ") + hex;
    }
}

// A Windows executable image (not a DLL) and the subsystem its header names,
// read with the tool's one reader of program headers.
Program programAt(const std::wstring& path, std::uint16_t* machine) {
    if (!exists(path) || isFolder(path)) {
        return Program::missing;
    }
    // The headers are all that is read, and they lie near the start: a
    // large file named by mistake (a jar) is not read whole.
    constexpr DWORD headerBytes = 1024 * 1024;
    PeHeader header;
    try {
        header = readPeHeader(readBytes(path, 0, headerBytes), "the program");
    } catch (const Failure&) {
        return Program::notWindows;
    }
    if ((header.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) == 0 ||
        (header.characteristics & IMAGE_FILE_DLL) != 0) {
        return Program::notWindows;
    }
    if (machine != nullptr) {
        *machine = header.machine;
    }
    if (!kindFitsMachine(header)) {
        return Program::mismatched;
    }
    if (!systemRuns(header.machine)) {
        return Program::otherMachine;
    }
    return header.subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI ? Program::console : Program::window;
}

// A local file header, or the end record of an empty archive.
bool isZip(const std::wstring& path) {
    std::string start = readBytes(path, 0, 4);
    return start == std::string("PK\x03\x04", 4) || start == std::string("PK\x05\x06", 4);
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool isAbsolute(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) {
        return true;
    }
    return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

std::wstring fullPath(const std::wstring& path) {
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return path;
    }
    full.resize(length);
    return full;
}

bool exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isIconFile(const std::wstring& path) {
    // The directory's header: reserved 0, type 1 (icon), then the count.
    std::string start = readBytes(path, 0, 6);
    return start.size() == 6 && start.compare(0, 4, std::string("\0\0\1\0", 4)) == 0 &&
           little(start, 4, 2) > 0;
}


std::string fileContent(const std::wstring& path) {
    FileHandle file = openForReading(path);
    std::string bytes;
    if (!file) {
        return bytes;
    }
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}
