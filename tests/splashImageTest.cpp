// The splash image: an icon image file becomes splashIcon with its size, and
// every failure is logged and leaves the splash without an image.
#include "diagnosticLog.h"
#include "loadImage.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// Image files opened and heap blocks taken while initImage runs, each
// removed again when it is given back.
std::set<HANDLE> openImageFiles;
std::set<LPVOID> heapBlocks;
bool failHeapAllocations = false;
// Only blocks of this size fail, when it is not 0.
SIZE_T failAllocationsOf = 0;

HANDLE WINAPI trackedCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
    HANDLE file = ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    if (access == FILE_READ_DATA && file != INVALID_HANDLE_VALUE) {
        openImageFiles.insert(file);
    }
    return file;
}

BOOL WINAPI trackedCloseHandle(HANDLE handle) {
    openImageFiles.erase(handle);
    return ::CloseHandle(handle);
}

LPVOID WINAPI trackedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (failHeapAllocations || (failAllocationsOf != 0 && bytes == failAllocationsOf)) {
        return nullptr;
    }
    LPVOID block = ::HeapAlloc(heap, flags, bytes);
    heapBlocks.insert(block);
    return block;
}

BOOL WINAPI trackedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    heapBlocks.erase(block);
    return ::HeapFree(heap, flags, block);
}

// One icon image as an icon resource holds it: a 32 by 32 DIB of one bit per
// pixel (black and white), its height counting the AND mask as well.
std::string monochromeIconImage() {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = 32;
    header.biHeight = 64;
    header.biPlanes = 1;
    header.biBitCount = 1;
    header.biCompression = BI_RGB;
    RGBQUAD palette[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    std::string image(reinterpret_cast<const char*>(&header), sizeof header);
    image.append(reinterpret_cast<const char*>(palette), sizeof palette);
    image.append(32 * 4, '\x0F');
    image.append(32 * 4, '\0');
    return image;
}

class SplashImage : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = freshCoreFor(L"SplashImage");
        folder_ = makeTempDir(L"splash");
    }
    void TearDown() override { resetLauncherState(); }

    std::wstring fileWith(const std::string& content) {
        std::wstring path = folder_ + L"\\image" + std::to_wstring(++files_) + L".ico";
        writeFile(path, content);
        return path;
    }

    // The bodies of initImage's entries; the log is closed to read them.
    std::vector<std::string> imageEntries() {
        closeLogFile();
        std::vector<std::string> bodies;
        if (GetFileAttributesW(log_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return bodies;
        }
        for (const std::string& line : linesOf(readFile(log_))) {
            EXPECT_EQ(entryOrigin(line), "loadImage:initImage") << line;
            bodies.push_back(entryBody(line));
        }
        return bodies;
    }

    void expectNoImage() {
        EXPECT_EQ(splashIcon, nullptr);
        EXPECT_EQ(splashWidth, 0);
        EXPECT_EQ(splashHeight, 0);
    }

    std::wstring log_;
    std::wstring folder_;
    int files_ = 0;
};

// "err:<code> <message>" followed by the system's text, whose wording is not
// compared.
::testing::AssertionResult isError(const std::string& body, DWORD code, const std::string& message) {
    std::string start = "err:" + std::to_string(code) + " " + message;
    if (body.rfind(start, 0) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\"" << body << "\" does not start with \"" << start << "\"";
}

}  // namespace

TEST_F(SplashImage, NullPathDoesNothing) {
    KernelOverride restore;
    kernel.CreateFileW = trackedCreateFile;
    initImage(nullptr);
    EXPECT_TRUE(openImageFiles.empty());
    expectNoImage();
    EXPECT_TRUE(imageEntries().empty());
}

TEST_F(SplashImage, MissingFileIsLoggedWithItsCode) {
    initImage((folder_ + L"\\absent.ico").c_str());
    initImage((folder_ + L"\\absent\\splash.ico").c_str());
    expectNoImage();
    std::vector<std::string> entries = imageEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(isError(entries[0], ERROR_FILE_NOT_FOUND, " "));
    EXPECT_TRUE(isError(entries[1], ERROR_PATH_NOT_FOUND, " "));
}

TEST_F(SplashImage, FileHeldOpenForWritingIsNotTaken) {
    std::wstring path = fileWith(monochromeIconImage());
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    initImage(path.c_str());
    CloseHandle(writer);
    expectNoImage();
    std::vector<std::string> entries = imageEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(isError(entries[0], ERROR_SHARING_VIOLATION, " "));
}

TEST_F(SplashImage, EmptyFileFailsAtTheIcon) {
    initImage(fileWith("").c_str());
    expectNoImage();
    std::vector<std::string> entries = imageEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].rfind("err:", 0), 0u) << entries[0];
    EXPECT_NE(entries[0].find(" CreateIconFromResourceEx "), std::string::npos) << entries[0];
}

TEST_F(SplashImage, FailedReadIsLogged) {
    KernelOverride restore;
    kernel.ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    };
    initImage(fileWith(monochromeIconImage()).c_str());
    expectNoImage();
    std::vector<std::string> entries = imageEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(isError(entries[0], ERROR_LOCK_VIOLATION, "ReadFile "));
}

TEST_F(SplashImage, ImageThatCannotBeHeldInMemoryIsLogged) {
    KernelOverride restore;
    std::string image = monochromeIconImage();
    failAllocationsOf = image.size();
    kernel.HeapAlloc = trackedHeapAlloc;
    kernel.HeapFree = trackedHeapFree;
    DebuggerCapture debugger;
    initImage(fileWith(image).c_str());
    failAllocationsOf = 0;
    EXPECT_EQ(debugger.text(), "ERROR HeapAlloc\n");
    expectNoImage();
    EXPECT_EQ(imageEntries(), std::vector<std::string>{"image too large for memory: " +
                                                       std::to_string(image.size()) + " bytes"});
}

TEST_F(SplashImage, ImageOfFourGiBOrMoreIsLoggedUnread) {
    KernelOverride restore;
    kernel.GetFileSize = [](HANDLE, LPDWORD high) WINAPI -> DWORD {
        *high = 1;
        return 16;
    };
    kernel.ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
        ADD_FAILURE() << "an image beyond 4 GiB is read";
        return FALSE;
    };
    initImage(fileWith(monochromeIconImage()).c_str());
    expectNoImage();
    EXPECT_EQ(imageEntries(),
              std::vector<std::string>{"image too large for memory: 4 GiB or more"});
}

TEST_F(SplashImage, SizeTheSystemCannotReportIsLogged) {
    KernelOverride restore;
    kernel.GetIconInfo = [](HICON, PICONINFO) WINAPI -> BOOL {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    };
    initImage(SPLASH_PNG);
    EXPECT_EQ(splashWidth, 0);
    EXPECT_EQ(splashHeight, 0);
    std::vector<std::string> entries = imageEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(isError(entries[0], ERROR_INVALID_CURSOR_HANDLE, "GetIconInfo "));

    kernel.GetIconInfo = ::GetIconInfo;
    kernel.GetObjectW = [](HANDLE, int, LPVOID) WINAPI -> int {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    };
    resetLauncherState();
    std::wcscpy(programData, L"C:\\ProgramData");
    moduleName = L"SplashImage";
    DeleteFileW(log_.c_str());
    initImage(SPLASH_PNG);
    EXPECT_EQ(splashWidth, 0);
    entries = imageEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(isError(entries[0], ERROR_INVALID_HANDLE, "GetObject "));
}

TEST_F(SplashImage, PngKeepsItsOwnSizeAndPixels) {
    initImage(SPLASH_PNG);
    ASSERT_NE(splashIcon, nullptr);
    EXPECT_EQ(splashWidth, 300);
    EXPECT_EQ(splashHeight, 150);
    EXPECT_TRUE(imageEntries().empty());

    // Drawn into an off-screen bitmap: red on the left, blue on the right.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 300;
    info.bmiHeader.biHeight = -150;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    EXPECT_TRUE(DrawIconEx(dc, 0, 0, splashIcon, 0, 0, 0, nullptr, DI_NORMAL));
    GdiFlush();
    auto pixel = [&](int x, int y) { return static_cast<const DWORD*>(bits)[y * 300 + x] & 0xFFFFFF; };
    EXPECT_EQ(pixel(10, 10), 0xFF0000u);
    EXPECT_EQ(pixel(149, 75), 0xFF0000u);
    EXPECT_EQ(pixel(150, 75), 0x0000FFu);
    EXPECT_EQ(pixel(299, 149), 0x0000FFu);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

TEST_F(SplashImage, MonochromeIconHasNoSize) {
    initImage(fileWith(monochromeIconImage()).c_str());
    EXPECT_NE(splashIcon, nullptr);
    EXPECT_EQ(splashWidth, 0);
    EXPECT_EQ(splashHeight, 0);
    EXPECT_TRUE(imageEntries().empty());
}

TEST_F(SplashImage, FileClosedAndBufferFreedOnEveryPath) {
    std::wstring held = fileWith(monochromeIconImage());
    HANDLE writer = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    // The log's own file stays open for the run; open it before counting.
    logMessage(SOURCE, __LINE__, "test", "----\n");

    KernelOverride restore;
    kernel.CreateFileW = trackedCreateFile;
    kernel.CloseHandle = trackedCloseHandle;
    kernel.HeapAlloc = trackedHeapAlloc;
    kernel.HeapFree = trackedHeapFree;
    auto expectAllGivenBack = [](const char* path) {
        EXPECT_TRUE(openImageFiles.empty()) << path;
        EXPECT_TRUE(heapBlocks.empty()) << path;
        openImageFiles.clear();
        heapBlocks.clear();
    };

    initImage((folder_ + L"\\absent.ico").c_str());
    expectAllGivenBack("missing file");
    initImage(held.c_str());
    expectAllGivenBack("file held open");
    initImage(fileWith("").c_str());
    expectAllGivenBack("empty file");
    initImage(fileWith(monochromeIconImage()).c_str());
    expectAllGivenBack("monochrome icon");
    initImage(SPLASH_PNG);
    expectAllGivenBack("png");

    failHeapAllocations = true;
    initImage(fileWith(monochromeIconImage()).c_str());
    failHeapAllocations = false;
    expectAllGivenBack("failed allocation");

    kernel.ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    };
    initImage(fileWith(monochromeIconImage()).c_str());
    expectAllGivenBack("failed read");
    CloseHandle(writer);
}
