#include "info.h"

#include "console.h"
#include "failure.h"
#include "icons.h"
#include "peHeaders.h"
#include "resources.h"
#include "versionRecord.h"
#include "wholeFile.h"

#include <nlohmann/json.hpp>

#include <optional>

const wchar_t infoUsage[] = L"info [--json] FILE.exe";

namespace {

using Json = nlohmann::ordered_json;

// The version record's texts that every report names, present or not.
const wchar_t* const reportedStrings[] = {
    L"CompanyName",  L"FileDescription",  L"FileVersion", L"InternalName",
    L"LegalCopyright", L"OriginalFilename", L"ProductName", L"ProductVersion",
};

struct IconGroup {
    ResourceName name;
    std::vector<IconImage> images;
};

struct FileReport {
    std::vector<IconGroup> groups;
    std::optional<VersionNumbers> fileVersion;
    std::optional<VersionNumbers> productVersion;
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    std::optional<std::wstring> executionLevel;
    bool isSigned = false;
};

std::wstring groupName(const ResourceName& name) {
    return name.text.empty() ? std::to_wstring(name.id) : name.text;
}

// The level attribute of the manifest's requestedExecutionLevel element,
// whatever namespace prefix and quotes it is written with.
std::optional<std::wstring> executionLevel(const std::string& manifest) {
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
        return fromUtf8Text(manifest.substr(value + 1, close - value - 1));
    }
    return std::nullopt;
}

FileReport describe(const std::wstring& path) {
    FileReport report;
    report.isSigned = certificateTable(readWholeFile(path), path).size != 0;
    std::vector<Resource> resources = readResources(path);
    for (const Resource& resource : resources) {
        if (resource.type.is(iconGroupType)) {
            IconGroup group{resource.name, {}};
            std::wstring which = L"icon group " + groupName(resource.name) + L" of " + path;
            for (const GroupMember& member : groupMembers(resource.bytes, which)) {
                std::wstring number = std::to_wstring(member.id);
                const Resource* image = findResource(resources, iconImageType, member.id);
                if (image == nullptr) {
                    fail(which + L" names image " + number + L", which the file lacks");
                }
                group.images.push_back(readIconImage(image->bytes, L"image " + number + L" of " + path));
                takeDeclaredBitCount(group.images.back(), member.bitCount);
            }
            report.groups.push_back(std::move(group));
        } else if (resource.type.is(versionType) && !report.fileVersion) {
            VersionBlock root = readVersionRecord(resource.bytes, L"the version record of " + path);
            report.fileVersion = fileVersion(root);
            report.productVersion = productVersion(root);
            report.strings = versionStrings(root);
        }
    }
    const Resource* manifest = findResource(resources, manifestType, 1);
    if (manifest != nullptr) {
        report.executionLevel = executionLevel(manifest->bytes);
    }
    return report;
}

Json optionalText(const std::optional<std::wstring>& text) {
    return text ? Json(toUtf8(*text)) : Json(nullptr);
}

std::optional<std::wstring> versionOrNone(const std::optional<VersionNumbers>& numbers) {
    return numbers ? std::optional<std::wstring>(versionText(*numbers)) : std::nullopt;
}

std::wstring asJson(const FileReport& report) {
    Json icons = Json::array();
    for (const IconGroup& group : report.groups) {
        Json images = Json::array();
        for (const IconImage& image : group.images) {
            images.push_back({{"width", image.width},
                              {"height", image.height},
                              {"bitCount", image.bitCount},
                              {"png", image.png}});
        }
        Json name = group.name.text.empty() ? Json(group.name.id) : Json(toUtf8(group.name.text));
        icons.push_back({{"group", name}, {"images", images}});
    }
    Json strings = Json::object();
    for (const wchar_t* key : reportedStrings) {
        strings[toUtf8(key)] = nullptr;
    }
    for (const auto& text : report.strings) {
        strings[toUtf8(text.first)] = toUtf8(text.second);
    }
    Json json = {
        {"icons", icons},
        {"fileVersion", optionalText(versionOrNone(report.fileVersion))},
        {"productVersion", optionalText(versionOrNone(report.productVersion))},
        {"strings", strings},
        {"executionLevel", optionalText(report.executionLevel)},
        {"signed", report.isSigned},
    };
    return fromUtf8Text(json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

std::wstring asText(const std::wstring& path, const FileReport& report) {
    std::wstring text = path + L"\n";
    for (const IconGroup& group : report.groups) {
        text += L"icon group " + groupName(group.name) + L": " +
                std::to_wstring(group.images.size()) + L" images\n";
        for (const IconImage& image : group.images) {
            text += L"  " + std::to_wstring(image.width) + L" x " + std::to_wstring(image.height) +
                    L", " + std::to_wstring(image.bitCount) + L" bits per pixel, " +
                    (image.png ? L"PNG" : L"DIB") + L"\n";
        }
    }
    if (report.groups.empty()) {
        text += L"icon: none\n";
    }
    text += L"file version: " + versionOrNone(report.fileVersion).value_or(L"none") + L"\n";
    text += L"product version: " + versionOrNone(report.productVersion).value_or(L"none") + L"\n";
    for (const auto& string : report.strings) {
        text += string.first + L": " + string.second + L"\n";
    }
    text += L"execution level: " + report.executionLevel.value_or(L"none") + L"\n";
    text += std::wstring(L"signature: ") + (report.isSigned ? L"signed" : L"none") + L"\n";
    return text;
}

}  // namespace

int infoCommand(int argc, wchar_t** argv) {
    bool json = false;
    std::vector<std::wstring> files;
    for (int i = 0; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argument == L"--json" && !json) {
            json = true;
        } else if (argument.compare(0, 2, L"--") == 0) {
            files.clear();
            break;
        } else {
            files.push_back(argument);
        }
    }
    if (files.size() != 1) {
        printErr(std::wstring(L"usage: launchertool ") + infoUsage + L"\n");
        return EXIT_USAGE;
    }
    const std::wstring& path = files.front();
    try {
        FileReport report = describe(path);
        printOut(json ? asJson(report) : asText(path, report));
        return EXIT_CLEAN;
    } catch (const Failure& failure) {
        printErr(L"error: " + failure.message + L"\n");
        return EXIT_PROBLEMS;
    }
}
