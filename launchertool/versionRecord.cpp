#include "versionRecord.h"

#include "failure.h"

#include <cstring>

namespace {

constexpr std::size_t headerBytes = 3 * sizeof(WORD);
// Deeper than root, StringFileInfo, table, text: no record is.
constexpr int deepestBlock = 4;

std::size_t aligned(std::size_t offset) {
    return (offset + 3) & ~static_cast<std::size_t>(3);
}

WORD wordAt(const std::string& bytes, std::size_t offset) {
    WORD value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

struct BadRecord {};

// The block at `at`, which must end by `end`; `next` gets where it ends.
VersionBlock readBlock(const std::string& bytes, std::size_t at, std::size_t end, int depth,
                       std::size_t& next) {
    if (depth > deepestBlock || end - at < headerBytes) {
        throw BadRecord{};
    }
    WORD length = wordAt(bytes, at);
    WORD valueLength = wordAt(bytes, at + 2);
    VersionBlock block;
    block.type = wordAt(bytes, at + 4);
    if (length < headerBytes || length > end - at) {
        throw BadRecord{};
    }
    std::size_t blockEnd = at + length;
    std::size_t position = at + headerBytes;
    for (;; position += 2) {
        if (blockEnd - position < 2) {
            throw BadRecord{};
        }
        wchar_t unit = static_cast<wchar_t>(wordAt(bytes, position));
        if (unit == L'\0') {
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
    out.append(reinterpret_cast<const char*>(block.key.c_str()), (block.key.size() + 1) * 2);
    padTo4(out);
    out += block.value;
    for (const VersionBlock& child : block.children) {
        padTo4(out);
        writeBlock(out, child);
    }
    std::size_t length = out.size() - start;
    if (length > 0xFFFF) {
        fail(L"the version record would be larger than 64 KB: shorten its texts");
    }
    WORD header[3] = {static_cast<WORD>(length),
                      static_cast<WORD>(block.type == 1 ? block.value.size() / 2 : block.value.size()),
                      block.type};
    std::memcpy(&out[start], header, sizeof header);
}

std::string textValue(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
}

std::wstring textOf(const VersionBlock& block) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < block.value.size(); i += 2) {
        wchar_t unit = static_cast<wchar_t>(wordAt(block.value, i));
        if (unit == L'\0') {
            break;
        }
        text += unit;
    }
    return text;
}

VS_FIXEDFILEINFO fixedOf(const VersionBlock& root) {
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    return fixed;
}

VersionNumbers numbersOf(DWORD high, DWORD low) {
    return {HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low)};
}

VersionBlock textBlock(const std::wstring& key, const std::wstring& text) {
    return VersionBlock{key, 1, textValue(text), {}};
}

VersionBlock* childNamed(VersionBlock& parent, const std::wstring& key) {
    for (VersionBlock& child : parent.children) {
        if (child.key == key) {
            return &child;
        }
    }
    return nullptr;
}

}  // namespace

VersionBlock readVersionRecord(const std::string& bytes, const std::wstring& which) {
    VersionBlock root;
    try {
        std::size_t end = 0;
        root = readBlock(bytes, 0, bytes.size(), 1, end);
    } catch (const BadRecord&) {
        fail(which + L" does not read: a block runs past its end");
    }
    if (root.key != L"VS_VERSION_INFO" || root.value.size() < sizeof(VS_FIXEDFILEINFO) ||
        fixedOf(root).dwSignature != 0xFEEF04BD) {
        fail(which + L" does not read: it lacks the fixed version numbers");
    }
    return root;
}

std::string writeVersionRecord(const VersionBlock& root) {
    std::string out;
    writeBlock(out, root);
    return out;
}

VersionNumbers fileVersion(const VersionBlock& root) {
    VS_FIXEDFILEINFO fixed = fixedOf(root);
    return numbersOf(fixed.dwFileVersionMS, fixed.dwFileVersionLS);
}

VersionNumbers productVersion(const VersionBlock& root) {
    VS_FIXEDFILEINFO fixed = fixedOf(root);
    return numbersOf(fixed.dwProductVersionMS, fixed.dwProductVersionLS);
}

bool parseVersionNumbers(const std::wstring& text, VersionNumbers& numbers) {
    std::size_t part = 0;
    std::size_t digits = 0;
    unsigned long value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        wchar_t c = i < text.size() ? text[i] : L'.';
        if (c >= L'0' && c <= L'9') {
            value = value * 10 + static_cast<unsigned long>(c - L'0');
            if (++digits > 5 || value > 0xFFFF) {
                return false;
            }
        } else if (c == L'.' && digits > 0 && part < numbers.size()) {
            numbers[part++] = static_cast<WORD>(value);
            digits = 0;
            value = 0;
        } else {
            return false;
        }
    }
    return part == numbers.size();
}

std::wstring versionText(const VersionNumbers& numbers) {
    return std::to_wstring(numbers[0]) + L"." + std::to_wstring(numbers[1]) + L"." +
           std::to_wstring(numbers[2]) + L"." + std::to_wstring(numbers[3]);
}

void setVersion(VersionBlock& root, const VersionNumbers& numbers) {
    VS_FIXEDFILEINFO fixed = fixedOf(root);
    fixed.dwFileVersionMS = fixed.dwProductVersionMS = MAKELONG(numbers[1], numbers[0]);
    fixed.dwFileVersionLS = fixed.dwProductVersionLS = MAKELONG(numbers[3], numbers[2]);
    std::memcpy(&root.value[0], &fixed, sizeof fixed);
    setString(root, L"FileVersion", versionText(numbers));
    setString(root, L"ProductVersion", versionText(numbers));
}

void setString(VersionBlock& root, const std::wstring& key, const std::wstring& value) {
    VersionBlock* strings = childNamed(root, L"StringFileInfo");
    if (strings == nullptr || strings->children.empty()) {
        // US English in Unicode, the language and code page the translation names.
        if (strings == nullptr) {
            root.children.insert(root.children.begin(), VersionBlock{L"StringFileInfo", 1, {}, {}});
            strings = &root.children.front();
        }
        strings->children.push_back(VersionBlock{L"040904b0", 1, {}, {}});
        if (childNamed(root, L"VarFileInfo") == nullptr) {
            const WORD translation[2] = {0x0409, 1200};
            root.children.push_back(VersionBlock{
                L"VarFileInfo",
                1,
                {},
                {VersionBlock{L"Translation", 0,
                              std::string(reinterpret_cast<const char*>(translation),
                                          sizeof translation),
                              {}}}});
        }
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

std::vector<std::pair<std::wstring, std::wstring>> versionStrings(const VersionBlock& root) {
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    for (const VersionBlock& block : root.children) {
        if (block.key == L"StringFileInfo" && !block.children.empty()) {
            for (const VersionBlock& text : block.children.front().children) {
                strings.emplace_back(text.key, textOf(text));
            }
            break;
        }
    }
    return strings;
}
