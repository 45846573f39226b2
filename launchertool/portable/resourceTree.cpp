#include "resourceTree.h"

#include "failure.h"
#include "littleEndian.h"

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>

namespace {

constexpr std::uint32_t highBit = 0x80000000u;
constexpr std::size_t directoryHeaderSize = 16;
constexpr std::size_t entrySize = 8;
constexpr std::size_t dataEntrySize = 16;
// Type, name, language: the system's resource calls go no deeper.
constexpr int levels = 3;

struct TreeReader {
    const std::string& section;
    std::uint32_t address;
    const std::string& which;
    std::set<std::size_t> visited;
    std::uint64_t claimed = 0;
    std::vector<Resource> resources;

    [[noreturn]] void bad(const std::string& why) const {
        fail("cannot read the resources of " + which + ": " + why);
    }

    ResourceName nameAt(std::uint32_t field) const {
        ResourceName name;
        if ((field & highBit) == 0) {
            if (field > 0xFFFF) {
                bad("a resource number is larger than 65535");
            }
            name.id = static_cast<std::uint16_t>(field);
            return name;
        }
        std::size_t at = field & ~highBit;
        if (at > section.size() || section.size() - at < 2) {
            bad("a resource name lies outside the section");
        }
        std::size_t length = u16At(section, at);
        if ((section.size() - at - 2) / 2 < length || length == 0) {
            bad("a resource name runs past the section");
        }
        for (std::size_t i = 0; i < length; ++i) {
            name.text += static_cast<char16_t>(u16At(section, at + 2 + 2 * i));
        }
        return name;
    }

    void readData(std::size_t at, const Resource& path) {
        if (at > section.size() || section.size() - at < dataEntrySize) {
            bad("a resource's entry lies outside the section");
        }
        std::uint32_t dataAddress = u32At(section, at);
        std::uint32_t size = u32At(section, at + 4);
        if (dataAddress < address || dataAddress - address > section.size() ||
            size > section.size() - (dataAddress - address)) {
            bad("a resource's data runs past its section or the file");
        }
        // Resources do not overlap: together they fit in their section.
        claimed += size;
        if (claimed > section.size()) {
            bad("its resources claim more bytes than the section holds");
        }
        Resource resource = path;
        resource.codePage = u32At(section, at + 8);
        resource.bytes = section.substr(dataAddress - address, size);
        resources.push_back(std::move(resource));
    }

    void readDirectory(std::size_t at, int level, Resource& path) {
        // A directory reached twice would make the tree loop or fan out.
        if (!visited.insert(at).second) {
            bad("a resource directory is reached twice");
        }
        if (at > section.size() || section.size() - at < directoryHeaderSize) {
            bad("a resource directory lies outside the section");
        }
        std::size_t count = std::size_t{u16At(section, at + 12)} + u16At(section, at + 14);
        if ((section.size() - at - directoryHeaderSize) / entrySize < count) {
            bad("a resource directory runs past the section");
        }
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t entry = at + directoryHeaderSize + entrySize * i;
            std::uint32_t nameField = u32At(section, entry);
            std::uint32_t target = u32At(section, entry + 4);
            if (level == 0) {
                path.type = nameAt(nameField);
            } else if (level == 1) {
                path.name = nameAt(nameField);
            } else {
                ResourceName language = nameAt(nameField);
                if (!language.text.empty()) {
                    bad("a resource's language is a text");
                }
                path.language = language.id;
            }
            bool directory = (target & highBit) != 0;
            if (directory != (level + 1 < levels)) {
                bad("the resource tree is not three levels deep");
            }
            if (directory) {
                readDirectory(target & ~highBit, level + 1, path);
            } else {
                readData(target, path);
            }
        }
    }
};

bool nameBefore(const ResourceName& a, const ResourceName& b) {
    // Named entries come before numbered ones in every directory.
    if (a.text.empty() != b.text.empty()) {
        return !a.text.empty();
    }
    return std::tie(a.text, a.id) < std::tie(b.text, b.id);
}

bool sameName(const ResourceName& a, const ResourceName& b) {
    return a.id == b.id && a.text == b.text;
}

// The sorted resources grouped as the tree lays them out.
struct NameGroup {
    ResourceName name;
    std::vector<std::size_t> resources;  // one per language
};
struct TypeGroup {
    ResourceName type;
    std::vector<NameGroup> names;
};

// A directory's header and entries; `targets` are offsets in the section,
// with the high bit set for a subdirectory.
void writeDirectory(std::string& out, std::size_t at, const std::vector<ResourceName>& names,
                    const std::vector<std::uint32_t>& targets) {
    std::size_t named = 0;
    for (std::size_t e = 0; e < names.size(); ++e) {
        std::size_t entry = at + directoryHeaderSize + entrySize * e;
        if (names[e].text.empty()) {
            putU32(out, entry, names[e].id);
        } else {
            std::size_t text = out.size();
            ++named;
            appendU16(out, static_cast<std::uint16_t>(names[e].text.size()));
            for (char16_t unit : names[e].text) {
                appendU16(out, unit);
            }
            putU32(out, entry, highBit | static_cast<std::uint32_t>(text));
        }
        putU32(out, entry + 4, targets[e]);
    }
    if (named > 0xFFFF || names.size() - named > 0xFFFF) {
        fail("a resource directory would hold more than 65535 entries of a kind");
    }
    putU16(out, at + 12, static_cast<std::uint16_t>(named));
    putU16(out, at + 14, static_cast<std::uint16_t>(names.size() - named));
}

}  // namespace

std::vector<Resource> readResourceTree(const std::string& section, std::uint32_t address,
                                       const std::string& which) {
    TreeReader reader{section, address, which, {}, 0, {}};
    if (!section.empty()) {
        Resource path;
        reader.readDirectory(0, 0, path);
    }
    return std::move(reader.resources);
}

std::string layOutResourceTree(std::vector<Resource> resources, std::uint32_t address) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!sameName(a.type, b.type)) {
            return nameBefore(a.type, b.type);
        }
        if (!sameName(a.name, b.name)) {
            return nameBefore(a.name, b.name);
        }
        return a.language < b.language;
    });
    std::vector<TypeGroup> types;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        if (types.empty() || !sameName(types.back().type, resources[i].type)) {
            types.push_back({resources[i].type, {}});
        }
        std::vector<NameGroup>& names = types.back().names;
        if (names.empty() || !sameName(names.back().name, resources[i].name)) {
            names.push_back({resources[i].name, {}});
        }
        names.back().resources.push_back(i);
    }
    // The directories first (the root, every type's, every name's), then
    // the data entries; the name texts are appended as the entries are
    // written, and the data follows on 4-byte boundaries.
    auto directorySize = [](std::size_t entries) { return directoryHeaderSize + entrySize * entries; };
    std::size_t size = directorySize(types.size());
    std::vector<std::size_t> typeAt;
    for (const TypeGroup& type : types) {
        typeAt.push_back(size);
        size += directorySize(type.names.size());
    }
    std::vector<std::vector<std::size_t>> nameAt(types.size());
    for (std::size_t t = 0; t < types.size(); ++t) {
        for (const NameGroup& name : types[t].names) {
            nameAt[t].push_back(size);
            size += directorySize(name.resources.size());
        }
    }
    std::size_t dataEntriesAt = size;
    std::string out(dataEntriesAt + dataEntrySize * resources.size(), '\0');

    std::vector<ResourceName> typeNames;
    std::vector<std::uint32_t> typeTargets;
    for (std::size_t t = 0; t < types.size(); ++t) {
        typeNames.push_back(types[t].type);
        typeTargets.push_back(highBit | static_cast<std::uint32_t>(typeAt[t]));
    }
    writeDirectory(out, 0, typeNames, typeTargets);
    for (std::size_t t = 0; t < types.size(); ++t) {
        std::vector<ResourceName> names;
        std::vector<std::uint32_t> targets;
        for (std::size_t n = 0; n < types[t].names.size(); ++n) {
            names.push_back(types[t].names[n].name);
            targets.push_back(highBit | static_cast<std::uint32_t>(nameAt[t][n]));
        }
        writeDirectory(out, typeAt[t], names, targets);
    }
    for (std::size_t t = 0; t < types.size(); ++t) {
        for (std::size_t n = 0; n < types[t].names.size(); ++n) {
            std::vector<ResourceName> languages;
            std::vector<std::uint32_t> targets;
            for (std::size_t index : types[t].names[n].resources) {
                ResourceName language;
                language.id = resources[index].language;
                languages.push_back(language);
                targets.push_back(static_cast<std::uint32_t>(dataEntriesAt + dataEntrySize * index));
            }
            writeDirectory(out, nameAt[t][n], languages, targets);
        }
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        out.resize(static_cast<std::size_t>(alignedUp(out.size(), 4)), '\0');
        std::size_t entry = dataEntriesAt + dataEntrySize * i;
        putU32(out, entry, address + static_cast<std::uint32_t>(out.size()));
        putU32(out, entry + 4, static_cast<std::uint32_t>(resources[i].bytes.size()));
        putU32(out, entry + 8, resources[i].codePage);
        out += resources[i].bytes;
    }
    return out;
}

const Resource* findResource(const std::vector<Resource>& resources, std::uint16_t type,
                             std::uint16_t name) {
    const Resource* found = nullptr;
    for (const Resource& resource : resources) {
        if (!resource.type.is(type) || !resource.name.is(name)) {
            continue;
        }
        if (resource.language == neutralLanguage) {
            return &resource;
        }
        if (found == nullptr || (resource.language == usEnglish && found->language != usEnglish)) {
            found = &resource;
        }
    }
    return found;
}

Resource numberedResource(std::uint16_t type, std::uint16_t name, std::uint16_t language,
                          std::string bytes) {
    Resource resource;
    resource.type.id = type;
    resource.name.id = name;
    resource.language = language;
    resource.bytes = std::move(bytes);
    return resource;
}
