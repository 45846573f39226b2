// The version record (RT_VERSION) in its documented layout: a tree of blocks,
// each made of its length, its value's length, its type (1: text), its key,
// its value and its children, every part on a 4-byte boundary. The root
// "VS_VERSION_INFO" holds the fixed numbers (VS_FIXEDFILEINFO) and the
// blocks "StringFileInfo" (string tables, one per language, of named texts)
// and "VarFileInfo" (the translations).
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

struct VersionBlock {
    std::wstring key;
    WORD type = 0;
    std::string value;  // a text's UTF-16 code units with its NUL
    std::vector<VersionBlock> children;
};

// A.B.C.D, each part 0 to 65535.
using VersionNumbers = std::array<WORD, 4>;

// Fails with `which` when the bytes are no version record.
VersionBlock readVersionRecord(const std::string& bytes, const std::wstring& which);
std::string writeVersionRecord(const VersionBlock& root);

VersionNumbers fileVersion(const VersionBlock& root);
VersionNumbers productVersion(const VersionBlock& root);
// "A.B.C.D"; false when `text` is not four numbers from 0 to 65535.
bool parseVersionNumbers(const std::wstring& text, VersionNumbers& numbers);
std::wstring versionText(const VersionNumbers& numbers);

// The file and the product version, as numbers and as the texts
// "FileVersion" and "ProductVersion".
void setVersion(VersionBlock& root, const VersionNumbers& numbers);
// Sets the text `key` in every string table, adding it where it is missing
// (and a US English table where the record has none).
void setString(VersionBlock& root, const std::wstring& key, const std::wstring& value);
// The texts of the first string table, in the record's order.
std::vector<std::pair<std::wstring, std::wstring>> versionStrings(const VersionBlock& root);
