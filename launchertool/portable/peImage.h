// A 32-bit program file as the tool reads and rewrites it: the headers, the
// section table and the data directories, each checked against the file.
// Only the resource section is ever rewritten; the sections after it move
// when they hold data alone (the relocations), everything before it stays
// byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Section {
    std::string name;
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawPointer = 0;
    std::uint32_t characteristics = 0;
};

struct DataDirectory {
    std::uint32_t address = 0;  // an address in memory, except for the certificate table
    std::uint32_t size = 0;
};

// The data directories the tool reads or sets.
constexpr std::size_t certificateDirectory = 4;
constexpr std::size_t resourceDirectory = 2;
constexpr std::size_t relocationDirectory = 5;

struct PeImage {
    const std::string* bytes = nullptr;  // the whole file, owned by the caller
    std::size_t optionalHeader = 0;      // where the optional header starts
    std::size_t sectionTable = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sectionAlignment = 0;
    std::vector<Section> sections;  // in the table's order
    std::vector<DataDirectory> directories;
};

// Fails naming `which` unless `bytes` is a whole 32-bit program file.
PeImage readPeImage(const std::string& bytes, const std::string& which);

// Whether the file carries a certificate table (a signature).
bool isSigned(const PeImage& image);

// The bytes of the resource section and its address, empty when the file
// has no resources. Fails when the resources lie other than at the start of
// a section of their own.
struct ResourceSection {
    std::string bytes;
    std::uint32_t address = 0;
};
ResourceSection resourceSection(const PeImage& image, const std::string& which);

// The file with `resources` as its resource section (laid out for the same
// address), the sections after it moved, the certificate table dropped, and
// the sizes, directories and checksum set to match. Fails when a section that
// is not plain data follows the resources.
std::string withResourceSection(const PeImage& image, const std::string& resources,
                                const std::string& which);

// The checksum as the system computes it, with the field itself read as 0.
std::uint32_t peChecksum(const std::string& file, std::size_t checksumOffset);
std::size_t checksumOffset(const PeImage& image);
