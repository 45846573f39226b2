// What an icon is made of: an .ico file's images, each a DIB (header, colour
// bitmap, AND mask) or a PNG file, and the group directory resource that
// names them by resource number. Checked by their own headers, without the
// system's icon calls, so that both builds decide alike.
#pragma once

#include "resourceTree.h"

#include <cstdint>
#include <string>
#include <vector>

struct IconImage {
    std::string bytes;  // only what the image's own header accounts for
    int width = 0;
    int height = 0;
    int bitCount = 0;
    bool png = false;
    // Why the image does not read, where a reader reports it in its place
    // instead of refusing the whole file; empty for a sound image.
    std::string damage;
};

// Reads the image's own header and checks that the whole image is there;
// `bytes` may run on past it. Fails with `which` ("image 2 of Acme.ico") when
// it does not read.
IconImage readIconImage(const std::string& bytes, const std::string& which);

// An .ico file's images, each distinct image once, and for each entry of
// its directory the image it names.
struct IconFile {
    std::vector<IconImage> images;
    std::vector<std::size_t> entries;
};

// The .ico file `bytes` read from `path`, each image checked as above and
// against its directory entry's size. Fails on a file that is not an icon
// file, is truncated, holds no image, points outside itself, or whose
// entries claim more than `largestIconImages` bytes of distinct images.
IconFile readIconFile(const std::string& bytes, const std::string& path);
constexpr std::size_t largestIconImages = 16 * 1024 * 1024;

// The RT_GROUP_ICON resource whose entries name the file's images by the
// numbers `ids`, one for each distinct image.
std::string groupDirectory(const IconFile& icon, const std::vector<std::uint16_t>& ids);

// What a group resource says of one image: its RT_ICON number and its bits
// per pixel.
struct GroupMember {
    std::uint16_t id = 0;
    std::uint16_t bitCount = 0;
};
// Fails with `which` when the group does not read.
std::vector<GroupMember> groupMembers(const std::string& group, const std::string& which);

// A PNG's own depth is only how it is stored (the system shows every PNG
// image in 32 bits); the directory's bit count, where it gives one, is what
// the icon's author declared, as for any image.
void takeDeclaredBitCount(IconImage& image, std::uint16_t declared);

// Every group's images, read and checked; their bytes are left out. An
// image that does not read is kept in its place with its damage. Fails
// naming `which` when a group does not read or names an image the file lacks.
struct IconGroup {
    ResourceName name;
    std::vector<IconImage> images;
};
std::vector<IconGroup> iconGroups(const std::vector<Resource>& resources, const std::string& which);
std::string groupName(const ResourceName& name);
