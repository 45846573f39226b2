// The version record (RT_VERSION) in its documented layout: a tree of blocks,
// each made of its length, its value's length, its type (1: text), its key,
// its value and its children, every part on a 4-byte boundary. The root
// "VS_VERSION_INFO" holds the fixed numbers (VS_FIXEDFILEINFO) and the
// blocks "StringFileInfo" (string tables, one per language, of named texts)
// and "VarFileInfo" (the translations).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct VersionBlock {
    std::u16string key;
    std::uint16_t type = 0;
    std::string value;  // a text's UTF-16 code units with its NUL
    std::vector<VersionBlock> children;
};

// A.B.C.D, each part 0 to 65535.
using VersionNumbers = std::array<std::uint16_t, 4>;

// Fails with `which` when the bytes are no version record.
VersionBlock readVersionRecord(const std::string& bytes, const std::string& which);
// Fails when a block would outgrow the record's 16-bit lengths.
std::string writeVersionRecord(const VersionBlock& root);

VersionNumbers fileVersion(const VersionBlock& root);
VersionNumbers productVersion(const VersionBlock& root);
// "A.B.C.D"; false when `text` is not four numbers from 0 to 65535.
bool parseVersionNumbers(const std::string& text, VersionNumbers& numbers);
std::string versionText(const VersionNumbers& numbers);

// The file and the product version, as numbers and as the texts
// "FileVersion" and "ProductVersion".
void setVersion(VersionBlock& root, const VersionNumbers& numbers);
// Sets the text `key` in every string table, adding it where it is missing
// (and a US English table where the record has none).
void setString(VersionBlock& root, const std::u16string& key, const std::u16string& value);
// The texts of the first string table, in the record's order.
std::vector<std::pair<std::u16string, std::u16string>> versionStrings(const VersionBlock& root);
