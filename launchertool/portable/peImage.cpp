#include "peImage.h"

#include "failure.h"
#include "littleEndian.h"

#include <algorithm>

namespace {

constexpr std::uint16_t i386Machine = 0x14C;
constexpr std::uint16_t pe32Magic = 0x10B;
constexpr std::size_t fileHeaderSize = 20;
constexpr std::size_t sectionEntrySize = 40;
// Offsets in the 32-bit optional header.
constexpr std::size_t sizeOfInitializedDataField = 8;
constexpr std::size_t sectionAlignmentField = 32;
constexpr std::size_t fileAlignmentField = 36;
constexpr std::size_t sizeOfImageField = 56;
constexpr std::size_t checksumField = 64;
constexpr std::size_t directoryCountField = 92;
constexpr std::size_t firstDirectoryField = 96;
constexpr std::uint32_t codeSection = 0x00000020;
constexpr std::uint32_t initializedDataSection = 0x00000040;
constexpr std::uint32_t executableSection = 0x20000000;

bool powerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::uint64_t alignedUp(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
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

}  // namespace

PeImage readPeImage(const std::string& bytes, const std::string& which) {
    const std::string notProgram = which + " is no program file";
    if (bytes.size() < 64 || bytes.compare(0, 2, "MZ") != 0) {
        fail(notProgram);
    }
    std::size_t nt = u32At(bytes, 60);
    if (nt > bytes.size() || bytes.size() - nt < 4 + fileHeaderSize ||
        bytes.compare(nt, 4, std::string("PE\0\0", 4)) != 0) {
        fail(notProgram);
    }
    PeImage image;
    image.bytes = &bytes;
    image.optionalHeader = nt + 4 + fileHeaderSize;
    std::uint16_t machine = u16At(bytes, nt + 4);
    std::size_t sectionCount = u16At(bytes, nt + 6);
    std::size_t optionalSize = u16At(bytes, nt + 20);
    if (bytes.size() - image.optionalHeader < firstDirectoryField ||
        u16At(bytes, image.optionalHeader) != pe32Magic || machine != i386Machine) {
        fail(which + " is no 32-bit Windows program file");
    }
    std::size_t directoryCount = u32At(bytes, image.optionalHeader + directoryCountField);
    if (optionalSize < firstDirectoryField || directoryCount > 16 ||
        optionalSize < firstDirectoryField + 8 * directoryCount ||
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
        std::size_t at = image.optionalHeader + firstDirectoryField + 8 * i;
        image.directories.push_back({u32At(bytes, at), u32At(bytes, at + 4)});
    }
    for (std::size_t i = 0; i < sectionCount; ++i) {
        std::size_t at = image.sectionTable + sectionEntrySize * i;
        Section section;
        section.name = bytes.substr(at, 8);
        section.name.resize(section.name.find('\0') == std::string::npos ? 8 : section.name.find('\0'));
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
    std::uint64_t endOfData = bytes.size();
    if (certificate.address != 0 && certificate.size != 0) {
        if (certificate.address < endOfRaw || certificate.address > bytes.size() ||
            certificate.size > bytes.size() - certificate.address) {
            fail(which + " does not read: its certificate table lies outside the end of the file");
        }
        endOfData = certificate.address;
    }

    std::string out = bytes.substr(0, rsrc.rawPointer);
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
        out += bytes.substr(old.rawPointer, old.rawSize);
        nextAddress = alignedUp(nextAddress + memorySize(old), image.sectionAlignment);
    }
    // Whatever follows the last section stays after it; only the signature goes.
    if (endOfRaw < endOfData) {
        out += bytes.substr(endOfRaw, endOfData - endOfRaw);
    }

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
    std::size_t directories = header + firstDirectoryField;
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
