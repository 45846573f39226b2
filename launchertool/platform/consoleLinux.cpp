#include "console.h"

#include "utf16.h"

#include <cstdio>

namespace {

// Invalid UTF-8 becomes U+FFFD, as on the Windows build's way to the console.
void print(std::FILE* stream, const std::string& text) {
    std::string valid = fromUtf16(toUtf16(text));
    std::fwrite(valid.data(), 1, valid.size(), stream);
    std::fflush(stream);
}

}  // namespace

void printOut(const std::string& text) {
    print(stdout, text);
}

void printErr(const std::string& text) {
    print(stderr, text);
}
