// The resources of a program file, read as the system reads them: the file
// loaded as data (nothing of it runs) and every resource copied out with its
// type, name and language.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The resource types the tool works with, as numbers (RT_ICON,
// RT_GROUP_ICON, RT_VERSION, RT_MANIFEST).
constexpr WORD iconImageType = 3;
constexpr WORD iconGroupType = 14;
constexpr WORD versionType = 16;
constexpr WORD manifestType = 24;

// A resource type or name: a number, or a text where the file uses one.
struct ResourceName {
    WORD id = 0;
    std::wstring text;

    // The form the resource calls take: MAKEINTRESOURCE or the text.
    LPCWSTR get() const { return text.empty() ? MAKEINTRESOURCEW(id) : text.c_str(); }
    bool is(WORD number) const { return text.empty() && id == number; }
};

struct Resource {
    ResourceName type;
    ResourceName name;
    WORD language = 0;
    std::string bytes;
};

// In the order the file holds them (by type, then name, then language). Fails
// when the file cannot be loaded as a program.
std::vector<Resource> readResources(const std::wstring& path);

// The first resource of that type and number in any language; null if none.
const Resource* findResource(const std::vector<Resource>& resources, WORD type, WORD name);
