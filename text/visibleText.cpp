#include "visibleText.h"

std::string escapedControls(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    auto byteAt = [&](std::size_t at) {
        return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
    };
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else if (c == 0xC2 && byteAt(at + 1) >= 0x80 && byteAt(at + 1) <= 0x9F) {
            // U+0080 to U+009F
            out += "\\u00";
            out += hex[byteAt(at + 1) >> 4];
            out += hex[byteAt(at + 1) & 0xF];
            ++at;
        } else if (c == 0xE2 && byteAt(at + 1) == 0x80 &&
                   (byteAt(at + 2) == 0xA8 || byteAt(at + 2) == 0xA9)) {
            out += byteAt(at + 2) == 0xA8 ? "\\u2028" : "\\u2029";
            at += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
