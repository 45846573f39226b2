#include "console.h"

#include <cstdio>

namespace {

void print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

void printOut(const std::string& text) {
    print(stdout, text);
}

void printErr(const std::string& text) {
    print(stderr, text);
}
