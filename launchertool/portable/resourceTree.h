// The resources of a program file as a plain model: every resource with its
// type, name and language and its bytes, read from the resource section with
// every offset and size checked, and laid out again in one pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The resource types the tool works with (RT_ICON, RT_GROUP_ICON,
// RT_VERSION, RT_MANIFEST).
constexpr std::uint16_t iconImageType = 3;
constexpr std::uint16_t iconGroupType = 14;
constexpr std::uint16_t versionType = 16;
constexpr std::uint16_t manifestType = 24;

constexpr std::uint16_t neutralLanguage = 0x0000;
constexpr std::uint16_t usEnglish = 0x0409;

// A resource type or name: a number, or a text where the file uses one.
struct ResourceName {
    std::uint16_t id = 0;
    std::u16string text;

    bool is(std::uint16_t number) const { return text.empty() && id == number; }
};

struct Resource {
    ResourceName type;
    ResourceName name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    std::string bytes;
};

// The resources of a section that starts at `address`, in the order the
// section lays them out. Fails naming `which` when the tree loops, shares a
// directory, points outside the section or claims more bytes than it holds.
std::vector<Resource> readResourceTree(const std::string& section, std::uint32_t address,
                                       const std::string& which);

// The section for `address`: named types and names first, by their text,
// then numbers in ascending order, languages ascending; the same resources
// always give the same bytes. Fails when a directory would need more
// entries than its 16-bit counts hold.
std::string layOutResourceTree(std::vector<Resource> resources, std::uint32_t address);

// A resource whose type and name are numbers.
Resource numberedResource(std::uint16_t type, std::uint16_t name, std::uint16_t language,
                          std::string bytes);

// The resource of that type and number in the language the system's
// resource calls fall back on when no language of the user's is there:
// neutral, then US English, then the first; null if none.
const Resource* findResource(const std::vector<Resource>& resources, std::uint16_t type,
                             std::uint16_t name);
