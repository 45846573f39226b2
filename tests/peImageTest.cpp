// The shipped launcher.exe as Windows will load it: a 32-bit GUI image with
// ASLR and DEP, large-address aware, that needs nothing beyond system DLLs.
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace {

class PeImage : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = readFile(LAUNCHER_EXE);
        ASSERT_GT(image_.size(), sizeof(IMAGE_DOS_HEADER));
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image_.data());
        ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
        ASSERT_LT(static_cast<std::size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32), image_.size());
        nt_ = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image_.data() + dos->e_lfanew);
        ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
    }

    // The file offset of a relative virtual address.
    std::size_t offsetOf(DWORD rva) const {
        auto section = IMAGE_FIRST_SECTION(nt_);
        for (int i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress + section->Misc.VirtualSize) {
                return rva - section->VirtualAddress + section->PointerToRawData;
            }
        }
        ADD_FAILURE() << "address " << rva << " lies in no section";
        return 0;
    }

    std::string image_;
    const IMAGE_NT_HEADERS32* nt_ = nullptr;
};

}  // namespace

TEST_F(PeImage, IsA32BitGuiProgramWithAslrAndDep) {
    EXPECT_EQ(nt_->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt_->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_EQ(nt_->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    // ASLR needs the relocations to stay in the file.
    EXPECT_FALSE(nt_->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
}

// A 64-bit Windows then gives the launcher 4 GiB of address space, not 2.
TEST_F(PeImage, IsLargeAddressAware) {
    EXPECT_TRUE(nt_->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
}

TEST_F(PeImage, ImportsOnlySystemDlls) {
    // user32, gdi32 and version are imported on first use only (see the next
    // test).
    const std::set<std::string> system{"kernel32.dll", "msvcrt.dll", "advapi32.dll"};
    const IMAGE_DATA_DIRECTORY& directory =
        nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(directory.VirtualAddress, 0u);
    auto entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        image_.data() + offsetOf(directory.VirtualAddress));
    int count = 0;
    for (; entry->Name != 0; ++entry, ++count) {
        std::string name = image_.data() + offsetOf(entry->Name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_EQ(system.count(name), 1u) << "imports from " << name;
    }
    EXPECT_GT(count, 0);
}

TEST_F(PeImage, LoadsUser32AndGdi32OnlyOnFirstUse) {
    // A launch without splash and without a failure message must not pay for
    // loading the window system: the libraries are named only in the delayed
    // imports' text.
    for (const char* name : {"user32.dll", "gdi32.dll", "version.dll"}) {
        EXPECT_NE(image_.find(name), std::string::npos) << name;
    }
}

TEST_F(PeImage, CodeAndDataStayWithinTheSizeBudget) {
    // The icon images (seven sizes of 32-bit bitmaps) are a fixed cost of
    // about 140 KB; the budget holds for everything else in the file.
    DWORD resources = 0;
    auto section = IMAGE_FIRST_SECTION(nt_);
    for (int i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::strncmp(reinterpret_cast<const char*>(section->Name), ".rsrc", 8) == 0) {
            resources = section->SizeOfRawData;
        }
    }
    EXPECT_GT(resources, 0u);
    EXPECT_LE(image_.size() - resources, 256u * 1024u)
        << image_.size() << " bytes, of which resources " << resources;
    // Stripped: no symbol table is left in the shipped file.
    EXPECT_EQ(nt_->FileHeader.PointerToSymbolTable, 0u);
}
