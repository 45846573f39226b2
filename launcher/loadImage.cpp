#include "loadImage.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "owners.h"

HICON splashIcon = nullptr;
int splashWidth = 0;
int splashHeight = 0;
KeptMessage splashImageProblem;

namespace {

// The version that CreateIconFromResourceEx expects of icon resource data.
constexpr DWORD ICON_RESOURCE_VERSION = 0x00030000;

// The icon's size is the size of its colour bitmap. A monochrome icon has
// none and leaves both sizes 0. Both bitmaps GetIconInfo hands out are ours
// to delete; the icon keeps its own. A size that cannot be found is logged:
// the window then takes its default size, which would pass for the image's.
void measureIcon(HICON icon) {
    ICONINFO info{};
    if (!kernel.GetIconInfo(icon, &info)) {
        logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", kernel.GetLastError(),
                     "GetIconInfo ");
        return;
    }
    GdiObject color(info.hbmColor);
    GdiObject mask(info.hbmMask);
    if (color) {
        BITMAP bitmap{};
        if (kernel.GetObjectW(color.get(), sizeof bitmap, &bitmap) == 0) {
            logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", kernel.GetLastError(),
                         "GetObject ");
            return;
        }
        splashWidth = bitmap.bmWidth;
        splashHeight = bitmap.bmHeight;
    }
}

}  // namespace

void initImage(const wchar_t* path) {
    splashImageProblem = KeptMessage{};
    if (path == nullptr) {
        return;
    }
    // FILE_READ_DATA and readers only: a file another program is still
    // writing is not taken half-written.
    FileHandle file{kernel.CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", kernel.GetLastError(),
                     " ");
        return;
    }
    // The whole image is held in memory at once; one of 4 GiB or more never fits.
    DWORD sizeAbove4GiB = 0;
    DWORD size = kernel.GetFileSize(file.get(), &sizeAbove4GiB);
    DWORD sizeError = size == INVALID_FILE_SIZE ? kernel.GetLastError() : NO_ERROR;
    if (sizeError != NO_ERROR) {
        logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", sizeError, "GetFileSize ");
        return;
    }
    if (sizeAbove4GiB != 0) {
        logMessageKept(splashImageProblem, SOURCE, __LINE__, "initImage",
                       "image too large for memory: 4 GiB or more\n");
        return;
    }
    HeapBuffer image(size);
    if (!image) {
        logMessageKept(splashImageProblem, SOURCE, __LINE__, "initImage",
                       "image too large for memory: %lu bytes\n",
                       static_cast<unsigned long>(size));
        return;
    }
    // A short read leaves the rest of the zero-filled buffer zero, which the
    // icon call then rejects or ignores.
    DWORD read = 0;
    if (!kernel.ReadFile(file.get(), image.get(), size, &read, nullptr)) {
        logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", kernel.GetLastError(),
                     "ReadFile ");
        return;
    }
    file.close();

    // Desired size 0 without LR_DEFAULTSIZE: the image keeps its own size.
    splashIcon = kernel.CreateIconFromResourceEx(static_cast<PBYTE>(image.get()), size, TRUE,
                                                 ICON_RESOURCE_VERSION, 0, 0, LR_DEFAULTCOLOR);
    if (splashIcon == nullptr) {
        logErrorKept(splashImageProblem, SOURCE, __LINE__, "initImage", kernel.GetLastError(),
                     "CreateIconFromResourceEx ");
        return;
    }
    measureIcon(splashIcon);
}
