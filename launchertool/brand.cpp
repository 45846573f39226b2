#include "brand.h"

#include "console.h"
#include "failure.h"
#include "icons.h"
#include "owners.h"
#include "peHeaders.h"
#include "resources.h"
#include "versionRecord.h"
#include "wholeFile.h"

#include <map>
#include <optional>
#include <set>

const wchar_t brandUsage[] =
    L"brand [--icon FILE.ico] [--version A.B.C.D] [--product TEXT] [--description TEXT] "
    L"[--company TEXT] [--copyright TEXT] SOURCE.exe OUTPUT.exe";

namespace {

// The two icon groups of a launcher: the file's icon in the shell (the lowest
// group) and the splash window's small icon.
constexpr WORD shellIconGroup = 107;
constexpr WORD smallIconGroup = 108;

// The texts an option sets in the version record.
const std::map<std::wstring, std::wstring> textOptions = {
    {L"--product", L"ProductName"},
    {L"--description", L"FileDescription"},
    {L"--company", L"CompanyName"},
    {L"--copyright", L"LegalCopyright"},
};

struct BrandRequest {
    std::optional<std::wstring> icon;
    std::optional<std::wstring> version;
    std::map<std::wstring, std::wstring> texts;  // version record key -> text
    std::wstring source;
    std::wstring output;
};

// False on a usage error: an unknown or repeated option, an option without
// its value, or not exactly two files.
bool parseRequest(int argc, wchar_t** argv, BrandRequest& request) {
    std::vector<std::wstring> files;
    std::set<std::wstring> given;
    for (int i = 0; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argument.compare(0, 2, L"--") != 0) {
            files.push_back(argument);
            continue;
        }
        auto text = textOptions.find(argument);
        bool known = argument == L"--icon" || argument == L"--version" || text != textOptions.end();
        if (!known || i + 1 >= argc || !given.insert(argument).second) {
            return false;
        }
        std::wstring value = argv[++i];
        if (argument == L"--icon") {
            request.icon = value;
        } else if (argument == L"--version") {
            request.version = value;
        } else {
            request.texts[text->second] = value;
        }
    }
    if (files.size() != 2) {
        return false;
    }
    request.source = files[0];
    request.output = files[1];
    return true;
}

// Two paths name one file when the system gives both the same volume and
// file index, however they are spelt (letter case, links, relative parts).
bool sameFile(const std::wstring& first, const std::wstring& second) {
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::wstring* paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        FileHandle file{CreateFileW(paths[i]->c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
        if (!file || !GetFileInformationByHandle(file.get(), &info[i])) {
            return false;
        }
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// The copy being made, beside OUTPUT so that the final move stays on one
// volume. It is deleted on every way out unless it has become OUTPUT.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::wstring& folder) {
        wchar_t name[MAX_PATH];
        if (GetTempFileNameW(folder.c_str(), L"brd", 0, name) == 0) {
            failWithSystemError(L"cannot write in " + folder, GetLastError());
        }
        path_ = name;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            DeleteFileW(path_.c_str());
        }
    }
    const std::wstring& path() const { return path_; }
    void moveTo(const std::wstring& target) {
        if (!MoveFileExW(path_.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            failWithSystemError(L"cannot write " + target, GetLastError());
        }
        path_.clear();
    }

private:
    std::wstring path_;
};

// The system's update of a file's resources: discarded on every way out
// unless written.
class ResourceUpdate {
public:
    explicit ResourceUpdate(const std::wstring& path) {
        // Beginning empty is the one way to remove resources that works on
        // Windows and under Wine alike; every resource that stays is added
        // again.
        handle_ = BeginUpdateResourceW(path.c_str(), TRUE);
        if (handle_ == nullptr) {
            failWithSystemError(L"cannot update the resources of " + path, GetLastError());
        }
    }
    ResourceUpdate(const ResourceUpdate&) = delete;
    ResourceUpdate& operator=(const ResourceUpdate&) = delete;
    ~ResourceUpdate() {
        if (handle_ != nullptr) {
            EndUpdateResourceW(handle_, TRUE);
        }
    }
    void add(const Resource& resource) {
        if (!UpdateResourceW(handle_, resource.type.get(), resource.name.get(), resource.language,
                             const_cast<char*>(resource.bytes.data()),
                             static_cast<DWORD>(resource.bytes.size()))) {
            failWithSystemError(L"cannot add a resource", GetLastError());
        }
    }
    void write(const std::wstring& path) {
        HANDLE handle = handle_;
        handle_ = nullptr;
        if (!EndUpdateResourceW(handle, FALSE)) {
            failWithSystemError(L"cannot write the resources of " + path, GetLastError());
        }
    }

private:
    HANDLE handle_ = nullptr;
};

Resource numbered(WORD type, WORD name, WORD language, std::string bytes) {
    Resource resource;
    resource.type.id = type;
    resource.name.id = name;
    resource.language = language;
    resource.bytes = std::move(bytes);
    return resource;
}

void brandVersionRecord(Resource& record, const BrandRequest& request,
                        const std::optional<VersionNumbers>& version,
                        const std::wstring& outputName) {
    VersionBlock root = readVersionRecord(record.bytes, L"the version record of " + request.source);
    if (version) {
        setVersion(root, *version);
    }
    for (const auto& text : request.texts) {
        setString(root, text.first, text.second);
    }
    setString(root, L"InternalName", outputName);
    setString(root, L"OriginalFilename", outputName);
    record.bytes = writeVersionRecord(root);
}

// SOURCE's resources as OUTPUT carries them: the version record branded,
// and with an icon file the two groups and their images replaced. Images
// that another group names stay.
std::vector<Resource> brandedResources(const std::vector<Resource>& source,
                                       const BrandRequest& request,
                                       const std::optional<VersionNumbers>& version,
                                       const std::vector<IconImage>& icons,
                                       const std::wstring& outputName) {
    const Resource* shellGroup = findResource(source, iconGroupType, shellIconGroup);
    if (shellGroup == nullptr) {
        fail(request.source + L" is not a launcher: it has no icon group 107");
    }
    bool hasVersion = false;
    for (const Resource& resource : source) {
        hasVersion = hasVersion || resource.type.is(versionType);
    }
    if (!hasVersion) {
        fail(request.source + L" is not a launcher: it has no version record");
    }
    bool replaceIcons = request.icon.has_value();
    std::set<WORD> replacedImages;
    std::set<WORD> otherImages;
    for (const Resource& resource : source) {
        if (resource.type.is(iconGroupType)) {
            bool replaced = replaceIcons && (resource.name.is(shellIconGroup) ||
                                             resource.name.is(smallIconGroup));
            for (const GroupMember& member :
                 groupMembers(resource.bytes, L"an icon group of " + request.source)) {
                (replaced ? replacedImages : otherImages).insert(member.id);
            }
        }
    }
    std::vector<Resource> branded;
    std::set<WORD> imagesInUse;
    for (const Resource& resource : source) {
        bool dropped =
            replaceIcons &&
            ((resource.type.is(iconGroupType) &&
              (resource.name.is(shellIconGroup) || resource.name.is(smallIconGroup))) ||
             (resource.type.is(iconImageType) && resource.name.text.empty() &&
              replacedImages.count(resource.name.id) == 1 && otherImages.count(resource.name.id) == 0));
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
    if (replaceIcons) {
        // Both groups name the same images, stored once, in the language of
        // SOURCE's icon.
        std::vector<WORD> ids;
        for (WORD id = 1; ids.size() < icons.size(); ++id) {
            if (id == 0xFFFF) {
                fail(L"the icon file holds more images than a program can number");
            }
            if (imagesInUse.count(id) == 0) {
                ids.push_back(id);
            }
        }
        for (std::size_t i = 0; i < icons.size(); ++i) {
            branded.push_back(numbered(iconImageType, ids[i], shellGroup->language, icons[i].bytes));
        }
        std::string group = groupDirectory(icons, ids);
        branded.push_back(numbered(iconGroupType, shellIconGroup, shellGroup->language, group));
        branded.push_back(numbered(iconGroupType, smallIconGroup, shellGroup->language, group));
    }
    return branded;
}

// Returns whether SOURCE carried a signature, which OUTPUT then lacks.
bool brand(const BrandRequest& request) {
    std::optional<VersionNumbers> version;
    if (request.version) {
        VersionNumbers numbers{};
        if (!parseVersionNumbers(*request.version, numbers)) {
            fail(L"--version " + *request.version +
                 L": a version is four numbers from 0 to 65535, such as 1.4.0.2");
        }
        version = numbers;
    }
    std::vector<IconImage> icons;
    if (request.icon) {
        icons = readIconFile(*request.icon);
    }
    std::string image = readWholeFile(request.source);
    std::wstring outputName;
    std::wstring output = fullPath(request.output, &outputName);
    if (outputName.empty()) {
        // A device name (NUL, COM1) becomes \\.\NUL, without a file name either.
        bool device = output.rfind(L"\\\\.\\", 0) == 0;
        fail(request.output + (device ? L" names a device" : L" names a folder") +
             L", not the file to write");
    }
    if (sameFile(request.source, output)) {
        fail(request.output + L" is " + request.source +
             L" itself: write the branded copy to another file");
    }
    bool signedSource = certificateTable(image, request.source).size != 0;
    std::vector<Resource> resources = brandedResources(readResources(request.source), request,
                                                       version, icons, outputName);

    // A signature covers the whole file and cannot survive any change; a
    // stale one would only make the copy look tampered with.
    removeCertificateTable(image, request.source);
    TemporaryFile copy{output.substr(0, output.size() - outputName.size())};
    writeWholeFile(copy.path(), image);
    ResourceUpdate update{copy.path()};
    for (const Resource& resource : resources) {
        update.add(resource);
    }
    update.write(copy.path());
    // The system rebuilds the resources but leaves the checksum as it was.
    std::string branded = readWholeFile(copy.path());
    updateChecksum(branded, request.output);
    writeWholeFile(copy.path(), branded);
    copy.moveTo(output);
    return signedSource;
}

}  // namespace

int brandCommand(int argc, wchar_t** argv) {
    BrandRequest request;
    if (!parseRequest(argc, argv, request)) {
        printErr(std::wstring(L"usage: launchertool ") + brandUsage + L"\n");
        return EXIT_USAGE;
    }
    try {
        bool signedSource = brand(request);
        printOut(L"wrote " + request.output + L", a branded copy of " + request.source + L"\n");
        if (signedSource) {
            printOut(L"note: " + request.source + L" is signed and " + request.output +
                     L" carries no signature: sign " + request.output + L" after branding\n");
        }
        return EXIT_CLEAN;
    } catch (const Failure& failure) {
        printErr(L"error: " + failure.message + L"\n");
        return EXIT_PROBLEMS;
    }
}
