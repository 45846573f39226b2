#include "peImage.h"

#include "failure.h"
#include "littleEndian.h"

#include <algorithm>

namespace {

constexpr std::uint16_t i386Machine = 0x14C;
constexpr std::uint16_t armntMachine = 0x1C4;
constexpr std::uint16_t amd64Machine = 0x8664;
constexpr std::uint16_t arm64Machine = 0xAA64;
constexpr std::size_t fileHeaderSize = 20;
constexpr std::size_t sectionEntrySize = 40;
// Offsets in the 32-bit optional header.
constexpr std::size_t sizeOfInitializedDataField = 8;
constexpr std::size_t sectionAlignmentField = 32;
constexpr std::size_t fileAlignmentField = 36;
constexpr std::size_t sizeOfImageField = 56;
constexpr std::size_t checksumField = 64;
constexpr std::size_t subsystemField = 68;
// The 64-bit header's wider fields put its directories 16 bytes further.
constexpr std::size_t directoryCountField = 92;
constexpr std::size_t directoryCountField64 = 108;
constexpr std::size_t symbolEntrySize = 18;
constexpr std::size_t debugDirectory = 6;
constexpr std::size_t debugEntrySize = 28;
constexpr std::uint32_t codeSection = 0x00000020;
constexpr std::uint32_t initializedDataSection = 0x00000040;
constexpr std::uint32_t executableSection = 0x20000000;

bool powerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// What a section takes in memory: a linker may leave its virtual size 0.
std::uint32_t memorySize(const Section& section) {
    return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

bool holds(const Section& section, std::uint32_t address) {
    return address >= section.virtualAddress &&
           address - section.virtualAddress < std::max(memorySize(section), section.rawSize);
}

// The index of the section holding the resource directory; npos when the file has none.
std::size_t resourceIndex(const PeImage& image, const std::string& which) {
    const DataDirectory& resources = image.directories.size() > resourceDirectory
                                         ? image.directories[resourceDirectory]
                                         : DataDirectory{};
    if (resources.address == 0 || resources.size == 0) {
        return std::string::npos;
    }
    for (std::size_t i = 0; i < image.sections.size(); ++i) {
        if (holds(image.sections[i], resources.address)) {
            if (image.sections[i].virtualAddress != resources.address) {
                fail(which + " does not read: its resources do not start their section");
            }
            return i;
        }
    }
    fail(which + " does not read: its resource directory lies outside every section");
}

// A name too long for the section table stands there as "/offset" into the
// COFF string table, which follows the symbols; where that table is not in
// the file, the short form is all there is to show.
std::string longName(const PeImage& image, const std::string& name) {
    const std::string& bytes = *image.bytes;
    if (name.size() < 2 || name[0] != '/' ||
        name.find_first_not_of("0123456789", 1) != std::string::npos || image.symbolTable == 0) {
        return name;
    }
    std::uint64_t strings = std::uint64_t{image.symbolTable} + std::uint64_t{symbolEntrySize} * image.symbolCount;
    if (strings > bytes.size() || bytes.size() - strings < 4) {
        return name;
    }
    std::uint64_t offset = std::stoull(name.substr(1));
    std::uint64_t size = std::min<std::uint64_t>(u32At(bytes, strings), bytes.size() - strings);
    if (offset < 4 || offset >= size) {
        return name;
    }
    std::size_t start = static_cast<std::size_t>(strings + offset);
    std::size_t end = bytes.find('\0', start);
    end = std::min<std::size_t>(end, static_cast<std::size_t>(strings + size));
    return bytes.substr(start, end - start);
}

// The debug directory's entries name their data by file offset as well as
// by address; data after the resources moves, and its offset with it. The
// entries themselves lie before the resources and keep their place, so they
// are mended in the copy where they stand.
template <typename Moved>
void moveDebugData(const PeImage& image, const Section& rsrc, std::string& out, Moved movedOffset,
                   const std::string& which) {
    const std::string& bytes = *image.bytes;
    if (image.directories.size() <= debugDirectory || image.directories[debugDirectory].size == 0) {
        return;
    }
    const DataDirectory& debug = image.directories[debugDirectory];
    const Section* home = nullptr;
    for (const Section& section : image.sections) {
        if (holds(section, debug.address)) {
            home = &section;
        }
    }
    std::uint64_t offset = home == nullptr ? 0 : std::uint64_t{home->rawPointer} + (debug.address - home->virtualAddress);
    if (home == nullptr || debug.address - home->virtualAddress > home->rawSize ||
        debug.size > home->rawSize - (debug.address - home->virtualAddress) || offset >= rsrc.rawPointer) {
        fail(which + " does not read: its debug directory lies outside the file's sections");
    }
    for (std::uint64_t entry = offset; entry + debugEntrySize <= offset + debug.size; entry += debugEntrySize) {
        std::size_t at = static_cast<std::size_t>(entry);
        std::uint32_t size = u32At(bytes, at + 16);
        std::uint32_t address = u32At(bytes, at + 20);
        std::uint32_t pointer = u32At(bytes, at + 24);
        if (address != 0 && address >= rsrc.virtualAddress) {
            fail(which + " cannot be rebuilt: its debug data lies in a section that moves: "
                         "strip it from the program first");
        }
        if (pointer >= rsrc.rawPointer) {
            putU32(out, at + 24, movedOffset(pointer, size));
        }
    }
}

}  // namespace

PeHeader readPeHeader(const std::string& bytes, const std::string& which) {
    const std::string notProgram = which + " is no program file";
    if (bytes.size() < 64 || bytes.compare(0, 2, "MZ") != 0) {
        fail(notProgram);
    }
    std::size_t nt = u32At(bytes, 60);
    if (nt > bytes.size() || bytes.size() - nt < 4 + fileHeaderSize ||
        bytes.compare(nt, 4, std::string("PE\0\0", 4)) != 0) {
        fail(notProgram);
    }
    PeHeader header;
    header.fileHeader = nt + 4;
    header.optionalHeader = header.fileHeader + fileHeaderSize;
    if (bytes.size() - header.optionalHeader < subsystemField + 2) {
        fail(which + " does not read: its optional header is cut short");
    }
    header.machine = u16At(bytes, header.fileHeader);
    header.characteristics = u16At(bytes, header.fileHeader + 18);
    header.magic = u16At(bytes, header.optionalHeader);
    header.subsystem = u16At(bytes, header.optionalHeader + subsystemField);
    if (header.magic != pe32Magic && header.magic != pe32PlusMagic) {
        fail(which + " is no Windows program file: its optional header is of no kind Windows knows");
    }
    return header;
}

bool kindFitsMachine(const PeHeader& header) {
    switch (header.machine) {
    case i386Machine:
    case armntMachine:
        return header.magic == pe32Magic;
    case amd64Machine:
    case arm64Machine:
        return header.magic == pe32PlusMagic;
    default:
        return true;
    }
}

PeImage readPeImage(const std::string& bytes, const std::string& which) {
    PeImage image;
    image.bytes = &bytes;
    image.header = readPeHeader(bytes, which);
    image.optionalHeader = image.header.optionalHeader;
    if (!kindFitsMachine(image.header)) {
        fail(which + " is no 32-bit Windows program file, nor a 64-bit one: its machine type and "
                     "the kind of its optional header disagree, so Windows refuses to start it");
    }
    bool wide = image.header.magic == pe32PlusMagic;
    std::size_t countField = wide ? directoryCountField64 : directoryCountField;
    std::size_t firstDirectory = countField + 4;
    image.directoryTable = image.optionalHeader + firstDirectory;
    std::size_t sectionCount = u16At(bytes, image.header.fileHeader + 2);
    std::size_t optionalSize = u16At(bytes, image.header.fileHeader + 16);
    if (bytes.size() - image.optionalHeader < firstDirectory) {
        fail(which + " does not read: its optional header is cut short");
    }
    std::size_t directoryCount = u32At(bytes, image.optionalHeader + countField);
    if (optionalSize < firstDirectory || directoryCount > 16 ||
        optionalSize < firstDirectory + 8 * directoryCount ||
        bytes.size() - image.optionalHeader < optionalSize) {
        fail(which + " does not read: its optional header is cut short");
    }
    image.sectionTable = image.optionalHeader + optionalSize;
    if ((bytes.size() - image.sectionTable) / sectionEntrySize < sectionCount) {
        fail(which + " does not read: its section table runs past the end of the file");
    }
    image.sectionAlignment = u32At(bytes, image.optionalHeader + sectionAlignmentField);
    image.fileAlignment = u32At(bytes, image.optionalHeader + fileAlignmentField);
    if (!powerOfTwo(image.fileAlignment) || !powerOfTwo(image.sectionAlignment) ||
        image.fileAlignment < 512 || image.fileAlignment > 0x10000 ||
        image.sectionAlignment < image.fileAlignment) {
        fail(which + " does not read: its alignments are none a program has");
    }
    for (std::size_t i = 0; i < directoryCount; ++i) {
        std::size_t at = image.directoryTable + 8 * i;
        image.directories.push_back({u32At(bytes, at), u32At(bytes, at + 4)});
    }
    image.symbolTable = u32At(bytes, image.header.fileHeader + 8);
    image.symbolCount = u32At(bytes, image.header.fileHeader + 12);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        std::size_t at = image.sectionTable + sectionEntrySize * i;
        Section section;
        section.name = bytes.substr(at, 8);
        section.name.resize(section.name.find('\0') == std::string::npos ? 8 : section.name.find('\0'));
        section.name = longName(image, section.name);
        section.virtualSize = u32At(bytes, at + 8);
        section.virtualAddress = u32At(bytes, at + 12);
        section.rawSize = u32At(bytes, at + 16);
        section.rawPointer = u32At(bytes, at + 20);
        section.characteristics = u32At(bytes, at + 36);
        if (section.rawSize != 0 && (section.rawPointer > bytes.size() ||
                                     section.rawSize > bytes.size() - section.rawPointer)) {
            fail(which + " does not read: its section " + section.name +
                 " runs past the end of the file");
        }
        image.sections.push_back(section);
    }
    return image;
}

bool is64Bit(const PeImage& image) {
    return image.header.magic == pe32PlusMagic;
}

void requireX86(const PeImage& image, const std::string& which) {
    if (image.header.machine != i386Machine) {
        fail(which + (is64Bit(image) ? " is a 64-bit program file" : " is a program file for another processor") +
             ": brand takes only the 32-bit launcher (launcher.exe as shipped, or a copy branded from it)");
    }
}

bool isSigned(const PeImage& image) {
    return image.directories.size() > certificateDirectory &&
           image.directories[certificateDirectory].address != 0 &&
           image.directories[certificateDirectory].size != 0;
}

ResourceSection resourceSection(const PeImage& image, const std::string& which) {
    std::size_t index = resourceIndex(image, which);
    if (index == std::string::npos) {
        return {};
    }
    const Section& section = image.sections[index];
    if (section.rawSize == 0) {
        fail(which + " does not read: its resource section holds no data in the file");
    }
    // Beyond its raw data a section holds zeros, which no resource is made of.
    std::uint32_t size = std::min(memorySize(section), section.rawSize);
    return {image.bytes->substr(section.rawPointer, size), section.virtualAddress};
}

std::size_t checksumOffset(const PeImage& image) {
    return image.optionalHeader + checksumField;
}

std::uint32_t peChecksum(const std::string& file, std::size_t checksumOffset) {
    std::uint64_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 2) {
        if (at == checksumOffset || at == checksumOffset + 2) {
            continue;
        }
        std::uint32_t word = static_cast<unsigned char>(file[at]);
        if (at + 1 < file.size()) {
            word |= static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

std::string withResourceSection(const PeImage& image, const std::string& resources,
                                const std::string& which) {
    const std::string& bytes = *image.bytes;
    requireX86(image, which);
    std::size_t index = resourceIndex(image, which);
    if (index == std::string::npos) {
        fail(which + " has no resource section to rewrite");
    }
    // Sections in the order of their addresses: those after the resources move.
    std::vector<std::size_t> order(image.sections.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return image.sections[a].virtualAddress < image.sections[b].virtualAddress;
    });
    const Section& rsrc = image.sections[index];
    // Whatever else the resource section held would be lost with it.
    for (std::size_t d = 0; d < image.directories.size(); ++d) {
        if (d != resourceDirectory && d != certificateDirectory && image.directories[d].size != 0 &&
            holds(rsrc, image.directories[d].address)) {
            fail(which + " cannot be rebuilt: its resource section holds more than its resources");
        }
    }
    std::vector<std::size_t> following;
    std::uint64_t endOfRaw = 0;
    for (std::size_t i : order) {
        const Section& section = image.sections[i];
        endOfRaw = std::max<std::uint64_t>(endOfRaw, std::uint64_t{section.rawPointer} + section.rawSize);
        if (section.virtualAddress <= rsrc.virtualAddress) {
            if (i != index && section.rawSize != 0 &&
                std::uint64_t{section.rawPointer} + section.rawSize > rsrc.rawPointer) {
                fail(which + " cannot be rebuilt: its section " + section.name +
                     " lies after its resources in the file");
            }
            continue;
        }
        // Only the relocations may move: nothing but their directory entry
        // points into them, and their blocks name addresses of other sections.
        const DataDirectory& relocations = image.directories.size() > relocationDirectory
                                               ? image.directories[relocationDirectory]
                                               : DataDirectory{};
        bool relocationsOnly = relocations.size != 0 && holds(section, relocations.address) &&
                               (section.characteristics & (codeSection | executableSection)) == 0 &&
                               section.rawSize != 0 && section.rawPointer >= rsrc.rawPointer;
        for (std::size_t d = 0; d < image.directories.size(); ++d) {
            if (d != relocationDirectory && d != certificateDirectory &&
                image.directories[d].size != 0 && holds(section, image.directories[d].address)) {
                relocationsOnly = false;
            }
        }
        if (!relocationsOnly) {
            fail(which + " cannot be rebuilt: its section " + section.name +
                 " follows its resources and holds more than relocations");
        }
        following.push_back(i);
    }
    const DataDirectory certificate = image.directories.size() > certificateDirectory
                                          ? image.directories[certificateDirectory]
                                          : DataDirectory{};
    std::uint64_t certificateStart = bytes.size();
    std::uint64_t certificateEnd = bytes.size();
    if (certificate.address != 0 && certificate.size != 0) {
        if (certificate.address < endOfRaw || certificate.address > bytes.size() ||
            certificate.size > bytes.size() - certificate.address) {
            fail(which + " does not read: its certificate table lies outside the end of the file");
        }
        certificateStart = certificate.address;
        certificateEnd = std::uint64_t{certificate.address} + certificate.size;
    }

    std::string out = bytes.substr(0, rsrc.rawPointer);
    // Each run of the old file after the resources that the copy carries,
    // and where it lands, so that offsets into them can follow.
    struct Moved {
        std::uint64_t from;
        std::uint64_t size;
        std::uint64_t to;
    };
    std::vector<Moved> moved;
    auto carry = [&](std::uint64_t from, std::uint64_t size) {
        moved.push_back({from, size, out.size()});
        out += bytes.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(size));
    };
    std::vector<Section> sections = image.sections;
    std::uint64_t newRaw = alignedUp(resources.size(), image.fileAlignment);
    if (newRaw > 0x7FFFFFFF) {
        fail(which + " cannot be rebuilt: its resources would exceed 2 GB");
    }
    std::int64_t initializedGrowth = 0;
    auto place = [&](Section& section, std::uint32_t address, std::uint32_t rawSize) {
        if (section.characteristics & initializedDataSection) {
            initializedGrowth += std::int64_t{rawSize} - section.rawSize;
        }
        section.virtualAddress = address;
        section.rawPointer = static_cast<std::uint32_t>(out.size());
        section.rawSize = rawSize;
    };
    place(sections[index], rsrc.virtualAddress, static_cast<std::uint32_t>(newRaw));
    sections[index].virtualSize = static_cast<std::uint32_t>(resources.size());
    out += resources;
    out.resize(out.size() + (newRaw - resources.size()), '\0');
    std::uint64_t nextAddress =
        alignedUp(std::uint64_t{rsrc.virtualAddress} + resources.size(), image.sectionAlignment);
    std::uint32_t relocationShift = 0;
    for (std::size_t i : following) {
        const Section& old = image.sections[i];
        if (nextAddress + memorySize(old) > 0xFFFFFFFFu) {
            fail(which + " cannot be rebuilt: it would exceed the address space");
        }
        if (image.directories.size() > relocationDirectory &&
            holds(old, image.directories[relocationDirectory].address)) {
            relocationShift = static_cast<std::uint32_t>(nextAddress) - old.virtualAddress;
        }
        place(sections[i], static_cast<std::uint32_t>(nextAddress), old.rawSize);
        carry(old.rawPointer, old.rawSize);
        nextAddress = alignedUp(nextAddress + memorySize(old), image.sectionAlignment);
    }
    // Whatever follows the last section stays after it, also what follows
    // the signature; only the signature itself goes.
    if (endOfRaw < certificateStart) {
        carry(endOfRaw, certificateStart - endOfRaw);
    }
    if (certificateEnd < bytes.size()) {
        carry(certificateEnd, bytes.size() - certificateEnd);
    }
    // Where `size` bytes at the old file offset `from` are now; fails when
    // they lie where the copy does not carry them whole.
    auto movedOffset = [&](std::uint64_t from, std::uint64_t size, const std::string& what) {
        for (const Moved& run : moved) {
            if (from >= run.from && from - run.from <= run.size && size <= run.size - (from - run.from)) {
                return static_cast<std::uint32_t>(run.to + (from - run.from));
            }
        }
        fail(which + " cannot be rebuilt: its " + what +
             " lies in its resources, in its signature or past its end, where the copy cannot "
             "keep it: strip it from the program first");
    };
    if (image.symbolTable >= rsrc.rawPointer) {
        std::uint64_t symbols = std::uint64_t{symbolEntrySize} * image.symbolCount;
        std::uint64_t strings = image.symbolTable + symbols;
        std::uint64_t stringsSize = strings <= bytes.size() && bytes.size() - strings >= 4
                                        ? u32At(bytes, static_cast<std::size_t>(strings))
                                        : 0;
        putU32(out, image.header.fileHeader + 8,
               movedOffset(image.symbolTable, symbols + stringsSize, "COFF symbol table"));
    }
    moveDebugData(image, rsrc, out, [&](std::uint64_t from, std::uint64_t size) {
        return movedOffset(from, size, "debug data");
    }, which);

    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::size_t at = image.sectionTable + sectionEntrySize * i;
        putU32(out, at + 8, sections[i].virtualSize);
        putU32(out, at + 12, sections[i].virtualAddress);
        putU32(out, at + 16, sections[i].rawSize);
        putU32(out, at + 20, sections[i].rawPointer);
    }
    std::uint64_t sizeOfImage = 0;
    for (const Section& section : sections) {
        sizeOfImage = std::max(sizeOfImage, alignedUp(std::uint64_t{section.virtualAddress} + memorySize(section),
                                                      image.sectionAlignment));
    }
    std::size_t header = image.optionalHeader;
    putU32(out, header + sizeOfImageField, static_cast<std::uint32_t>(sizeOfImage));
    putU32(out, header + sizeOfInitializedDataField,
           static_cast<std::uint32_t>(u32At(bytes, header + sizeOfInitializedDataField) + initializedGrowth));
    std::size_t directories = image.directoryTable;
    putU32(out, directories + 8 * resourceDirectory + 4, static_cast<std::uint32_t>(resources.size()));
    if (relocationShift != 0) {
        putU32(out, directories + 8 * relocationDirectory,
               image.directories[relocationDirectory].address + relocationShift);
    }
    if (image.directories.size() > certificateDirectory) {
        putU32(out, directories + 8 * certificateDirectory, 0);
        putU32(out, directories + 8 * certificateDirectory + 4, 0);
    }
    putU32(out, checksumOffset(image), peChecksum(out, checksumOffset(image)));
    return out;
}
