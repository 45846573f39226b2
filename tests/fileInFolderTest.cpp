// Opening a file only when it really is the file of that name in its folder:
// what is opened, what is created, and what a link planted there gets.
#include "fileInFolder.h"
#include "testSupport.h"

#include <gtest/gtest.h>

namespace {

class FileInFolder : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = makeTempDir(L"infolder");
        elsewhere_ = makeTempDir(L"elsewhere");
    }

    // Opens folder_\name (or `path` below `folder`) for appending.
    FileOpening open(const std::wstring& name, DWORD& error, bool inheritable = false) {
        return openIn(folder_, name, error, inheritable);
    }
    FileOpening openIn(const std::wstring& folder, const std::wstring& name, DWORD& error,
                       bool inheritable = false) {
        std::wstring path = folder + L"\\" + name;
        file_.close();
        return openFileInFolder(file_, path.c_str(), folder.size(), FILE_APPEND_DATA, inheritable,
                                error);
    }
    void append(const std::string& text) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr));
    }

    std::wstring folder_;
    std::wstring elsewhere_;
    FileHandle file_;
};

}  // namespace

TEST_F(FileInFolder, OpensAnExistingFileWithoutEmptyingIt) {
    writeFile(folder_ + L"\\out.log", "kept\n");
    DWORD error = 1;
    ASSERT_EQ(open(L"out.log", error), FileOpening::Opened);
    EXPECT_EQ(error, 0u);
    append("added\n");
    file_.close();
    EXPECT_EQ(readFile(folder_ + L"\\out.log"), "kept\nadded\n");
}

TEST_F(FileInFolder, CreatesAMissingFileAsNew) {
    DWORD error = 1;
    ASSERT_EQ(open(L"new.log", error), FileOpening::Opened);
    file_.close();
    EXPECT_EQ(readFile(folder_ + L"\\new.log"), "");
}

TEST_F(FileInFolder, TakesTheNameInAnyLetterCase) {
    writeFile(folder_ + L"\\Out_Acme.LOG", "kept\n");
    DWORD error = 1;
    EXPECT_EQ(open(L"out_acme.log", error), FileOpening::Opened);
}

TEST_F(FileInFolder, RefusesEveryLinkPlantedAtTheName) {
    std::wstring target = elsewhere_ + L"\\precious.txt";
    std::wstring missing = elsewhere_ + L"\\made-by-the-launcher.txt";
    writeFile(target, "precious\n");
    makeSymbolicLink(target, folder_ + L"\\symbolic.log");
    makeSymbolicLink(missing, folder_ + L"\\dangling.log");
    ASSERT_TRUE(CreateHardLinkW((folder_ + L"\\hard.log").c_str(), target.c_str(), nullptr));
    makeSymbolicLink(elsewhere_, folder_ + L"\\linked");
    writeFile(elsewhere_ + L"\\through.log", "precious\n");

    for (const wchar_t* name :
         {L"symbolic.log", L"dangling.log", L"hard.log", L"linked\\through.log", L"linked\\new.log"}) {
        DWORD error = 1;
        EXPECT_EQ(open(name, error), FileOpening::Refused) << utf8(name);
        EXPECT_FALSE(file_) << utf8(name);
    }
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_EQ(readFile(elsewhere_ + L"\\through.log"), "precious\n");
    // Neither a dangling link nor a linked folder gets a new file.
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((elsewhere_ + L"\\new.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileInFolder, TakesTheFolderItselfAsItIsLinkOrNot) {
    std::wstring linkedFolder = folder_ + L"\\logs";
    makeSymbolicLink(elsewhere_, linkedFolder);
    DWORD error = 1;
    ASSERT_EQ(openIn(linkedFolder, L"out.log", error), FileOpening::Opened);
    file_.close();
    EXPECT_NE(GetFileAttributesW((elsewhere_ + L"\\out.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileInFolder, AMissingFolderFailsWithThePathError) {
    DWORD error = 0;
    EXPECT_EQ(open(L"missing\\out.log", error), FileOpening::Failed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW((folder_ + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileInFolder, TheHandleIsInheritableOnlyWhenAsked) {
    for (bool inheritable : {false, true}) {
        DWORD error = 1;
        ASSERT_EQ(open(L"out.log", error, inheritable), FileOpening::Opened);
        DWORD flags = 0;
        ASSERT_TRUE(GetHandleInformation(file_.get(), &flags));
        EXPECT_EQ((flags & HANDLE_FLAG_INHERIT) != 0, inheritable);
    }
}

TEST(FolderOfAPath, IsEverythingBeforeTheLastSeparatorWithDrivesAndRootsWhole) {
    struct Case {
        const wchar_t* path;
        std::size_t folderLength;
    };
    for (const Case& c : {Case{L"C:\\logs\\out.log", 7}, Case{L"C:/logs/out.log", 7},
                          Case{L"C:\\logs\\\\out.log", 8}, Case{L"C:\\out.log", 3},
                          Case{L"\\out.log", 1}, Case{L"logs\\out.log", 4}, Case{L"out.log", 0},
                          Case{L"\\\\server\\share\\out.log", 14}}) {
        EXPECT_EQ(folderLengthOf(c.path), c.folderLength) << utf8(c.path);
    }
}
