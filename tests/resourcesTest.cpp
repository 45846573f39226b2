// The resources of the built launcher.exe, read back as the system reads them.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The program file loaded for its resources only; nothing of it runs.
class Resources : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(launcher_.get(), nullptr); }

    // The bytes of one resource; empty when it is missing.
    std::string resource(LPCWSTR type, WORD name) { return launcher_.bytes(type, name); }

    ProgramResources launcher_{LAUNCHER_EXE};
};

std::wstring versionValue(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) {
        return L"(missing)";
    }
    return static_cast<const wchar_t*>(value);
}

}  // namespace

TEST_F(Resources, IconGroup107IsTheFirstOfTwo) {
    std::set<WORD> groups = launcher_.names(RT_GROUP_ICON);
    ASSERT_FALSE(groups.empty());
    EXPECT_EQ(*groups.begin(), 107u);
    EXPECT_EQ(groups.count(108), 1u);
    EXPECT_EQ(groups.size(), 2u);
}

TEST_F(Resources, EachIconGroupHoldsSevenSquare32BitBitmapsWithMask) {
    const int sizes[] = {16, 24, 32, 48, 64, 96, 128};
    for (WORD group : {107, 108}) {
        std::string directory = resource(RT_GROUP_ICON, group);
        ASSERT_GE(directory.size(), sizeof(GroupHeader)) << "group " << group;
        GroupHeader header;
        std::memcpy(&header, directory.data(), sizeof header);
        EXPECT_EQ(header.type, 1) << "group " << group;
        ASSERT_EQ(header.count, 7) << "group " << group;
        ASSERT_EQ(directory.size(), sizeof header + 7 * sizeof(GroupEntry)) << "group " << group;

        for (int i = 0; i < 7; ++i) {
            GroupEntry entry;
            std::memcpy(&entry, directory.data() + sizeof header + i * sizeof entry, sizeof entry);
            SCOPED_TRACE("group " + std::to_string(group) + ", size " + std::to_string(sizes[i]));
            EXPECT_EQ(entry.width, sizes[i]);
            EXPECT_EQ(entry.height, sizes[i]);
            EXPECT_EQ(entry.bitCount, 32);

            std::string image = resource(RT_ICON, entry.id);
            ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
            EXPECT_NE(image.compare(1, 3, "PNG"), 0) << "stored as PNG";
            BITMAPINFOHEADER bitmap;
            std::memcpy(&bitmap, image.data(), sizeof bitmap);
            EXPECT_EQ(bitmap.biSize, sizeof bitmap);
            EXPECT_EQ(bitmap.biWidth, sizes[i]);
            // The height counts the colour bitmap and the AND mask.
            EXPECT_EQ(bitmap.biHeight, 2 * sizes[i]);
            EXPECT_EQ(bitmap.biBitCount, 32);
            EXPECT_EQ(bitmap.biCompression, static_cast<DWORD>(BI_RGB));
            std::size_t colour = static_cast<std::size_t>(sizes[i]) * sizes[i] * 4;
            std::size_t mask = static_cast<std::size_t>((sizes[i] + 31) / 32 * 4) * sizes[i];
            EXPECT_EQ(image.size(), sizeof bitmap + colour + mask);
            EXPECT_EQ(entry.bytes, image.size());
        }
    }
}

TEST_F(Resources, TheIconLoadsAtEverySize) {
    for (WORD group : {107, 108}) {
        for (int size : {16, 24, 32, 48, 64, 96, 128}) {
            SIZE shown = shownIconSize(launcher_.get(), group, size);
            EXPECT_EQ(shown.cx, size) << "group " << group;
            EXPECT_EQ(shown.cy, size) << "group " << group;
        }
    }
}

TEST(Version, RecordNamesTheProgramAndItsVersion) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(LAUNCHER_EXE, &ignored);
    ASSERT_NE(size, 0u) << "error " << GetLastError();
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(LAUNCHER_EXE, 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020002u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000000u);

    EXPECT_EQ(utf8(versionValue(info, L"FileVersion")), "2.2.0.0");
    EXPECT_EQ(utf8(versionValue(info, L"ProductVersion")), "2.2.0.0");
    EXPECT_EQ(utf8(versionValue(info, L"InternalName")), "launcher.exe");
    EXPECT_EQ(utf8(versionValue(info, L"OriginalFilename")), "launcher.exe");
    EXPECT_EQ(utf8(versionValue(info, L"ProductName")), "Kestrion");
}

TEST_F(Resources, ManifestAsksToRunAsInvokerWithoutUiAccessOrDpiAwareness) {
    std::string manifest = resource(MAKEINTRESOURCEW(24), 1);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos) << manifest;
}
