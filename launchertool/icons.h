// What an icon is made of: an .ico file's images, each a DIB (header, colour
// bitmap, AND mask) or a PNG file, and the group directory resource that
// names them by resource number.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct IconImage {
    std::string bytes;  // as an .ico file and an RT_ICON resource hold it
    int width = 0;
    int height = 0;
    int bitCount = 0;
    bool png = false;
};

// Reads the image's own header and checks that the whole image is there.
// Fails with `which` ("image 2 of Acme.ico") when it does not read.
IconImage readIconImage(const std::string& bytes, const std::wstring& which);

// Every image of an .ico file, each checked as above and by the system's own
// icon call. Fails on a file that is not an icon file, is truncated, holds no
// image or points outside itself.
std::vector<IconImage> readIconFile(const std::wstring& path);

// The RT_GROUP_ICON resource that names `images` by the numbers `ids`.
std::string groupDirectory(const std::vector<IconImage>& images, const std::vector<WORD>& ids);

// What a group resource says of one image: its RT_ICON number and its bits
// per pixel.
struct GroupMember {
    WORD id = 0;
    WORD bitCount = 0;
};
// Fails with `which` when the group does not read.
std::vector<GroupMember> groupMembers(const std::string& group, const std::wstring& which);

// A PNG's own depth is only how it is stored (the system shows every PNG
// image in 32 bits); the directory's bit count, where it gives one, is what
// the icon's author declared, as for any image.
void takeDeclaredBitCount(IconImage& image, WORD declared);
