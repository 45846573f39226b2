#include "utf16.h"

namespace {

constexpr char32_t replacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code point that starts at `at`, which moves past it.
char32_t nextCodePoint(std::string_view text, std::size_t& at) {
    unsigned char lead = static_cast<unsigned char>(text[at++]);
    int following = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (lead < 0x80) {
        return lead;
    }
    if (following == 0 || lead > 0xF4) {
        return replacement;
    }
    char32_t c = lead & (0x3F >> following);
    for (int i = 0; i < following; ++i) {
        if (at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
            return replacement;
        }
        c = c << 6 | (static_cast<unsigned char>(text[at++]) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    static const char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (c < smallest[following] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return replacement;
    }
    return c;
}

}  // namespace

std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = nextCodePoint(text, at);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string fromUtf16(std::u16string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char32_t c = text[at];
        if (c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 &&
            text[at + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++at] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = replacement;
        }
        appendUtf8(out, c);
    }
    return out;
}
