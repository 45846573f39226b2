#include "brand.h"

#include "console.h"
#include "failure.h"
#include "icons.h"
#include "peImage.h"
#include "resourceTree.h"
#include "utf16.h"
#include "versionRecord.h"
#include "wholeFile.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>

const char brandUsage[] =
    "brand [--icon FILE.ico] [--version A.B.C.D] [--product TEXT] [--description TEXT] "
    "[--company TEXT] [--copyright TEXT] [--name NAME.exe] SOURCE.exe OUTPUT.exe";

namespace {

// The two icon groups of a launcher: the file's icon in the shell (the lowest
// group) and the splash window's small icon.
constexpr std::uint16_t shellIconGroup = 107;
constexpr std::uint16_t smallIconGroup = 108;

// Four texts of this length and the record's own stay well inside the
// 16-bit lengths of the version record.
constexpr std::size_t longestText = 4000;

// The texts an option sets in the version record.
const std::map<std::string, std::u16string> textOptions = {
    {"--product", u"ProductName"},
    {"--description", u"FileDescription"},
    {"--company", u"CompanyName"},
    {"--copyright", u"LegalCopyright"},
};

struct BrandRequest {
    std::optional<std::string> icon;
    std::optional<std::string> version;
    std::map<std::u16string, std::u16string> texts;  // version record key -> text
    std::optional<std::string> name;  // the file name the copy ships under
    std::string source;
    std::string output;
};

// False on a usage error: an unknown or repeated option, an option without
// its value, or not exactly two files.
bool parseRequest(const std::vector<std::string>& arguments, BrandRequest& request) {
    std::vector<std::string> files;
    std::set<std::string> given;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.compare(0, 2, "--") != 0) {
            files.push_back(argument);
            continue;
        }
        auto text = textOptions.find(argument);
        bool known = argument == "--icon" || argument == "--version" || argument == "--name" ||
                     text != textOptions.end();
        if (!known || i + 1 >= arguments.size() || !given.insert(argument).second) {
            return false;
        }
        const std::string& value = arguments[++i];
        if (argument == "--icon") {
            request.icon = value;
        } else if (argument == "--version") {
            request.version = value;
        } else if (argument == "--name") {
            request.name = value;
        } else {
            std::u16string units = toUtf16(value);
            if (units.size() > longestText) {
                fail(argument + " is " + std::to_string(units.size()) +
                     " characters long; a text of the version record may have at most " +
                     std::to_string(longestText) + " (counted in UTF-16 units)");
            }
            request.texts[text->second] = units;
        }
    }
    if (files.size() != 2) {
        return false;
    }
    request.source = files[0];
    request.output = files[1];
    return true;
}

void brandVersionRecord(Resource& record, const BrandRequest& request,
                        const std::optional<VersionNumbers>& version,
                        const std::u16string& outputName) {
    VersionBlock root = readVersionRecord(record.bytes, "the version record of " + request.source);
    if (version) {
        setVersion(root, *version);
    }
    for (const auto& text : request.texts) {
        setString(root, text.first, text.second);
    }
    setString(root, u"InternalName", outputName);
    setString(root, u"OriginalFilename", outputName);
    record.bytes = writeVersionRecord(root);
}

bool isReplacedGroup(const Resource& resource) {
    return resource.type.is(iconGroupType) &&
           (resource.name.is(shellIconGroup) || resource.name.is(smallIconGroup));
}

// SOURCE's resources as OUTPUT carries them: the version record branded,
// and with an icon file the two groups and their images replaced. Images
// that another group names stay.
std::vector<Resource> brandedResources(const std::vector<Resource>& source,
                                       const BrandRequest& request,
                                       const std::optional<VersionNumbers>& version,
                                       const IconFile* icon, const std::u16string& outputName) {
    const Resource* shellGroup = findResource(source, iconGroupType, shellIconGroup);
    if (shellGroup == nullptr) {
        fail(request.source + " is not a launcher: it has no icon group 107");
    }
    bool hasVersion = false;
    for (const Resource& resource : source) {
        hasVersion = hasVersion || resource.type.is(versionType);
    }
    if (!hasVersion) {
        fail(request.source + " is not a launcher: it has no version record");
    }
    // Every group must name sound images the source holds: a copy must not
    // carry groups that name nothing or what cannot be shown.
    for (const IconGroup& group : iconGroups(source, request.source)) {
        for (const IconImage& image : group.images) {
            if (!image.damage.empty()) {
                fail(image.damage);
            }
        }
    }
    // The shell shows a program's first icon group: named groups come first,
    // then numbers ascending. A group ahead of 107 would hide the new icon.
    for (const Resource& resource : source) {
        if (icon != nullptr && resource.type.is(iconGroupType) &&
            (!resource.name.text.empty() || resource.name.id < shellIconGroup)) {
            fail(request.source + " has the icon group " + groupName(resource.name) +
                 " ahead of 107: the shell would show it instead of the new icon");
        }
    }
    std::set<std::uint16_t> replacedImages;
    std::set<std::uint16_t> otherImages;
    for (const Resource& resource : source) {
        if (resource.type.is(iconGroupType)) {
            bool replaced = icon != nullptr && isReplacedGroup(resource);
            for (const GroupMember& member : groupMembers(resource.bytes, "an icon group of " + request.source)) {
                (replaced ? replacedImages : otherImages).insert(member.id);
            }
        }
    }
    std::vector<Resource> branded;
    std::set<std::uint16_t> imagesInUse;
    for (const Resource& resource : source) {
        bool dropped = icon != nullptr &&
                       (isReplacedGroup(resource) ||
                        (resource.type.is(iconImageType) && resource.name.text.empty() &&
                         replacedImages.count(resource.name.id) == 1 &&
                         otherImages.count(resource.name.id) == 0));
        if (dropped) {
            continue;
        }
        branded.push_back(resource);
        if (resource.type.is(versionType)) {
            brandVersionRecord(branded.back(), request, version, outputName);
        } else if (resource.type.is(iconImageType) && resource.name.text.empty()) {
            imagesInUse.insert(resource.name.id);
        }
    }
    if (icon != nullptr) {
        // Both groups name the same images, each stored once, in the
        // language of SOURCE's icon.
        std::vector<std::uint16_t> ids;
        for (std::uint32_t id = 1; ids.size() < icon->images.size(); ++id) {
            if (id == 0xFFFF) {
                fail("the icon file holds more images than a program can number");
            }
            if (imagesInUse.count(static_cast<std::uint16_t>(id)) == 0) {
                ids.push_back(static_cast<std::uint16_t>(id));
            }
        }
        for (std::size_t i = 0; i < icon->images.size(); ++i) {
            branded.push_back(numberedResource(iconImageType, ids[i], shellGroup->language,
                                               icon->images[i].bytes));
        }
        std::string group = groupDirectory(*icon, ids);
        branded.push_back(numberedResource(iconGroupType, shellIconGroup, shellGroup->language, group));
        branded.push_back(numberedResource(iconGroupType, smallIconGroup, shellGroup->language, group));
    }
    return branded;
}

// The name --name gives must be what InternalName and OriginalFilename
// stand for: a file name alone, and one the launcher runs under (.exe).
void checkShippedName(const std::string& name) {
    std::string ending = name.size() > 4 ? name.substr(name.size() - 4) : std::string();
    for (char& c : ending) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (ending != ".exe" || name.find_first_of("/\\") != std::string::npos) {
        fail("--name " + name + ": give the file name the copy ships under, such as Acme.exe");
    }
    if (toUtf16(name).size() > longestText) {
        fail("--name is longer than a text of the version record may be (" +
             std::to_string(longestText) + " UTF-16 units)");
    }
}

// Returns whether SOURCE carried a signature, which OUTPUT then lacks.
bool brand(const BrandRequest& request) {
    std::optional<VersionNumbers> version;
    if (request.version) {
        VersionNumbers numbers{};
        if (!parseVersionNumbers(*request.version, numbers)) {
            fail("--version " + *request.version +
                 ": a version is four numbers from 0 to 65535, such as 1.4.0.2");
        }
        version = numbers;
    }
    if (request.name) {
        checkShippedName(*request.name);
    }
    std::optional<IconFile> icon;
    if (request.icon) {
        icon = readIconFile(readWholeFile(*request.icon), *request.icon);
    }
    std::string bytes = readWholeFile(request.source);
    std::string outputName = std::filesystem::u8path(request.output).filename().u8string();
    if (outputName.empty()) {
        fail(request.output + " names a folder, not the file to write");
    }
    std::string shippedName = request.name ? *request.name : outputName;
    if (sameFile(request.source, request.output)) {
        fail(request.output + " is " + request.source +
             " itself: write the branded copy to another file");
    }
    PeImage image = readPeImage(bytes, request.source);
    requireX86(image, request.source);
    ResourceSection section = resourceSection(image, request.source);
    std::vector<Resource> resources =
        brandedResources(readResourceTree(section.bytes, section.address, request.source), request,
                         version, icon ? &*icon : nullptr, toUtf16(shippedName));
    // A signature covers the whole file and cannot survive any change; a
    // stale one would only make the copy look tampered with.
    bool signedSource = isSigned(image);
    replaceFile(request.output,
                withResourceSection(image, layOutResourceTree(resources, section.address), request.source),
                request.source);
    return signedSource;
}

}  // namespace

int brandCommand(const std::vector<std::string>& arguments) {
    BrandRequest request;
    if (!parseRequest(arguments, request)) {
        printErr(std::string("usage: launchertool ") + brandUsage + "\n");
        return EXIT_USAGE;
    }
    bool signedSource = brand(request);
    printOut("wrote " + request.output + ", a branded copy of " + request.source + "\n");
    // Standard output carries the report alone, for scripts that read it.
    if (signedSource) {
        printErr("note: " + request.source + " is signed and " + request.output +
                 " carries no signature: sign " + request.output + " after branding\n");
    }
    return EXIT_CLEAN;
}
