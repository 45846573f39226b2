// A program file as the tool reads and rewrites it: the headers, the section
// table and the data directories, each checked against the file. Any
// Windows program or DLL reads, 32 or 64 bits; brand rewrites only 32-bit
// programs. Only the resource section is ever rewritten; the sections after
// it move when they hold data alone (the relocations), and with them what
// lies after the last section and every file offset that points there;
// everything before it stays byte for byte.
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

// What the first headers say, for any program file: enough to tell what
// the system would make of it.
constexpr std::uint16_t pe32Magic = 0x10B;      // the 32-bit optional header
constexpr std::uint16_t pe32PlusMagic = 0x20B;  // the 64-bit one (PE32+)
struct PeHeader {
    std::size_t fileHeader = 0;  // the COFF file header, after the signature
    std::size_t optionalHeader = 0;
    std::uint16_t machine = 0;
    std::uint16_t magic = 0;  // pe32Magic or pe32PlusMagic
    std::uint16_t characteristics = 0;
    std::uint16_t subsystem = 0;
};

// Fails naming `which` unless `bytes` starts with the headers of a program
// file whose optional header is one of the two kinds; nothing else is checked.
PeHeader readPeHeader(const std::string& bytes, const std::string& which);

// Whether the optional header is of the kind the machine type needs (PE32
// for x86 and ARM, PE32+ for x64 and ARM64): the system starts no other.
bool kindFitsMachine(const PeHeader& header);

struct PeImage {
    const std::string* bytes = nullptr;  // the whole file, owned by the caller
    PeHeader header;
    std::size_t optionalHeader = 0;  // where the optional header starts
    std::size_t directoryTable = 0;  // where its data directories start
    std::size_t sectionTable = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sectionAlignment = 0;
    std::vector<Section> sections;  // in the table's order
    std::vector<DataDirectory> directories;
    std::uint32_t symbolTable = 0;  // the COFF symbol table's file offset, 0 for none
    std::uint32_t symbolCount = 0;
};

// Fails naming `which` unless `bytes` is a whole program file whose header
// kind fits its machine. Section names of the "/14" form are read from the
// COFF string table. The image only borrows `bytes`, so they must outlive
// it: a temporary is refused at compile time.
PeImage readPeImage(const std::string& bytes, const std::string& which);
PeImage readPeImage(std::string&& bytes, const std::string& which) = delete;

bool is64Bit(const PeImage& image);
// Fails naming `which` unless the image is a 32-bit x86 program or DLL, the
// only kind that brand makes copies of.
void requireX86(const PeImage& image, const std::string& which);

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
// the sizes, directories and checksum set to match; what follows the last
// section (a certificate table's trailing data too) moves after the new
// last section, with the COFF symbol table's and the debug entries' file
// offsets. Fails as requireX86 does, when a section that is not plain data
// follows the resources, or when such an offset points where nothing can
// follow it.
std::string withResourceSection(const PeImage& image, const std::string& resources,
                                const std::string& which);

// The checksum as the system computes it, with the field itself read as 0.
std::uint32_t peChecksum(const std::string& file, std::size_t checksumOffset);
std::size_t checksumOffset(const PeImage& image);
