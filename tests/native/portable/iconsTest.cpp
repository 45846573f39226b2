// Icon files as brand stores them: what Windows shows is taken and stored
// so that it draws as the source meant; what it cannot show is refused
// with a sentence that says how to mend the file.
#include "failure.h"
#include "icons.h"
#include "littleEndian.h"
#include "programBuilder.h"

#include <gtest/gtest.h>

namespace {

// What the group that brand writes says of the file's first image.
struct GroupEntry {
    int width, height;
    std::uint16_t planes, bitCount;
};

// The AND mask that a 32-bit bitmap of dibImage gets from its alpha: the
// first row (bottom up) transparent, the rest opaque.
std::string maskOf(int width, int height) {
    std::size_t row = (static_cast<std::size_t>(width) + 31) / 32 * 4;
    std::string mask(row * static_cast<std::size_t>(height), '\0');
    for (int column = 0; column < width; ++column) {
        mask[static_cast<std::size_t>(column) / 8] |= static_cast<char>(0x80 >> (column % 8));
    }
    return mask;
}

struct IconCase {
    const char* what;
    IcoEntry entry;
    std::string stored;  // the image's stored bytes; empty for a refusal
    GroupEntry group;
    const char* refusal;
};

}  // namespace

TEST(Icons, WhatWindowsShowsIsStoredAsMeantAndTheRestRefusedWithAMend) {
    const IconCase cases[] = {
        {"a 32-bit bitmap with its mask", {32, 32, 1, 32, dibImage(32, 32, 32, true)},
         dibImage(32, 32, 32, true), {32, 32, 1, 32}, ""},
        {"a 32-bit bitmap without a mask", {20, 20, 1, 32, dibImage(20, 20, 32, false)},
         dibImage(20, 20, 32, false) + maskOf(20, 20), {20, 20, 1, 32}, ""},
        {"an entry with planes and bit count 0", {16, 16, 0, 0, dibImage(16, 16, 8, true)},
         dibImage(16, 16, 8, true), {16, 16, 1, 8}, ""},
        {"a PNG entry with bit count 0", {0, 0, 0, 0, pngImage(256, 256)}, pngImage(256, 256),
         {0, 0, 1, 32}, ""},
        {"a PNG larger than its entry", {32, 32, 1, 32, pngImage(48, 40)}, pngImage(48, 40),
         {48, 40, 1, 32}, ""},
        {"a bitmap larger than its entry", {16, 16, 1, 32, dibImage(32, 32, 32, true)}, "", {},
         "is 32 by 32 pixels, but the directory says 16 by 16: save the icon again"},
        {"a 24-bit bitmap without a mask", {16, 16, 1, 24, dibImage(16, 16, 24, false)}, "", {},
         "is a bitmap cut short: it needs 872 bytes and has 808; save the icon again whole"},
        {"a PNG of 300 pixels", {0, 0, 1, 32, pngImage(300, 300)}, "", {},
         "larger than 256 pixels or empty; an icon image has 1 to 256 a side: scale it to at most 256"},
        {"a compressed bitmap",
         {16, 16, 1, 32, [] { std::string dib = dibImage(16, 16, 32, true); putU32(dib, 16, 1); return dib; }()},
         "", {}, "compressed bitmap, which icons cannot hold: save it again uncompressed or as a PNG"},
    };
    for (const IconCase& row : cases) {
        SCOPED_TRACE(row.what);
        try {
            IconFile icon = readIconFile(icoFile({row.entry}), "Acme.ico");
            ASSERT_EQ(*row.refusal, '\0') << "taken";
            ASSERT_EQ(icon.images.size(), 1u);
            EXPECT_EQ(icon.images[0].bytes, row.stored);
            std::string group = groupDirectory(icon, {1});
            ASSERT_EQ(group.size(), 6u + 14u);
            EXPECT_EQ(static_cast<unsigned char>(group[6]), row.group.width);
            EXPECT_EQ(static_cast<unsigned char>(group[7]), row.group.height);
            EXPECT_EQ(u16At(group, 10), row.group.planes);
            EXPECT_EQ(u16At(group, 12), row.group.bitCount);
            EXPECT_EQ(u32At(group, 14), row.stored.size());
        } catch (const Failure& failure) {
            EXPECT_NE(*row.refusal, '\0') << failure.what();
            EXPECT_NE(std::string(failure.what()).find(row.refusal), std::string::npos) << failure.what();
        }
    }
}
