#include "peHeaders.h"

#include "failure.h"

#include <imagehlp.h>

#include <cstddef>
#include <cstring>

namespace {

template <typename T>
T readAt(const std::string& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Where the security directory entry lies, for 32-bit and 64-bit headers.
std::size_t securityEntryOffset(const std::string& image, const std::wstring& which) {
    if (image.size() < sizeof(IMAGE_DOS_HEADER) ||
        readAt<IMAGE_DOS_HEADER>(image, 0).e_magic != IMAGE_DOS_SIGNATURE) {
        fail(which + L" is no program file");
    }
    std::size_t nt = static_cast<std::size_t>(readAt<IMAGE_DOS_HEADER>(image, 0).e_lfanew);
    std::size_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    if (nt > image.size() || image.size() - nt < sizeof(IMAGE_NT_HEADERS64) ||
        readAt<DWORD>(image, nt) != IMAGE_NT_SIGNATURE) {
        fail(which + L" is no program file");
    }
    WORD magic = readAt<WORD>(image, optional);
    std::size_t directories = 0;
    DWORD count = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        count = readAt<IMAGE_OPTIONAL_HEADER32>(image, optional).NumberOfRvaAndSizes;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        count = readAt<IMAGE_OPTIONAL_HEADER64>(image, optional).NumberOfRvaAndSizes;
    } else {
        fail(which + L" is no program file");
    }
    if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY) {
        return 0;
    }
    return directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
}

// Where the sections' bytes end in the file.
std::size_t endOfSections(const std::string& image) {
    std::size_t nt = static_cast<std::size_t>(readAt<IMAGE_DOS_HEADER>(image, 0).e_lfanew);
    IMAGE_FILE_HEADER file = readAt<IMAGE_FILE_HEADER>(image, nt + sizeof(DWORD));
    std::size_t first = nt + sizeof(DWORD) + sizeof file + file.SizeOfOptionalHeader;
    std::size_t end = first;
    for (WORD i = 0; i < file.NumberOfSections; ++i) {
        std::size_t at = first + i * sizeof(IMAGE_SECTION_HEADER);
        if (at + sizeof(IMAGE_SECTION_HEADER) > image.size()) {
            return image.size();
        }
        IMAGE_SECTION_HEADER section = readAt<IMAGE_SECTION_HEADER>(image, at);
        std::size_t sectionEnd =
            static_cast<std::size_t>(section.PointerToRawData) + section.SizeOfRawData;
        end = sectionEnd > end ? sectionEnd : end;
    }
    return end;
}

}  // namespace

CertificateTable certificateTable(const std::string& image, const std::wstring& which) {
    std::size_t entry = securityEntryOffset(image, which);
    if (entry == 0) {
        return {};
    }
    // This one directory entry holds a file offset, not an address.
    IMAGE_DATA_DIRECTORY directory = readAt<IMAGE_DATA_DIRECTORY>(image, entry);
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return {};
    }
    return {directory.VirtualAddress, directory.Size};
}

void removeCertificateTable(std::string& image, const std::wstring& which) {
    CertificateTable table = certificateTable(image, which);
    if (table.size == 0) {
        return;
    }
    if (table.offset < endOfSections(image) || table.offset > image.size() ||
        table.size > image.size() - table.offset) {
        fail(which + L" does not read: its certificate table lies outside the end of the file");
    }
    std::size_t entry = securityEntryOffset(image, which);
    std::memset(&image[entry], 0, sizeof(IMAGE_DATA_DIRECTORY));
    image.resize(table.offset);
}

void updateChecksum(std::string& image, const std::wstring& which) {
    DWORD headerSum = 0;
    DWORD checkSum = 0;
    IMAGE_NT_HEADERS* headers = CheckSumMappedFile(&image[0], static_cast<DWORD>(image.size()),
                                                   &headerSum, &checkSum);
    if (headers == nullptr) {
        failWithSystemError(L"cannot compute the checksum of " + which, GetLastError());
    }
    // The field sits at the same place in 32-bit and 64-bit headers.
    headers->OptionalHeader.CheckSum = checkSum;
}
