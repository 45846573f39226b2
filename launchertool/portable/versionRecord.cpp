#include "versionRecord.h"

#include "failure.h"
#include "littleEndian.h"

namespace {

constexpr std::size_t headerBytes = 6;
// VS_FIXEDFILEINFO: its signature, then the file and the product version.
constexpr std::size_t fixedInfoSize = 52;
constexpr std::uint32_t fixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t fileVersionAt = 8;
constexpr std::size_t productVersionAt = 16;
// Deeper than root, StringFileInfo, table, text: no record is.
constexpr int deepestBlock = 4;

// Every part of a block starts on a 4-byte boundary.
std::size_t aligned(std::size_t offset) {
    return static_cast<std::size_t>(alignedUp(offset, 4));
}

struct BadRecord {};

// The block at `at`, which must end by `end`; `next` gets where it ends.
VersionBlock readBlock(const std::string& bytes, std::size_t at, std::size_t end, int depth,
                       std::size_t& next) {
    if (depth > deepestBlock || end - at < headerBytes) {
        throw BadRecord{};
    }
    std::uint16_t length = u16At(bytes, at);
    std::uint16_t valueLength = u16At(bytes, at + 2);
    VersionBlock block;
    block.type = u16At(bytes, at + 4);
    if (length < headerBytes || length > end - at) {
        throw BadRecord{};
    }
    std::size_t blockEnd = at + length;
    std::size_t position = at + headerBytes;
    for (;; position += 2) {
        if (blockEnd - position < 2) {
            throw BadRecord{};
        }
        char16_t unit = static_cast<char16_t>(u16At(bytes, position));
        if (unit == u'\0') {
            break;
        }
        block.key += unit;
    }
    position = aligned(position + 2);
    if (block.type == 1 && valueLength > 0) {
        // A text has no children: its value runs to the block's end. Producers
        // disagree on whether its length counts code units or bytes.
        if (position < blockEnd) {
            block.value = bytes.substr(position, (blockEnd - position) & ~static_cast<std::size_t>(1));
        }
        next = blockEnd;
        return block;
    }
    std::size_t valueBytes = block.type == 1 ? 2u * valueLength : valueLength;
    if (position > blockEnd || valueBytes > blockEnd - position) {
        throw BadRecord{};
    }
    block.value = bytes.substr(position, valueBytes);
    position = aligned(position + valueBytes);
    while (position + headerBytes <= blockEnd) {
        std::size_t childEnd = 0;
        block.children.push_back(readBlock(bytes, position, blockEnd, depth + 1, childEnd));
        position = aligned(childEnd);
    }
    next = blockEnd;
    return block;
}

void padTo4(std::string& out) {
    out.resize(aligned(out.size()), '\0');
}

void writeBlock(std::string& out, const VersionBlock& block) {
    std::size_t start = out.size();
    out.append(headerBytes, '\0');
    for (char16_t unit : block.key) {
        appendU16(out, unit);
    }
    appendU16(out, 0);
    padTo4(out);
    out += block.value;
    for (const VersionBlock& child : block.children) {
        padTo4(out);
        writeBlock(out, child);
    }
    std::size_t length = out.size() - start;
    if (length > 0xFFFF) {
        fail("the version record would be larger than its 16-bit lengths allow (65535 bytes): "
             "shorten its texts");
    }
    putU16(out, start, static_cast<std::uint16_t>(length));
    putU16(out, start + 2,
           static_cast<std::uint16_t>(block.type == 1 ? block.value.size() / 2 : block.value.size()));
    putU16(out, start + 4, block.type);
}

std::string textValue(const std::u16string& text) {
    std::string value;
    for (char16_t unit : text) {
        appendU16(value, unit);
    }
    appendU16(value, 0);
    return value;
}

std::u16string textOf(const VersionBlock& block) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < block.value.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(u16At(block.value, i));
        if (unit == u'\0') {
            break;
        }
        text += unit;
    }
    return text;
}

// The numbers at `at` in the fixed part: the high then the low 32 bits.
VersionNumbers numbersAt(const VersionBlock& root, std::size_t at) {
    return {u16At(root.value, at + 2), u16At(root.value, at), u16At(root.value, at + 6),
            u16At(root.value, at + 4)};
}

void putNumbers(VersionBlock& root, std::size_t at, const VersionNumbers& numbers) {
    putU16(root.value, at, numbers[1]);
    putU16(root.value, at + 2, numbers[0]);
    putU16(root.value, at + 4, numbers[3]);
    putU16(root.value, at + 6, numbers[2]);
}

VersionBlock textBlock(const std::u16string& key, const std::u16string& text) {
    return VersionBlock{key, 1, textValue(text), {}};
}

VersionBlock* childNamed(VersionBlock& parent, const std::u16string& key) {
    for (VersionBlock& child : parent.children) {
        if (child.key == key) {
            return &child;
        }
    }
    return nullptr;
}

}  // namespace

VersionBlock readVersionRecord(const std::string& bytes, const std::string& which) {
    VersionBlock root;
    try {
        std::size_t end = 0;
        root = readBlock(bytes, 0, bytes.size(), 1, end);
    } catch (const BadRecord&) {
        fail(which + " does not read: a block runs past its end");
    }
    if (root.key != u"VS_VERSION_INFO" || root.value.size() < fixedInfoSize ||
        u32At(root.value, 0) != fixedInfoSignature) {
        fail(which + " does not read: it lacks the fixed version numbers");
    }
    return root;
}

std::string writeVersionRecord(const VersionBlock& root) {
    std::string out;
    writeBlock(out, root);
    return out;
}

VersionNumbers fileVersion(const VersionBlock& root) {
    return numbersAt(root, fileVersionAt);
}

VersionNumbers productVersion(const VersionBlock& root) {
    return numbersAt(root, productVersionAt);
}

bool parseVersionNumbers(const std::string& text, VersionNumbers& numbers) {
    std::size_t part = 0;
    std::size_t digits = 0;
    unsigned long value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            // Only the value counts: leading zeros make no part too long.
            value = value * 10 + static_cast<unsigned long>(c - '0');
            ++digits;
            if (value > 0xFFFF) {
                return false;
            }
        } else if (c == '.' && digits > 0 && part < numbers.size()) {
            numbers[part++] = static_cast<std::uint16_t>(value);
            digits = 0;
            value = 0;
        } else {
            return false;
        }
    }
    return part == numbers.size();
}

std::string versionText(const VersionNumbers& numbers) {
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
}

void setVersion(VersionBlock& root, const VersionNumbers& numbers) {
    putNumbers(root, fileVersionAt, numbers);
    putNumbers(root, productVersionAt, numbers);
    std::string text = versionText(numbers);
    std::u16string text16(text.begin(), text.end());
    setString(root, u"FileVersion", text16);
    setString(root, u"ProductVersion", text16);
}

void setString(VersionBlock& root, const std::u16string& key, const std::u16string& value) {
    VersionBlock* strings = childNamed(root, u"StringFileInfo");
    if (strings == nullptr || strings->children.empty()) {
        // US English in Unicode, the language and code page the translation names.
        if (strings == nullptr) {
            root.children.insert(root.children.begin(), VersionBlock{u"StringFileInfo", 1, {}, {}});
            strings = &root.children.front();
        }
        strings->children.push_back(VersionBlock{u"040904b0", 1, {}, {}});
        // Adding a block to the root may move its children: the string
        // tables are found again after it.
        if (childNamed(root, u"VarFileInfo") == nullptr) {
            std::string translation;
            appendU16(translation, 0x0409);
            appendU16(translation, 1200);
            root.children.push_back(VersionBlock{
                u"VarFileInfo", 1, {}, {VersionBlock{u"Translation", 0, translation, {}}}});
        }
        strings = childNamed(root, u"StringFileInfo");
    }
    for (VersionBlock& table : strings->children) {
        VersionBlock* text = childNamed(table, key);
        if (text != nullptr) {
            text->type = 1;
            text->value = textValue(value);
        } else {
            table.children.push_back(textBlock(key, value));
        }
    }
}

std::vector<std::pair<std::u16string, std::u16string>> versionStrings(const VersionBlock& root) {
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    for (const VersionBlock& block : root.children) {
        if (block.key == u"StringFileInfo" && !block.children.empty()) {
            for (const VersionBlock& text : block.children.front().children) {
                strings.emplace_back(text.key, textOf(text));
            }
            break;
        }
    }
    return strings;
}
