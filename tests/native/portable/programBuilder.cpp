#include "programBuilder.h"

#include "littleEndian.h"
#include "versionRecord.h"

namespace {

constexpr std::uint32_t fileAlignment = 0x200;
constexpr std::uint32_t sectionAlignment = 0x1000;
constexpr std::uint32_t headersSize = 0x400;
constexpr std::uint32_t debugEntryAddress = 0x1100;  // inside .text

std::uint32_t alignedUp(std::size_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) / alignment * alignment);
}

struct Layout {
    std::size_t fileHeader;
    std::size_t optional;
    std::size_t directories;
    std::size_t sections;
};

Layout layoutOf(const std::string& program) {
    Layout layout{};
    layout.fileHeader = u32At(program, 60) + 4;
    layout.optional = layout.fileHeader + 20;
    layout.directories = layout.optional + (u16At(program, layout.optional) == 0x20B ? 112 : 96);
    layout.sections = layout.optional + u16At(program, layout.fileHeader + 16);
    return layout;
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void appendBigEndian(std::string& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
}

std::string chunk(const std::string& type, const std::string& data) {
    std::string bytes;
    appendBigEndian(bytes, static_cast<std::uint32_t>(data.size()));
    bytes += type + data;
    appendBigEndian(bytes, crc32(type + data));
    return bytes;
}

}  // namespace

std::string buildProgram(const ProgramParts& parts) {
    std::string rsrc = layOutResourceTree(parts.resources, 0x2000);
    struct Placed {
        std::string name;
        std::uint32_t address, rawPointer, rawSize, virtualSize, characteristics;
    };
    std::vector<Placed> sections = {{".text", 0x1000, headersSize, fileAlignment, 0x200, 0x60000020}};
    sections.push_back({".rsrc", 0x2000, headersSize + fileAlignment, alignedUp(rsrc.size(), fileAlignment),
                        static_cast<std::uint32_t>(rsrc.size()), 0x40000040});
    for (const std::string& name : parts.afterResources) {
        const Placed& last = sections.back();
        sections.push_back({name, alignedUp(last.address + last.virtualSize, sectionAlignment),
                            last.rawPointer + last.rawSize, fileAlignment, 8, 0x42000040});
    }
    std::string out(sections.back().rawPointer + sections.back().rawSize, '\0');
    out.replace(0, 2, "MZ");
    putU32(out, 60, 0x40);
    out.replace(0x40, 4, std::string("PE\0\0", 4));
    Layout at{0x44, 0x58, 0, 0};
    putU16(out, at.fileHeader, parts.wide ? 0x8664 : 0x14C);
    putU16(out, at.fileHeader + 2, static_cast<std::uint16_t>(sections.size()));
    putU16(out, at.fileHeader + 16, parts.wide ? 240 : 224);
    putU16(out, at.fileHeader + 18, static_cast<std::uint16_t>((parts.wide ? 0x22 : 0x102) | (parts.dll ? 0x2000 : 0)));
    putU16(out, at.optional, parts.wide ? 0x20B : 0x10B);
    putU32(out, at.optional + 16, 0x1000);
    putU32(out, at.optional + 32, sectionAlignment);
    putU32(out, at.optional + 36, fileAlignment);
    putU32(out, at.optional + 56, alignedUp(sections.back().address + sections.back().virtualSize, sectionAlignment));
    putU32(out, at.optional + 60, headersSize);
    putU16(out, at.optional + 68, 2);
    at.directories = at.optional + (parts.wide ? 112 : 96);
    putU32(out, at.directories - 4, 16);
    at.sections = at.optional + (parts.wide ? 240 : 224);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::size_t entry = at.sections + 40 * i;
        out.replace(entry, sections[i].name.size(), sections[i].name);
        putU32(out, entry + 8, sections[i].virtualSize);
        putU32(out, entry + 12, sections[i].address);
        putU32(out, entry + 16, sections[i].rawSize);
        putU32(out, entry + 20, sections[i].rawPointer);
        putU32(out, entry + 36, sections[i].characteristics);
    }
    out.replace(sections[1].rawPointer, rsrc.size(), rsrc);
    putU32(out, at.directories + 8 * 2, 0x2000);
    putU32(out, at.directories + 8 * 2 + 4, static_cast<std::uint32_t>(rsrc.size()));
    if (sections.size() > 2) {
        // One block of relocations naming no entry: the page and its size.
        putU32(out, sections[2].rawPointer, 0x1000);
        putU32(out, sections[2].rawPointer + 4, 8);
        putU32(out, at.directories + 8 * 5, sections[2].address);
        putU32(out, at.directories + 8 * 5 + 4, 8);
    }
    if (!parts.symbols.empty()) {
        putU32(out, at.fileHeader + 8, static_cast<std::uint32_t>(out.size()));
        putU32(out, at.fileHeader + 12, parts.symbolCount);
        out += parts.symbols;
    }
    if (!parts.debugData.empty()) {
        std::size_t entry = headersSize + (debugEntryAddress - 0x1000);
        putU32(out, entry + 12, 2);  // CodeView
        putU32(out, entry + 16, static_cast<std::uint32_t>(parts.debugData.size()));
        putU32(out, entry + 24, static_cast<std::uint32_t>(out.size()));
        putU32(out, at.directories + 8 * 6, debugEntryAddress);
        putU32(out, at.directories + 8 * 6 + 4, 28);
        out += parts.debugData;
    }
    out += parts.overlay;
    if (!parts.certificate.empty()) {
        putU32(out, at.directories + 8 * 4, static_cast<std::uint32_t>(out.size()));
        putU32(out, at.directories + 8 * 4 + 4, static_cast<std::uint32_t>(parts.certificate.size()));
        out += parts.certificate + parts.afterCertificate;
    }
    return out;
}

std::uint32_t symbolTableOffset(const std::string& program) {
    return u32At(program, layoutOf(program).fileHeader + 8);
}

std::uint32_t debugDataOffset(const std::string& program) {
    return u32At(program, headersSize + (debugEntryAddress - 0x1000) + 24);
}

std::string versionRecordNaming(const std::u16string& product, std::uint16_t major) {
    std::string fixed(52, '\0');
    putU32(fixed, 0, 0xFEEF04BD);
    VersionBlock root{u"VS_VERSION_INFO", 0, fixed, {}};
    setVersion(root, {major, 0, 0, 0});
    setString(root, u"ProductName", product);
    return writeVersionRecord(root);
}

std::string dibImage(int width, int height, int bitCount, bool mask) {
    std::string bytes(40, '\0');
    putU32(bytes, 0, 40);
    putU32(bytes, 4, static_cast<std::uint32_t>(width));
    putU32(bytes, 8, static_cast<std::uint32_t>(2 * height));
    putU16(bytes, 12, 1);
    putU16(bytes, 14, static_cast<std::uint16_t>(bitCount));
    if (bitCount <= 8) {
        bytes.append(std::size_t{4} << bitCount, '\0');  // the colour table
    }
    std::size_t colourRow = (static_cast<std::size_t>(width) * bitCount + 31) / 32 * 4;
    std::string pixels(colourRow * static_cast<std::size_t>(height), '\x7F');
    if (bitCount == 32) {
        for (int column = 0; column < width; ++column) {
            pixels[static_cast<std::size_t>(column) * 4 + 3] = '\0';
        }
    }
    bytes += pixels;
    if (mask) {
        bytes.append((static_cast<std::size_t>(width) + 31) / 32 * 4 * static_cast<std::size_t>(height), '\0');
    }
    return bytes;
}

std::string pngImage(std::uint32_t width, std::uint32_t height) {
    std::string header;
    appendBigEndian(header, width);
    appendBigEndian(header, height);
    header += std::string("\x08\x06\0\0\0", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", "pixels") +
           chunk("IEND", "");
}

std::string icoFile(const std::vector<IcoEntry>& entries) {
    std::string ico;
    appendU16(ico, 0);
    appendU16(ico, 1);
    appendU16(ico, static_cast<std::uint16_t>(entries.size()));
    std::size_t offset = 6 + 16 * entries.size();
    std::string images;
    for (const IcoEntry& entry : entries) {
        ico += static_cast<char>(entry.width & 0xFF);
        ico += static_cast<char>(entry.height & 0xFF);
        ico += std::string(2, '\0');
        appendU16(ico, entry.planes);
        appendU16(ico, entry.bitCount);
        appendU32(ico, static_cast<std::uint32_t>(entry.image.size()));
        appendU32(ico, static_cast<std::uint32_t>(offset + images.size()));
        images += entry.image;
    }
    return ico + images;
}
