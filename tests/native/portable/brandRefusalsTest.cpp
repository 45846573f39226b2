// What brand refuses because of what a file holds, decided by the portable
// core alone: each case a small change to the test icon, the version option
// or the launcher's resources, and the sentence it must end with. A refused
// brand writes nothing.
#include "brand.h"
#include "failure.h"
#include "littleEndian.h"
#include "peImage.h"
#include "resourceTree.h"
#include "wholeFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What a folder holds: each name with its content.
std::map<std::string, std::string> folderContents(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        contents[entry.path().filename().string()] = readWholeFile(entry.path().string());
    }
    return contents;
}

// The launcher with its resources changed by `change`, laid out by the same
// writer brand uses.
std::string launcherWith(const std::function<void(std::vector<Resource>&)>& change) {
    std::string bytes = readWholeFile(LAUNCHER_EXE);
    PeImage image = readPeImage(bytes, "launcher.exe");
    ResourceSection section = resourceSection(image, "launcher.exe");
    std::vector<Resource> resources = readResourceTree(section.bytes, section.address, "launcher.exe");
    change(resources);
    return withResourceSection(image, layOutResourceTree(resources, section.address), "launcher.exe");
}

std::function<void(std::vector<Resource>&)> without(std::uint16_t type, std::uint16_t name) {
    return [=](std::vector<Resource>& resources) {
        for (auto at = resources.begin(); at != resources.end();) {
            at = at->type.is(type) && (name == 0 || at->name.is(name)) ? resources.erase(at) : at + 1;
        }
    };
}

struct Refusal {
    const char* what;
    // Writes the case's files into the folder.
    std::function<void(const fs::path& folder)> prepare;
    // "@name" stands for the file `name` in the case's folder.
    std::vector<std::string> arguments;
    const char* sentence;
};

std::function<void(const fs::path&)> iconWith(const std::function<void(std::string&)>& change) {
    return [change](const fs::path& folder) {
        std::string ico = readWholeFile(BRAND_ICON);
        change(ico);
        writeBytes(folder / "bad.ico", ico);
    };
}

std::function<void(const fs::path&)> program(const char* name, const std::string& bytes) {
    return [name, bytes](const fs::path& folder) { writeBytes(folder / name, bytes); };
}

}  // namespace

TEST(BrandRefusals, EachEndsInItsSentenceAndWritesNothing) {
    // The images of the test icon: 16 px in 16 colours, 32, 48 and 256 px.
    const std::size_t firstEntry = 6;
    const std::size_t entrySize = 16;
    const std::vector<std::string> withBadIcon = {"--icon", "@bad.ico", LAUNCHER_EXE, "@Acme.exe"};
    auto withVersion = [](const char* version) {
        return std::vector<std::string>{"--version", version, LAUNCHER_EXE, "@Acme.exe"};
    };
    auto nothing = [](const fs::path&) {};
    const std::string brokenRecord("\x00\x10\x34\x00\x00\x00V\0S\0\0\0", 12);
    const Refusal cases[] = {
        {"no icon file", iconWith([](std::string& ico) { ico = "this is no icon\n"; }), withBadIcon,
         "is not an icon file"},
        {"an empty icon file", iconWith([](std::string& ico) { ico.clear(); }), withBadIcon, "is empty"},
        {"a truncated icon file", iconWith([](std::string& ico) { ico.resize(30); }), withBadIcon,
         "is truncated"},
        {"an icon file without images", iconWith([](std::string& ico) { ico[4] = ico[5] = 0; }),
         withBadIcon, "holds no images"},
        {"an image outside the icon file",
         iconWith([=](std::string& ico) {
             putU32(ico, firstEntry + entrySize + 12, static_cast<std::uint32_t>(ico.size() - 8));
         }),
         withBadIcon, "points outside the file"},
        {"a damaged PNG",
         iconWith([=](std::string& ico) { ico[u32At(ico, firstEntry + 3 * entrySize + 12) + 60] ^= 0x55; }),
         withBadIcon, "damaged PNG"},
        {"a bitmap cut short", iconWith([=](std::string& ico) { putU32(ico, firstEntry + 8, 200); }),
         withBadIcon, "cut short"},
        {"a colour table larger than memory",
         iconWith([=](std::string& ico) {
             putU32(ico, u32At(ico, firstEntry + entrySize + 12) + 32, 0xFFFFFFF0u);
         }),
         withBadIcon, "colour table"},
        {"three numbers", nothing, withVersion("1.2.3"), "four numbers from 0 to 65535"},
        {"five numbers", nothing, withVersion("1.2.3.4.5"), "four numbers from 0 to 65535"},
        {"a number too large", nothing, withVersion("1.2.3.65536"), "four numbers from 0 to 65535"},
        {"a letter", nothing, withVersion("1.2.x.4"), "four numbers from 0 to 65535"},
        {"an empty part", nothing, withVersion("1..3.4"), "four numbers from 0 to 65535"},
        {"a text for a launcher", program("Text.exe", "no program\n"), {"@Text.exe", "@Acme.exe"},
         "is no program file"},
        {"a program without icon group 107", program("NoIcon.exe", launcherWith(without(iconGroupType, 107))),
         {"@NoIcon.exe", "@Acme.exe"}, "has no icon group 107"},
        {"a program without version record", program("NoVersion.exe", launcherWith(without(versionType, 0))),
         {"@NoVersion.exe", "@Acme.exe"}, "has no version record"},
        {"a version record that does not read",
         program("Broken.exe", launcherWith([&](std::vector<Resource>& resources) {
                     for (Resource& resource : resources) {
                         if (resource.type.is(versionType)) {
                             resource.bytes = brokenRecord;
                         }
                     }
                 })),
         {"@Broken.exe", "@Acme.exe"}, "version record of"},
    };
    const fs::path root = fs::temp_directory_path() / ("brandRefusals-" + std::to_string(::getpid()));
    int number = 0;
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.what);
        fs::path folder = root / std::to_string(++number);
        fs::create_directories(folder);
        refusal.prepare(folder);
        std::map<std::string, std::string> before = folderContents(folder);
        std::vector<std::string> arguments;
        for (const std::string& argument : refusal.arguments) {
            arguments.push_back(argument[0] == '@' ? (folder / argument.substr(1)).string() : argument);
        }
        try {
            brandCommand(arguments);
            ADD_FAILURE() << "brand took it";
        } catch (const Failure& failure) {
            std::string message = failure.what();
            EXPECT_NE(message.find(refusal.sentence), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
        EXPECT_EQ(folderContents(folder), before);
    }
    fs::remove_all(root);
}
