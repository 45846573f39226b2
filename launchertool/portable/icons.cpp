#include "icons.h"

#include "failure.h"
#include "littleEndian.h"
#include "utf16.h"

#include <map>
#include <utility>

namespace {

// The .ico file's directory (reserved, type 1, count) and its 16-byte
// entries (width, height, colours, reserved, planes, bit count, bytes,
// offset); a group resource's entries are 14 bytes, with the resource
// number in place of the offset.
constexpr std::size_t directorySize = 6;
constexpr std::size_t fileEntrySize = 16;
constexpr std::size_t groupEntrySize = 14;
constexpr std::size_t bitmapHeaderSize = 40;
constexpr std::uint32_t uncompressed = 0;

// The directories can name at most 256 pixels a side.
constexpr int largestSide = 256;

std::uint32_t bigEndian(const std::string& bytes, std::size_t offset) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

std::uint32_t crc32(const char* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

const char pngSignature[] = "\x89PNG\r\n\x1a\n";

// Bits per pixel of a valid PNG colour type and bit depth; 0 for any other.
int pngBitCount(int colourType, int depth) {
    switch (colourType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16 ? depth : 0;
    case 2:
        return depth == 8 || depth == 16 ? 3 * depth : 0;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 ? depth : 0;
    case 4:
        return depth == 8 || depth == 16 ? 2 * depth : 0;
    case 6:
        return depth == 8 || depth == 16 ? 4 * depth : 0;
    default:
        return 0;
    }
}

// A PNG reads when its header chunk comes first and every chunk up to IEND
// is whole and carries its checksum, so a damaged file is found before any
// program tries to show it. The image ends with IEND.
IconImage readPng(const std::string& bytes, const std::string& which) {
    IconImage image;
    image.png = true;
    std::size_t at = 8;
    bool header = false;
    bool data = false;
    for (;;) {
        if (bytes.size() - at < 12) {
            fail(which + " is a PNG that ends before its last chunk: save the image again whole");
        }
        std::uint32_t length = bigEndian(bytes, at);
        if (length > bytes.size() - at - 12) {
            fail(which + " is a PNG with a chunk that runs past its end: save the image again whole");
        }
        std::string type = bytes.substr(at + 4, 4);
        if (crc32(bytes.data() + at + 4, 4 + std::size_t{length}) != bigEndian(bytes, at + 8 + length)) {
            fail(which + " is a damaged PNG: a chunk's checksum does not match; save the image again");
        }
        if (!header) {
            if (type != "IHDR" || length != 13) {
                fail(which + " is a PNG without its header chunk: save the image again");
            }
            std::uint32_t width = bigEndian(bytes, at + 8);
            std::uint32_t height = bigEndian(bytes, at + 12);
            image.width = width > largestSide ? largestSide + 1 : static_cast<int>(width);
            image.height = height > largestSide ? largestSide + 1 : static_cast<int>(height);
            image.bitCount = pngBitCount(static_cast<unsigned char>(bytes[at + 17]),
                                         static_cast<unsigned char>(bytes[at + 16]));
            if (image.bitCount == 0) {
                fail(which + " is a PNG of a colour type or depth that does not exist: save it again "
                             "as 32-bit RGBA");
            }
            header = true;
        }
        data = data || type == "IDAT";
        at += 12 + std::size_t{length};
        if (type == "IEND") {
            break;
        }
    }
    if (!data) {
        fail(which + " is a PNG without image data: save the image again");
    }
    image.bytes = bytes.substr(0, at);
    return image;
}

// The AND mask of a 32-bit bitmap whose pixels start at `at`: a set bit
// (transparent) wherever the alpha is 0, rows bottom up as the pixels are.
std::string maskFromAlpha(const std::string& bytes, std::size_t at, std::size_t columns, std::size_t rows) {
    std::size_t maskRow = (columns + 31) / 32 * 4;
    std::string mask(maskRow * rows, '\0');
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t column = 0; column < columns; ++column) {
            if (bytes[at + (row * columns + column) * 4 + 3] == '\0') {
                mask[row * maskRow + column / 8] |= static_cast<char>(0x80 >> (column % 8));
            }
        }
    }
    return mask;
}

IconImage readDib(const std::string& bytes, const std::string& which) {
    if (bytes.size() < bitmapHeaderSize) {
        fail(which + " is neither a PNG nor a whole bitmap header: save the icon again with an icon editor");
    }
    std::uint32_t headerSize = u32At(bytes, 0);
    std::int32_t width = static_cast<std::int32_t>(u32At(bytes, 4));
    std::int32_t height = static_cast<std::int32_t>(u32At(bytes, 8));
    std::uint16_t planes = u16At(bytes, 12);
    std::uint16_t depth = u16At(bytes, 14);
    std::uint32_t compression = u32At(bytes, 16);
    std::uint32_t coloursUsed = u32At(bytes, 32);
    if (headerSize < bitmapHeaderSize || headerSize > bytes.size()) {
        fail(which + " is neither a PNG nor a bitmap: save the icon again with an icon editor");
    }
    // The height counts the colour bitmap and the AND mask below it.
    if (width < 1 || width > largestSide || height < 2 || height > 2 * largestSide ||
        height % 2 != 0 || planes != 1) {
        fail(which + " is a bitmap of a size no icon has: save it again at 1 to 256 pixels a side");
    }
    if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        fail(which + " is a bitmap of " + std::to_string(depth) +
             " bits per pixel, which no icon has: save it again in 32 bits");
    }
    if (compression != uncompressed) {
        fail(which + " is a compressed bitmap, which icons cannot hold: save it again uncompressed "
                     "or as a PNG");
    }
    std::uint64_t colours = coloursUsed;
    if (depth <= 8 && (colours == 0 || colours > (1u << depth))) {
        colours = 1u << depth;
    }
    if (colours > 256) {
        fail(which + " is a bitmap with a colour table of " + std::to_string(colours) +
             " entries; no bitmap has more than 256: save it again in 32 bits");
    }
    std::size_t columns = static_cast<std::size_t>(width);
    std::size_t rows = static_cast<std::size_t>(height) / 2;
    std::size_t colourRow = (columns * depth + 31) / 32 * 4;
    std::size_t maskRow = (columns + 31) / 32 * 4;
    std::size_t pixels = headerSize + colours * 4 + colourRow * rows;
    std::size_t needed = pixels + maskRow * rows;
    IconImage image;
    image.width = width;
    image.height = static_cast<int>(rows);
    image.bitCount = depth;
    if (bytes.size() < needed && depth == 32 && bytes.size() >= pixels) {
        // Many 32-bit icons carry no AND mask, their alpha saying what is
        // transparent; the system still reads a mask after the pixels, so
        // one is made from the alpha.
        image.bytes = bytes.substr(0, pixels) + maskFromAlpha(bytes, pixels - colourRow * rows, columns, rows);
        return image;
    }
    if (bytes.size() < needed) {
        fail(which + " is a bitmap cut short: it needs " + std::to_string(needed) +
             " bytes and has " + std::to_string(bytes.size()) + "; save the icon again whole");
    }
    image.bytes = bytes.substr(0, needed);
    return image;
}

}  // namespace

IconImage readIconImage(const std::string& bytes, const std::string& which) {
    IconImage image = bytes.compare(0, 8, pngSignature, 8) == 0 ? readPng(bytes, which)
                                                                 : readDib(bytes, which);
    if (image.width < 1 || image.width > largestSide || image.height < 1 ||
        image.height > largestSide) {
        fail(which + " is larger than 256 pixels or empty; an icon image has 1 to 256 a side: "
                     "scale it to at most 256");
    }
    return image;
}

IconFile readIconFile(const std::string& bytes, const std::string& path) {
    if (bytes.empty()) {
        fail(path + " is empty, not an icon file: name the .ico file itself");
    }
    if (bytes.size() < directorySize) {
        fail(path + " is not an icon file: it ends inside its header; copy the whole file again");
    }
    if (u16At(bytes, 0) != 0 || u16At(bytes, 2) != 1) {
        fail(path + " is not an icon file: name an .ico file, or save the picture as one with an icon editor");
    }
    std::size_t count = u16At(bytes, 4);
    if (count == 0) {
        fail(path + " holds no images: save the icon again with its images");
    }
    if ((bytes.size() - directorySize) / fileEntrySize < count) {
        fail(path + " is truncated: its directory names " + std::to_string(count) +
             " images, but the file ends inside it; copy the whole file again");
    }
    // Entries that name the same bytes are one image, read once; what the
    // distinct ones claim is bounded before any is read or copied.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> places;
    std::uint64_t claimed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = directorySize + i * fileEntrySize;
        std::string which = "image " + std::to_string(i + 1) + " of " + path;
        std::uint32_t size = u32At(bytes, entry + 8);
        std::uint32_t offset = u32At(bytes, entry + 12);
        if (size == 0) {
            fail(which + " is empty: save the icon again with an icon editor");
        }
        if (offset > bytes.size() || size > bytes.size() - offset) {
            fail(which + " points outside the file: copy the whole file again, or save the icon again");
        }
        if (places.emplace(std::make_pair(offset, size), 0).second) {
            claimed += size;
        }
    }
    if (claimed > largestIconImages) {
        fail(path + " claims more than " + std::to_string(largestIconImages / (1024 * 1024)) +
             " MB of images, more than any icon needs");
    }
    IconFile icon;
    std::map<std::string, std::size_t> distinct;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> read;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = directorySize + i * fileEntrySize;
        std::pair<std::uint32_t, std::uint32_t> place{u32At(bytes, entry + 12), u32At(bytes, entry + 8)};
        auto known = read.find(place);
        if (known != read.end()) {
            icon.entries.push_back(known->second);
            continue;
        }
        std::string which = "image " + std::to_string(i + 1) + " of " + path;
        IconImage image = readIconImage(bytes.substr(place.first, place.second), which);
        int width = static_cast<unsigned char>(bytes[entry]);
        int height = static_cast<unsigned char>(bytes[entry + 1]);
        width = width == 0 ? largestSide : width;
        height = height == 0 ? largestSide : height;
        // A PNG says its own size, and the group takes it from there; a
        // bitmap of another size than its entry is a file written wrong.
        if (!image.png && (image.width != width || image.height != height)) {
            fail(which + " is " + std::to_string(image.width) + " by " +
                 std::to_string(image.height) + " pixels, but the directory says " +
                 std::to_string(width) + " by " + std::to_string(height) +
                 ": save the icon again with an icon editor, which writes its directory afresh");
        }
        takeDeclaredBitCount(image, u16At(bytes, entry + 6));
        auto stored = distinct.emplace(image.bytes, icon.images.size());
        if (stored.second) {
            icon.images.push_back(std::move(image));
        }
        read.emplace(place, stored.first->second);
        icon.entries.push_back(stored.first->second);
    }
    return icon;
}

std::string groupDirectory(const IconFile& icon, const std::vector<std::uint16_t>& ids) {
    std::string group;
    appendU16(group, 0);
    appendU16(group, 1);
    appendU16(group, static_cast<std::uint16_t>(icon.entries.size()));
    for (std::size_t index : icon.entries) {
        const IconImage& image = icon.images[index];
        // Each entry says what its image holds, so that the system picks the
        // best image for a size from the group alone.
        group += static_cast<char>(image.width == largestSide ? 0 : image.width);
        group += static_cast<char>(image.height == largestSide ? 0 : image.height);
        group += static_cast<char>(image.bitCount < 8 ? 1 << image.bitCount : 0);
        group += '\0';
        appendU16(group, 1);
        appendU16(group, static_cast<std::uint16_t>(image.bitCount));
        appendU32(group, static_cast<std::uint32_t>(image.bytes.size()));
        appendU16(group, ids[index]);
    }
    return group;
}

std::vector<GroupMember> groupMembers(const std::string& group, const std::string& which) {
    if (group.size() < directorySize) {
        fail(which + " does not read: it is shorter than its header");
    }
    std::size_t count = u16At(group, 4);
    if (u16At(group, 0) != 0 || u16At(group, 2) != 1 ||
        (group.size() - directorySize) / groupEntrySize < count) {
        fail(which + " does not read as an icon group");
    }
    std::vector<GroupMember> members;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = directorySize + i * groupEntrySize;
        members.push_back({u16At(group, entry + 12), u16At(group, entry + 6)});
    }
    return members;
}

void takeDeclaredBitCount(IconImage& image, std::uint16_t declared) {
    if (image.png && declared != 0) {
        image.bitCount = declared;
    }
}

std::string groupName(const ResourceName& name) {
    return name.text.empty() ? std::to_string(name.id) : fromUtf16(name.text);
}

std::vector<IconGroup> iconGroups(const std::vector<Resource>& resources, const std::string& which) {
    std::vector<IconGroup> groups;
    std::map<std::uint16_t, const Resource*> images;
    for (const Resource& resource : resources) {
        if (resource.type.is(iconImageType) && resource.name.text.empty()) {
            images.emplace(resource.name.id, &resource);
        }
    }
    std::map<std::uint16_t, IconImage> read;
    for (const Resource& resource : resources) {
        if (!resource.type.is(iconGroupType)) {
            continue;
        }
        IconGroup group{resource.name, {}};
        std::string groupWhich = "icon group " + groupName(resource.name) + " of " + which;
        for (const GroupMember& member : groupMembers(resource.bytes, groupWhich)) {
            // An image named again is not read again.
            auto known = read.find(member.id);
            if (known == read.end()) {
                std::string number = std::to_string(member.id);
                auto image = images.find(member.id);
                if (image == images.end()) {
                    fail(groupWhich + " names image " + number + ", which the file lacks");
                }
                IconImage checked;
                try {
                    checked = readIconImage(image->second->bytes, "image " + number + " of " + which);
                } catch (const Failure& failure) {
                    checked.damage = failure.what();
                }
                checked.bytes.clear();
                known = read.emplace(member.id, checked).first;
            }
            group.images.push_back(known->second);
            takeDeclaredBitCount(group.images.back(), member.bitCount);
        }
        groups.push_back(std::move(group));
    }
    return groups;
}
