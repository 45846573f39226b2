#include "info.h"

#include "console.h"
#include "failure.h"
#include "icons.h"
#include "peImage.h"
#include "resourceTree.h"
#include "utf16.h"
#include "versionRecord.h"
#include "visibleText.h"
#include "wholeFile.h"

#include <nlohmann/json.hpp>

#include <optional>

const char infoUsage[] = "info [--json] FILE.exe";

namespace {

using Json = nlohmann::ordered_json;

// The version record's texts that every report names, present or not.
const char* const reportedStrings[] = {
    "CompanyName",    "FileDescription",  "FileVersion", "InternalName",
    "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion",
};

struct VersionReport {
    std::uint16_t language = 0;
    VersionNumbers fileVersion{};
    VersionNumbers productVersion{};
    std::vector<std::pair<std::string, std::string>> strings;
};

struct FileReport {
    std::string kind;  // "32-bit program", "64-bit DLL"
    std::vector<IconGroup> groups;
    // Every version record, one per language, and the one the system's
    // version calls read.
    std::vector<VersionReport> versions;
    std::optional<VersionReport> shownVersion;
    std::optional<std::string> executionLevel;
    bool isSigned = false;
};

constexpr std::uint16_t dllFlag = 0x2000;
// The version calls ask for record 1 (VS_VERSION_INFO).
constexpr std::uint16_t versionRecordName = 1;

// The level attribute of the manifest's requestedExecutionLevel element,
// whatever namespace prefix and quotes it is written with.
std::optional<std::string> executionLevel(const std::string& manifest) {
    const std::string element = "requestedExecutionLevel";
    std::size_t at = manifest.find(element);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    std::size_t end = manifest.find('>', at);
    for (at = manifest.find("level", at + element.size()); at < end;
         at = manifest.find("level", at + 1)) {
        if (std::string(" \t\r\n").find(manifest[at - 1]) == std::string::npos) {
            continue;
        }
        std::size_t value = manifest.find_first_not_of(" \t\r\n", at + 5);
        if (value >= end || manifest[value] != '=') {
            continue;
        }
        value = manifest.find_first_not_of(" \t\r\n", value + 1);
        if (value >= end || (manifest[value] != '"' && manifest[value] != '\'')) {
            continue;
        }
        std::size_t close = manifest.find(manifest[value], value + 1);
        if (close >= end) {
            return std::nullopt;
        }
        return manifest.substr(value + 1, close - value - 1);
    }
    return std::nullopt;
}

VersionReport versionReport(const Resource& resource, const std::string& path) {
    VersionBlock root = readVersionRecord(resource.bytes, "the version record of " + path);
    VersionReport version{resource.language, fileVersion(root), productVersion(root), {}};
    for (const auto& text : versionStrings(root)) {
        version.strings.emplace_back(fromUtf16(text.first), fromUtf16(text.second));
    }
    return version;
}

FileReport describe(const std::string& bytes, const std::string& path) {
    FileReport report;
    PeImage image = readPeImage(bytes, path);
    report.kind = std::string(is64Bit(image) ? "64-bit " : "32-bit ") +
                  ((image.header.characteristics & dllFlag) != 0 ? "DLL" : "program");
    report.isSigned = isSigned(image);
    ResourceSection section = resourceSection(image, path);
    std::vector<Resource> resources = readResourceTree(section.bytes, section.address, path);
    report.groups = iconGroups(resources, path);
    const Resource* shown = findResource(resources, versionType, versionRecordName);
    for (const Resource& resource : resources) {
        if (resource.type.is(versionType)) {
            report.versions.push_back(versionReport(resource, path));
            if (&resource == shown || (shown == nullptr && !report.shownVersion)) {
                report.shownVersion = report.versions.back();
            }
        }
    }
    const Resource* manifest = findResource(resources, manifestType, 1);
    if (manifest != nullptr) {
        report.executionLevel = executionLevel(manifest->bytes);
    }
    return report;
}

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json stringsJson(const std::vector<std::pair<std::string, std::string>>& texts) {
    Json strings = Json::object();
    for (const char* key : reportedStrings) {
        strings[key] = nullptr;
    }
    for (const auto& text : texts) {
        strings[text.first] = text.second;
    }
    return strings;
}

std::string asJson(const FileReport& report) {
    Json icons = Json::array();
    for (const IconGroup& group : report.groups) {
        Json images = Json::array();
        for (const IconImage& image : group.images) {
            if (!image.damage.empty()) {
                images.push_back({{"width", nullptr},
                                  {"height", nullptr},
                                  {"bitCount", nullptr},
                                  {"png", nullptr},
                                  {"damage", image.damage}});
                continue;
            }
            images.push_back({{"width", image.width},
                              {"height", image.height},
                              {"bitCount", image.bitCount},
                              {"png", image.png}});
        }
        Json name = group.name.text.empty() ? Json(group.name.id) : Json(groupName(group.name));
        icons.push_back({{"group", name}, {"images", images}});
    }
    Json records = Json::array();
    for (const VersionReport& version : report.versions) {
        records.push_back({{"language", version.language},
                           {"fileVersion", versionText(version.fileVersion)},
                           {"productVersion", versionText(version.productVersion)},
                           {"strings", stringsJson(version.strings)}});
    }
    const std::optional<VersionReport>& shown = report.shownVersion;
    Json json = {
        {"kind", report.kind},
        {"icons", icons},
        {"fileVersion", shown ? Json(versionText(shown->fileVersion)) : Json(nullptr)},
        {"productVersion", shown ? Json(versionText(shown->productVersion)) : Json(nullptr)},
        {"strings", stringsJson(shown ? shown->strings : std::vector<std::pair<std::string, std::string>>{})},
        {"versionRecords", records},
        {"executionLevel", optionalText(report.executionLevel)},
        {"signed", report.isSigned},
    };
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string languageText(std::uint16_t language) {
    const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += digits[(language >> shift) & 0xF];
    }
    return text;
}

// Every value is written with its control characters visible: a text of
// the file must not start a line of its own or reach the terminal as a
// command.
std::string asText(const std::string& path, const FileReport& report) {
    std::string text = escapedControls(path) + "\n";
    text += "kind: " + report.kind + "\n";
    for (const IconGroup& group : report.groups) {
        text += "icon group " + escapedControls(groupName(group.name)) + ": " +
                std::to_string(group.images.size()) + " images\n";
        for (const IconImage& image : group.images) {
            if (!image.damage.empty()) {
                text += "  damaged: " + escapedControls(image.damage) + "\n";
                continue;
            }
            text += "  " + std::to_string(image.width) + " x " + std::to_string(image.height) + ", " +
                    std::to_string(image.bitCount) + " bits per pixel, " + (image.png ? "PNG" : "DIB") +
                    "\n";
        }
    }
    if (report.groups.empty()) {
        text += "icon: none\n";
    }
    const std::optional<VersionReport>& shown = report.shownVersion;
    if (report.versions.size() > 1) {
        text += "version record: language " + languageText(shown->language) + " of " +
                std::to_string(report.versions.size()) + " languages (--json shows each)\n";
    }
    text += "file version: " + (shown ? versionText(shown->fileVersion) : "none") + "\n";
    text += "product version: " + (shown ? versionText(shown->productVersion) : "none") + "\n";
    for (const auto& string : shown ? shown->strings : std::vector<std::pair<std::string, std::string>>{}) {
        text += escapedControls(string.first) + ": " + escapedControls(string.second) + "\n";
    }
    text += "execution level: " + escapedControls(report.executionLevel.value_or("none")) + "\n";
    text += std::string("signature: ") + (report.isSigned ? "signed" : "none") + "\n";
    return text;
}

}  // namespace

int infoCommand(const std::vector<std::string>& arguments) {
    bool json = false;
    std::vector<std::string> files;
    for (const std::string& argument : arguments) {
        if (argument == "--json" && !json) {
            json = true;
        } else if (argument.compare(0, 2, "--") == 0) {
            files.clear();
            break;
        } else {
            files.push_back(argument);
        }
    }
    if (files.size() != 1) {
        printErr(std::string("usage: launchertool ") + infoUsage + "\n");
        return EXIT_USAGE;
    }
    const std::string& path = files.front();
    std::string bytes = readWholeFile(path);
    printOut(infoReport(bytes, path, json));
    return EXIT_CLEAN;
}

std::string infoReport(const std::string& bytes, const std::string& path, bool json) {
    FileReport report = describe(bytes, path);
    return json ? asJson(report) : asText(path, report);
}
