#include "icons.h"

#include "failure.h"
#include "wholeFile.h"

#include <cstring>

namespace {

// The .ico file's directory, and the group resource's directory, which has
// the resource number in place of the file offset.
#pragma pack(push, 2)
struct IconDirectory {
    WORD reserved;
    WORD type;  // 1: icon (2 would be a cursor)
    WORD count;
};
struct FileEntry {
    BYTE width;  // 0 means 256
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    DWORD offset;
};
struct GroupEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// The directories can name at most 256 pixels a side.
constexpr int largestSide = 256;

template <typename T>
T readAt(const std::string& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

DWORD bigEndian(const std::string& bytes, std::size_t offset) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return static_cast<DWORD>(at[0]) << 24 | static_cast<DWORD>(at[1]) << 16 |
           static_cast<DWORD>(at[2]) << 8 | at[3];
}

DWORD crc32(const char* data, std::size_t size) {
    DWORD crc = 0xFFFFFFFFu;
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

// A PNG reads when its header is valid and every chunk up to IEND is whole
// and carries its checksum, so a damaged file is found before any program
// tries to show it.
IconImage readPng(const std::string& bytes, const std::wstring& which) {
    IconImage image;
    image.png = true;
    std::size_t at = 8;
    bool header = false;
    bool data = false;
    for (;;) {
        if (bytes.size() - at < 12) {
            fail(which + L" is a PNG that ends before its last chunk");
        }
        DWORD length = bigEndian(bytes, at);
        if (length > bytes.size() - at - 12) {
            fail(which + L" is a PNG with a chunk that runs past its end");
        }
        std::string type = bytes.substr(at + 4, 4);
        if (crc32(bytes.data() + at + 4, 4 + length) != bigEndian(bytes, at + 8 + length)) {
            fail(which + L" is a damaged PNG: a chunk's checksum does not match");
        }
        if (!header) {
            if (type != "IHDR" || length != 13) {
                fail(which + L" is a PNG without its header chunk");
            }
            image.width = static_cast<int>(bigEndian(bytes, at + 8));
            image.height = static_cast<int>(bigEndian(bytes, at + 12));
            image.bitCount = pngBitCount(static_cast<unsigned char>(bytes[at + 17]),
                                         static_cast<unsigned char>(bytes[at + 16]));
            if (image.bitCount == 0) {
                fail(which + L" is a PNG of a colour type or depth that does not exist");
            }
            header = true;
        }
        data = data || type == "IDAT";
        at += 12 + length;
        if (type == "IEND") {
            break;
        }
    }
    if (!data) {
        fail(which + L" is a PNG without image data");
    }
    return image;
}

IconImage readDib(const std::string& bytes, const std::wstring& which) {
    if (bytes.size() < sizeof(BITMAPINFOHEADER)) {
        fail(which + L" is neither a PNG nor a whole bitmap header");
    }
    BITMAPINFOHEADER header = readAt<BITMAPINFOHEADER>(bytes, 0);
    if (header.biSize < sizeof header || header.biSize > bytes.size()) {
        fail(which + L" is neither a PNG nor a bitmap");
    }
    // The height counts the colour bitmap and the AND mask below it.
    if (header.biWidth < 1 || header.biWidth > largestSide || header.biHeight < 2 ||
        header.biHeight > 2 * largestSide || header.biHeight % 2 != 0 || header.biPlanes != 1) {
        fail(which + L" is a bitmap of a size no icon has");
    }
    const WORD depth = header.biBitCount;
    if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        fail(which + L" is a bitmap of " + std::to_wstring(depth) + L" bits per pixel");
    }
    if (header.biCompression != BI_RGB) {
        fail(which + L" is a compressed bitmap, which icons cannot hold");
    }
    std::size_t colours = header.biClrUsed;
    if (depth <= 8 && (colours == 0 || colours > (1u << depth))) {
        colours = 1u << depth;
    }
    if (colours > 256) {
        fail(which + L" is a bitmap with a colour table of " + std::to_wstring(colours) +
             L" entries; no bitmap has more than 256");
    }
    std::size_t width = static_cast<std::size_t>(header.biWidth);
    std::size_t height = static_cast<std::size_t>(header.biHeight) / 2;
    std::size_t colourRow = (width * depth + 31) / 32 * 4;
    std::size_t maskRow = (width + 31) / 32 * 4;
    std::size_t needed = header.biSize + colours * sizeof(RGBQUAD) + (colourRow + maskRow) * height;
    if (bytes.size() < needed) {
        fail(which + L" is a bitmap cut short: it needs " + std::to_wstring(needed) +
             L" bytes and has " + std::to_wstring(bytes.size()));
    }
    IconImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.bitCount = depth;
    return image;
}

// The system makes an icon of the image as a program would show it.
class IconOwner {
public:
    explicit IconOwner(HICON icon) : icon_(icon) {}
    IconOwner(const IconOwner&) = delete;
    IconOwner& operator=(const IconOwner&) = delete;
    ~IconOwner() {
        if (icon_ != nullptr) {
            DestroyIcon(icon_);
        }
    }
    explicit operator bool() const { return icon_ != nullptr; }

private:
    HICON icon_;
};

}  // namespace

IconImage readIconImage(const std::string& bytes, const std::wstring& which) {
    IconImage image = bytes.compare(0, 8, pngSignature, 8) == 0 ? readPng(bytes, which)
                                                                 : readDib(bytes, which);
    if (image.width < 1 || image.width > largestSide || image.height < 1 ||
        image.height > largestSide) {
        fail(which + L" is " + std::to_wstring(image.width) + L" by " +
             std::to_wstring(image.height) + L" pixels; an icon image has 1 to 256 a side");
    }
    image.bytes = bytes;
    return image;
}

std::vector<IconImage> readIconFile(const std::wstring& path) {
    std::string bytes = readWholeFile(path);
    if (bytes.empty()) {
        fail(path + L" is empty, not an icon file");
    }
    if (bytes.size() < sizeof(IconDirectory)) {
        fail(path + L" is not an icon file: it ends inside its header");
    }
    IconDirectory directory = readAt<IconDirectory>(bytes, 0);
    if (directory.reserved != 0 || directory.type != 1) {
        fail(path + L" is not an icon file");
    }
    if (directory.count == 0) {
        fail(path + L" holds no images");
    }
    if (bytes.size() < sizeof directory + directory.count * sizeof(FileEntry)) {
        fail(path + L" is truncated: its directory names " + std::to_wstring(directory.count) +
             L" images, but the file ends inside it");
    }
    std::vector<IconImage> images;
    for (WORD i = 0; i < directory.count; ++i) {
        FileEntry entry = readAt<FileEntry>(bytes, sizeof directory + i * sizeof(FileEntry));
        std::wstring which = L"image " + std::to_wstring(i + 1) + L" of " + path;
        if (entry.bytes == 0) {
            fail(which + L" is empty");
        }
        if (entry.offset > bytes.size() || entry.bytes > bytes.size() - entry.offset) {
            fail(which + L" points outside the file");
        }
        IconImage image = readIconImage(bytes.substr(entry.offset, entry.bytes), which);
        takeDeclaredBitCount(image, entry.bitCount);
        IconOwner icon{CreateIconFromResourceEx(reinterpret_cast<BYTE*>(&image.bytes[0]),
                                                static_cast<DWORD>(image.bytes.size()), TRUE,
                                                0x00030000, image.width, image.height,
                                                LR_DEFAULTCOLOR)};
        if (!icon) {
            fail(which + L" does not read: the system makes no icon of it");
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::string groupDirectory(const std::vector<IconImage>& images, const std::vector<WORD>& ids) {
    IconDirectory directory{0, 1, static_cast<WORD>(images.size())};
    std::string group(reinterpret_cast<const char*>(&directory), sizeof directory);
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        // Each entry says what its image holds, so that the system picks the
        // best image for a size from the group alone.
        GroupEntry entry{};
        entry.width = static_cast<BYTE>(image.width == largestSide ? 0 : image.width);
        entry.height = static_cast<BYTE>(image.height == largestSide ? 0 : image.height);
        entry.colourCount = static_cast<BYTE>(image.bitCount < 8 ? 1 << image.bitCount : 0);
        entry.planes = 1;
        entry.bitCount = static_cast<WORD>(image.bitCount);
        entry.bytes = static_cast<DWORD>(image.bytes.size());
        entry.id = ids[i];
        group.append(reinterpret_cast<const char*>(&entry), sizeof entry);
    }
    return group;
}

std::vector<GroupMember> groupMembers(const std::string& group, const std::wstring& which) {
    if (group.size() < sizeof(IconDirectory)) {
        fail(which + L" does not read: it is shorter than its header");
    }
    IconDirectory directory = readAt<IconDirectory>(group, 0);
    if (directory.reserved != 0 || directory.type != 1 ||
        group.size() < sizeof directory + directory.count * sizeof(GroupEntry)) {
        fail(which + L" does not read as an icon group");
    }
    std::vector<GroupMember> members;
    for (WORD i = 0; i < directory.count; ++i) {
        GroupEntry entry = readAt<GroupEntry>(group, sizeof directory + i * sizeof(GroupEntry));
        members.push_back({entry.id, entry.bitCount});
    }
    return members;
}

void takeDeclaredBitCount(IconImage& image, WORD declared) {
    if (image.png && declared != 0) {
        image.bitCount = declared;
    }
}
