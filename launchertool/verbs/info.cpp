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

struct FileReport {
    std::vector<IconGroup> groups;
    std::optional<VersionNumbers> fileVersion;
    std::optional<VersionNumbers> productVersion;
    std::vector<std::pair<std::string, std::string>> strings;
    std::optional<std::string> executionLevel;
    bool isSigned = false;
};

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

FileReport describe(const std::string& path) {
    FileReport report;
    std::string bytes = readWholeFile(path);
    PeImage image = readPeImage(bytes, path);
    report.isSigned = isSigned(image);
    ResourceSection section = resourceSection(image, path);
    std::vector<Resource> resources = readResourceTree(section.bytes, section.address, path);
    report.groups = iconGroups(resources, path);
    for (const Resource& resource : resources) {
        if (resource.type.is(versionType)) {
            VersionBlock root = readVersionRecord(resource.bytes, "the version record of " + path);
            report.fileVersion = fileVersion(root);
            report.productVersion = productVersion(root);
            for (const auto& text : versionStrings(root)) {
                report.strings.emplace_back(fromUtf16(text.first), fromUtf16(text.second));
            }
            break;
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

std::optional<std::string> versionOrNone(const std::optional<VersionNumbers>& numbers) {
    return numbers ? std::optional<std::string>(versionText(*numbers)) : std::nullopt;
}

std::string asJson(const FileReport& report) {
    Json icons = Json::array();
    for (const IconGroup& group : report.groups) {
        Json images = Json::array();
        for (const IconImage& image : group.images) {
            images.push_back({{"width", image.width},
                              {"height", image.height},
                              {"bitCount", image.bitCount},
                              {"png", image.png}});
        }
        Json name = group.name.text.empty() ? Json(group.name.id) : Json(groupName(group.name));
        icons.push_back({{"group", name}, {"images", images}});
    }
    Json strings = Json::object();
    for (const char* key : reportedStrings) {
        strings[key] = nullptr;
    }
    for (const auto& text : report.strings) {
        strings[text.first] = text.second;
    }
    Json json = {
        {"icons", icons},
        {"fileVersion", optionalText(versionOrNone(report.fileVersion))},
        {"productVersion", optionalText(versionOrNone(report.productVersion))},
        {"strings", strings},
        {"executionLevel", optionalText(report.executionLevel)},
        {"signed", report.isSigned},
    };
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Every value is written with its control characters visible: a text of
// the file must not start a line of its own or reach the terminal as a
// command.
std::string asText(const std::string& path, const FileReport& report) {
    std::string text = escapedControls(path) + "\n";
    for (const IconGroup& group : report.groups) {
        text += "icon group " + escapedControls(groupName(group.name)) + ": " +
                std::to_string(group.images.size()) + " images\n";
        for (const IconImage& image : group.images) {
            text += "  " + std::to_string(image.width) + " x " + std::to_string(image.height) + ", " +
                    std::to_string(image.bitCount) + " bits per pixel, " + (image.png ? "PNG" : "DIB") +
                    "\n";
        }
    }
    if (report.groups.empty()) {
        text += "icon: none\n";
    }
    text += "file version: " + versionOrNone(report.fileVersion).value_or("none") + "\n";
    text += "product version: " + versionOrNone(report.productVersion).value_or("none") + "\n";
    for (const auto& string : report.strings) {
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
    FileReport report = describe(path);
    printOut(json ? asJson(report) : asText(path, report));
    return EXIT_CLEAN;
}
