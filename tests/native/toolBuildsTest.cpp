// Both builds of the deployer's tool side by side, run from Linux: the
// native program directly, launchertool.exe under Wine. They must write the
// same bytes and say the same things; hostile files must end each in one
// error line. The Wine-run brand test reads the Linux copies this test
// leaves in LINUX_COPIES back through the system's own calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

enum class Build { linuxProgram, windowsProgram };
const Build builds[] = {Build::linuxProgram, Build::windowsProgram};

const char* nameOf(Build build) {
    return build == Build::linuxProgram ? "Linux build" : "Windows build";
}

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
    double seconds = 0;
};

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The Windows program gets the paths it is given as Wine's Z: drive shows them.
std::string argumentFor(Build build, const std::string& argument) {
    if (build == Build::linuxProgram || argument.empty() || argument[0] != '/') {
        return argument;
    }
    std::string windows = "Z:" + argument;
    for (char& c : windows) {
        c = c == '/' ? '\\' : c;
    }
    return windows;
}

ToolRun runTool(Build build, const std::vector<std::string>& arguments) {
    std::string command = build == Build::linuxProgram
                              ? shellQuoted(LAUNCHERTOOL)
                              : shellQuoted(WINE_RUN) + " " + shellQuoted(WINE_PREFIX) + " " +
                                    shellQuoted(LAUNCHERTOOL_EXE);
    for (const std::string& argument : arguments) {
        command += " " + shellQuoted(argumentFor(build, argument));
    }
    command += " 2>&1";
    ToolRun run;
    auto start = std::chrono::steady_clock::now();
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.output.append(buffer, got);
    }
    int status = pclose(pipe);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

fs::path freshFolder(const std::string& name) {
    fs::path folder = fs::path(TOOL_RUNS) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::uint32_t u32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    }
    return value;
}

std::uint16_t u16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(at)) |
                                      static_cast<unsigned char>(bytes.at(at + 1)) << 8);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    }
}

// The headers of a 32-bit program file, read here on their own.
struct Layout {
    std::size_t optional = 0;
    std::size_t table = 0;
    std::size_t sections = 0;
};

Layout layoutOf(const std::string& image) {
    Layout layout;
    std::size_t nt = u32(image, 60);
    layout.sections = u16(image, nt + 6);
    layout.optional = nt + 24;
    layout.table = layout.optional + u16(image, nt + 20);
    return layout;
}

// Section `name`'s field at `field` (12 the address, 20 the file offset).
std::uint32_t sectionField(const std::string& image, const std::string& name, std::size_t field) {
    Layout layout = layoutOf(image);
    for (std::size_t i = 0; i < layout.sections; ++i) {
        if (image.compare(layout.table + 40 * i, name.size(), name) == 0) {
            return u32(image, layout.table + 40 * i + field);
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

// The sections follow each other without gaps and on their alignments, the
// image's size covers the last, and every directory lies inside a section.
void expectSoundLayout(const std::string& image) {
    Layout layout = layoutOf(image);
    std::uint32_t sectionAlignment = u32(image, layout.optional + 32);
    std::uint32_t fileAlignment = u32(image, layout.optional + 36);
    std::uint64_t nextAddress = 0;
    std::uint64_t nextRaw = 0;
    auto up = [](std::uint64_t value, std::uint32_t alignment) {
        return (value + alignment - 1) / alignment * alignment;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    for (std::size_t i = 0; i < layout.sections; ++i) {
        std::size_t at = layout.table + 40 * i;
        std::uint32_t virtualSize = u32(image, at + 8);
        std::uint32_t address = u32(image, at + 12);
        std::uint32_t rawSize = u32(image, at + 16);
        std::uint32_t raw = u32(image, at + 20);
        EXPECT_EQ(address % sectionAlignment, 0u) << "section " << i;
        EXPECT_TRUE(nextAddress == 0 || address == nextAddress) << "section " << i;
        nextAddress = up(std::uint64_t{address} + virtualSize, sectionAlignment);
        if (rawSize != 0) {
            EXPECT_EQ(raw % fileAlignment, 0u) << "section " << i;
            EXPECT_TRUE(nextRaw == 0 || raw == nextRaw) << "section " << i;
            EXPECT_LE(std::uint64_t{raw} + rawSize, image.size());
            nextRaw = std::uint64_t{raw} + rawSize;
        }
        spans.emplace_back(address, virtualSize);
    }
    EXPECT_EQ(u32(image, layout.optional + 56), nextAddress) << "SizeOfImage";
    for (std::size_t d = 0; d < 16; ++d) {
        std::uint32_t address = u32(image, layout.optional + 96 + 8 * d);
        std::uint32_t size = u32(image, layout.optional + 100 + 8 * d);
        if (d == 4 || size == 0) {
            continue;
        }
        bool inside = false;
        for (const auto& span : spans) {
            inside = inside || (address >= span.first && address + std::uint64_t{size} <= span.first + std::uint64_t{span.second});
        }
        EXPECT_TRUE(inside) << "directory " << d;
    }
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What a folder holds, by name.
std::map<std::string, std::string> contentsOf(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::directory_iterator(folder)) {
        contents[entry.path().filename().string()] = readFile(entry.path());
    }
    return contents;
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

std::string withCertificate(std::string image) {
    image.resize((image.size() + 7) / 8 * 8, '\0');
    std::string table = std::string("\x18\0\0\0\0\x02\x02\0", 8) + "made-up signature";
    table.resize(24, '\0');
    Layout layout = layoutOf(image);
    put32(image, layout.optional + 96 + 8 * 4, static_cast<std::uint32_t>(image.size()));
    put32(image, layout.optional + 100 + 8 * 4, static_cast<std::uint32_t>(table.size()));
    return image + table;
}

}  // namespace

TEST(ToolBuilds, WriteTheSameSoundCopyAndSayTheSame) {
    fs::path folder = freshFolder("same");
    fs::path copies = fs::path(LINUX_COPIES);
    fs::create_directories(copies);
    writeFile(folder / "Signed.exe", withCertificate(readFile(LAUNCHER_EXE)));
    // The test icon with every entry named five times over and 1 MB after
    // its last image, which its PNG's IEND ends.
    std::string icon = readFile(BRAND_ICON);
    std::size_t count = u16(icon, 4);
    std::string repeated = icon.substr(0, 6);
    repeated[4] = static_cast<char>(count * 5);
    for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < count; ++i) {
            std::string entry = icon.substr(6 + 16 * i, 16);
            put32(entry, 12, u32(entry, 12) + static_cast<std::uint32_t>(16 * 4 * count));
            if (i + 1 == count) {
                put32(entry, 8, u32(entry, 8) + (1u << 20));
            }
            repeated += entry;
        }
    }
    repeated += icon.substr(6 + 16 * count) + std::string(1u << 20, 'j');
    writeFile(folder / "repeated.ico", repeated);
    // One PNG of 8 MB (a private chunk of that size before its IEND), named
    // by 200 entries: a copy whose groups name one large image 200 times.
    std::size_t pngAt = u32(icon, 6 + 16 * 3 + 12);
    std::string png = icon.substr(pngAt, u32(icon, 6 + 16 * 3 + 8));
    std::string chunk = "prVt" + std::string(8u << 20, 'p');
    std::string big = png.substr(0, png.size() - 12) + std::string(4, '\0') + chunk + std::string(4, '\0') +
                      png.substr(png.size() - 12);
    for (int i = 0; i < 4; ++i) {
        big[png.size() - 12 + i] = static_cast<char>((chunk.size() - 4) >> (24 - 8 * i));
        big[png.size() - 12 + 4 + chunk.size() + i] = static_cast<char>(crc32(chunk) >> (24 - 8 * i));
    }
    std::string eight = std::string("\0\0\1\0\xC8\0", 6);
    for (int i = 0; i < 200; ++i) {
        eight += icon.substr(6 + 16 * 3, 8);
        eight.append(8, '\0');
        put32(eight, eight.size() - 8, static_cast<std::uint32_t>(big.size()));
        put32(eight, eight.size() - 4, 6 + 16 * 200);
    }
    writeFile(folder / "eight.ico", eight + big);

    struct Request {
        const char* name;
        std::vector<std::string> arguments;  // SOURCE and OUTPUT follow
        std::string source;
        std::size_t lines;  // "wrote", and the note on a signature dropped
    };
    const std::string launcher = LAUNCHER_EXE;
    const Request requests[] = {
        {"Acme.exe", {"--icon", BRAND_ICON, "--version", "1.4.0.2", "--product", "Acmé Stüdio ∑",
                      "--description", "Der Start", "--company", "Acmé GmbH", "--copyright", "© 2026"},
         launcher, 1},
        {"Plain.exe", {}, launcher, 1},
        {"FromSigned.exe", {"--product", "Acme"}, (folder / "Signed.exe").string(), 2},
        {"Again.exe", {"--icon", REBRAND_ICON}, (copies / "Acme.exe").string(), 1},
        {"Repeated.exe", {"--icon", (folder / "repeated.ico").string()}, launcher, 1},
        {"Eight.exe", {"--icon", (folder / "eight.ico").string()}, launcher, 1},
        // A program whose resources are its last section.
        {"Last.exe", {"--icon", REBRAND_ICON, "--product", "Acme"},
         std::string(PROGRAM_SEEDS) + "/tiny-resources-last.exe", 1},
    };
    for (const Request& request : requests) {
        SCOPED_TRACE(request.name);
        std::map<Build, std::string> written;
        for (Build build : builds) {
            fs::path output = (build == Build::linuxProgram ? copies : folder) / request.name;
            std::vector<std::string> arguments = {"brand"};
            arguments.insert(arguments.end(), request.arguments.begin(), request.arguments.end());
            arguments.push_back(request.source);
            arguments.push_back(output.string());
            ToolRun run = runTool(build, arguments);
            EXPECT_EQ(run.exitCode, 0) << nameOf(build) << ": " << run.output;
            EXPECT_EQ(linesOf(run.output).size(), request.lines) << run.output;
            written[build] = readFile(output);
        }
        EXPECT_EQ(written[Build::linuxProgram], written[Build::windowsProgram]);
        expectSoundLayout(written[Build::linuxProgram]);
    }
    // The same inputs give the same bytes on every run.
    std::vector<std::string> first = {"brand"};
    first.insert(first.end(), requests[0].arguments.begin(), requests[0].arguments.end());
    first.insert(first.end(), {launcher, (folder / "Acme.exe").string()});
    EXPECT_EQ(runTool(Build::linuxProgram, first).exitCode, 0);
    EXPECT_EQ(readFile(folder / "Acme.exe"), readFile(copies / "Acme.exe"));
    // Each image stored once, with only the bytes its header accounts for:
    // the repeated icon costs its group entries, not five copies and the tail.
    EXPECT_LT(readFile(copies / "Repeated.exe").size(), readFile(copies / "Acme.exe").size() + 4096);
    EXPECT_LT(readFile(copies / "Eight.exe").size(), readFile(LAUNCHER_EXE).size() + big.size());
    // info reads the large image once, not 200 times.
    ToolRun eightInfo = runTool(Build::linuxProgram, {"info", (copies / "Eight.exe").string()});
    EXPECT_EQ(eightInfo.exitCode, 0) << eightInfo.output;
    EXPECT_LT(eightInfo.seconds, 1.0);
    EXPECT_NE(eightInfo.output.find("icon group 107: 200 images\n"), std::string::npos) << eightInfo.output;

    std::map<Build, std::string> json;
    for (Build build : builds) {
        ToolRun run = runTool(build, {"info", "--json", (copies / "Acme.exe").string()});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        json[build] = run.output;
    }
    EXPECT_EQ(json[Build::linuxProgram], json[Build::windowsProgram]);
}

TEST(ToolBuilds, InfoTextShowsControlCharactersVisibly) {
    fs::path folder = freshFolder("visible");
    fs::path copy = folder / "Forged.exe";
    ASSERT_EQ(runTool(Build::linuxProgram,
                      {"brand", "--product", "Acme\nsignature: signed\x1b[2J", LAUNCHER_EXE, copy.string()})
                  .exitCode,
              0);
    for (Build build : builds) {
        ToolRun run = runTool(build, {"info", copy.string()});
        EXPECT_EQ(run.exitCode, 0) << nameOf(build) << ": " << run.output;
        std::vector<std::string> lines = linesOf(run.output);
        std::size_t signatures = 0;
        for (const std::string& line : lines) {
            signatures += line.rfind("signature:", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(signatures, 1u) << nameOf(build) << ": " << run.output;
        EXPECT_NE(run.output.find("ProductName: Acme\\nsignature: signed\\x1B[2J\n"), std::string::npos)
            << nameOf(build) << ": " << run.output;
    }
}

TEST(ToolBuilds, LinuxCheckSaysHowToRunItUnderWine) {
    ToolRun run = runTool(Build::linuxProgram, {"check", "--json", "/opt/My Apps/Acme.exe"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "error: check runs on Windows only, with the launcher's own code; under "
                          "Wine: wine launchertool.exe check --json '/opt/My Apps/Acme.exe'\n");
}

namespace {

// Where the resource section of `image` starts in the file, and its address.
struct ResourcePlace {
    std::size_t raw = 0;
    std::uint32_t address = 0;
};

ResourcePlace resourcesOf(const std::string& image) {
    return {sectionField(image, ".rsrc", 20), sectionField(image, ".rsrc", 12)};
}

// The file offset of the entry for `id` in the directory at `directory`
// (an offset in the resource section).
std::size_t entryFor(const std::string& image, std::size_t directory, std::uint32_t id) {
    std::size_t raw = resourcesOf(image).raw;
    std::size_t count = u16(image, raw + directory + 12) + u16(image, raw + directory + 14);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t entry = raw + directory + 16 + 8 * i;
        if (u32(image, entry) == id) {
            return entry;
        }
    }
    ADD_FAILURE() << "no resource entry " << id;
    return 0;
}

// The subdirectory or data entry an entry leads to, as a section offset.
std::size_t targetOf(const std::string& image, std::size_t entry) {
    return u32(image, entry + 4) & 0x7FFFFFFFu;
}

// The file offset of the data entry of resource type/name (first language).
std::size_t dataEntryOf(const std::string& image, std::uint32_t type, std::uint32_t name) {
    std::size_t names = targetOf(image, entryFor(image, 0, type));
    std::size_t languages = targetOf(image, entryFor(image, names, name));
    std::size_t raw = resourcesOf(image).raw;
    return raw + targetOf(image, raw + languages + 16);
}

using Change = std::function<void(std::string&)>;

// A resource tree of three levels of 1,000 entries, each level's entries
// all leading to the one directory below: a billion resources in 24 KB.
void fanOut(std::string& image) {
    std::size_t raw = resourcesOf(image).raw;
    const std::size_t entries = 1000;
    const std::size_t directory = 16 + 8 * entries;
    for (std::size_t level = 0; level < 3; ++level) {
        std::size_t at = raw + level * directory;
        std::fill(image.begin() + at, image.begin() + at + directory, '\0');
        image[at + 14] = static_cast<char>(entries & 0xFF);
        image[at + 15] = static_cast<char>(entries >> 8);
        for (std::size_t i = 0; i < entries; ++i) {
            put32(image, at + 16 + 8 * i, static_cast<std::uint32_t>(i + 1));
            put32(image, at + 20 + 8 * i,
                  level < 2 ? 0x80000000u | static_cast<std::uint32_t>((level + 1) * directory)
                            : static_cast<std::uint32_t>(3 * directory));
        }
    }
    // The one resource: four bytes right after its data entry.
    std::size_t data = raw + 3 * directory;
    put32(image, data, resourcesOf(image).address + static_cast<std::uint32_t>(3 * directory + 16));
    put32(image, data + 4, 4);
}

struct Hostile {
    const char* what;
    Change change;               // to the launcher, or null for an icon case
    std::vector<std::string> options;  // brand's options; "@bad.ico" is the case's icon
    std::function<std::string()> icon;  // the icon file, for an icon case
    bool infoToo;
    const char* message;
};

}  // namespace

TEST(ToolBuilds, HostileFilesEndInOneErrorLineAndWriteNothing) {
    const std::string launcher = readFile(LAUNCHER_EXE);
    const std::string icon = readFile(BRAND_ICON);
    auto iconWith = [&](std::function<void(std::string&)> change) {
        return [=]() {
            std::string bytes = icon;
            change(bytes);
            return bytes;
        };
    };
    const Hostile cases[] = {
        {"a directory looping back to the root",
         [](std::string& image) { put32(image, resourcesOf(image).raw + 20, 0x80000000u); }, {}, {}, true,
         "a resource directory is reached twice"},
        {"a tree fanning out to a billion resources", fanOut, {}, {}, true,
         "a resource directory is reached twice"},
        {"an icon directory outside the file",
         [](std::string& image) { put32(image, entryFor(image, 0, 3) + 4, 0xFFFFFFF0u); }, {}, {}, true,
         "a resource directory lies outside the section"},
        {"a version record claiming 200,000 bytes",
         [](std::string& image) { put32(image, dataEntryOf(image, 16, 1) + 4, 200000); }, {}, {}, true,
         "runs past its section or the file"},
        {"a resource of 0x7FFFFFFF bytes",
         [](std::string& image) { put32(image, dataEntryOf(image, 16, 1) + 4, 0x7FFFFFFFu); }, {}, {}, true,
         "runs past its section or the file"},
        {"a file cut inside its resources",
         [](std::string& image) { image.resize(resourcesOf(image).raw + 0x1000); }, {}, {}, true,
         "runs past the end of the file"},
        {"directory counts of 65,535 and 65,535",
         [](std::string& image) { put32(image, resourcesOf(image).raw + 12, 0xFFFFFFFFu); }, {}, {}, true,
         "a resource directory runs past the section"},
        {"an icon group naming an image the file lacks",
         [](std::string& image) {
             std::size_t group = resourcesOf(image).raw + u32(image, dataEntryOf(image, 14, 107)) -
                                 resourcesOf(image).address;
             image[group + 6 + 12] = static_cast<char>(0xE7);
             image[group + 6 + 13] = 0x03;
         },
         {}, {}, true, "names image 999, which the file lacks"},
        {"a 64-bit program",
         [](std::string& image) { image[layoutOf(image).optional + 1] = 0x02; }, {}, {}, true,
         "is no 32-bit Windows program file"},
        {"a text", [](std::string& image) { image = "no program\n"; }, {}, {}, true, "is no program file"},
        {"no icon group 107",
         [](std::string& image) {
             put32(image, entryFor(image, targetOf(image, entryFor(image, 0, 14)), 107), 109);
         },
         {}, {}, false, "has no icon group 107"},
        {"no version record", [](std::string& image) { put32(image, entryFor(image, 0, 16), 17); }, {}, {},
         false, "has no version record"},
        {"an icon group ahead of 107",
         [](std::string& image) {
             put32(image, entryFor(image, targetOf(image, entryFor(image, 0, 14)), 108), 100);
         },
         {"--icon", BRAND_ICON}, {}, false, "has the icon group 100 ahead of 107"},
        {"code after the resources",
         [](std::string& image) {
             std::size_t at = layoutOf(image).table + 40 * (layoutOf(image).sections - 1) + 36;
             put32(image, at, u32(image, at) | 0x20000020u);
         },
         {}, {}, false, "follows its resources and holds more than relocations"},
        {"a section named across two lines, running past the file",
         [](std::string& image) {
             std::size_t at = layoutOf(image).table + 40 * (layoutOf(image).sections - 1);
             image.replace(at, 8, std::string(".r\nerror", 8));
             put32(image, at + 16, 0x7FFFFFF0u);
         },
         {}, {}, true, "its section .r\\nerror runs past the end of the file"},
        {"an icon file claiming more images than it holds", nullptr, {"--icon", "@bad.ico"},
         iconWith([](std::string& ico) { ico[4] = static_cast<char>(200); ico.resize(6 + 16 * 10); }),
         false, "is truncated"},
        {"an image past the icon file's end", nullptr, {"--icon", "@bad.ico"},
         iconWith([](std::string& ico) { put32(ico, 6 + 16 + 12, static_cast<std::uint32_t>(ico.size())); }),
         false, "points outside the file"},
        {"a bitmap larger than its directory entry says", nullptr, {"--icon", "@bad.ico"},
         iconWith([](std::string& ico) { ico[6 + 16 * 1] = static_cast<char>(16); }), false,
         "is 32 by 32 pixels, but the directory says 16 by 32"},
        {"images claiming more than 16 MB", nullptr, {"--icon", "@bad.ico"},
         []() {
             std::string ico = std::string("\0\0\1\0\2\0", 6) + std::string(32, '\0');
             ico.resize(8400 * 1024, 'x');
             put32(ico, 6 + 8, static_cast<std::uint32_t>(ico.size() - 38));
             put32(ico, 6 + 12, 38);
             put32(ico, 22 + 8, static_cast<std::uint32_t>(ico.size() - 39));
             put32(ico, 22 + 12, 39);
             return ico;
         },
         false, "claims more than 16 MB of images"},
        {"a version text too long", nullptr, {"--product", std::string(5000, 'x')}, {}, false,
         "may have at most 4000"},
    };
    for (const Hostile& hostile : cases) {
        SCOPED_TRACE(hostile.what);
        fs::path folder = freshFolder("hostile");
        std::string source = LAUNCHER_EXE;
        if (hostile.change) {
            std::string image = launcher;
            hostile.change(image);
            source = (folder / "Source.exe").string();
            writeFile(source, image);
        }
        if (hostile.icon) {
            writeFile(folder / "bad.ico", hostile.icon());
        }
        std::vector<std::vector<std::string>> commands = {{"brand"}};
        for (const std::string& option : hostile.options) {
            commands[0].push_back(option == "@bad.ico" ? (folder / "bad.ico").string() : option);
        }
        commands[0].insert(commands[0].end(), {source, (folder / "Acme.exe").string()});
        if (hostile.infoToo) {
            commands.push_back({"info", source});
            commands.push_back({"info", "--json", source});
        }
        std::map<std::string, std::string> before = contentsOf(folder);
        for (Build build : builds) {
            for (const std::vector<std::string>& command : commands) {
                ToolRun run = runTool(build, command);
                std::string what = std::string(nameOf(build)) + " " + command[0] + ": " + run.output;
                EXPECT_EQ(run.exitCode, 1) << what;
                EXPECT_EQ(run.output.rfind("error: ", 0), 0u) << what;
                EXPECT_EQ(linesOf(run.output).size(), 1u) << what;
                EXPECT_NE(run.output.find(hostile.message), std::string::npos) << what;
                EXPECT_EQ(contentsOf(folder), before) << what;
                if (build == Build::linuxProgram) {
                    EXPECT_LT(run.seconds, 1.0) << what;
                }
            }
        }
    }
}

TEST(ToolBuilds, CopySignedWithOsslsigncodeVerifiesAndReportsSigned) {
    fs::path folder = freshFolder("signed");
    std::string in = (folder / "Acme-unsigned.exe").string();
    ASSERT_EQ(runTool(Build::linuxProgram, {"brand", "--icon", BRAND_ICON, LAUNCHER_EXE, in}).exitCode, 0);
    std::string signedCopy = (folder / "Acme.exe").string();
    std::string key = shellQuoted((folder / "key.pem").string());
    std::string certificate = shellQuoted((folder / "cert.pem").string());
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Acme"
                           " -addext extendedKeyUsage=codeSigning -keyout " + key + " -out " +
                           certificate + " 2>/dev/null").c_str()),
              0);
    ASSERT_EQ(std::system(("osslsigncode sign -certs " + certificate + " -key " + key +
                           " -n Acme -in " + shellQuoted(in) + " -out " + shellQuoted(signedCopy) + " >/dev/null").c_str()),
              0);
    EXPECT_EQ(std::system(("osslsigncode verify -CAfile " + certificate + " -in " + shellQuoted(signedCopy) +
                           " >/dev/null 2>&1").c_str()),
              0);
    for (Build build : builds) {
        ToolRun run = runTool(build, {"info", signedCopy});
        EXPECT_EQ(linesOf(run.output).back(), "signature: signed") << nameOf(build) << ": " << run.output;
    }
}

TEST(ToolBuilds, LinuxOutputFailuresLeaveTheFolderAsItWas) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> prepare;
        std::string output;  // in the case's folder
        const char* message;
    };
    auto launcherAs = [](const fs::path& folder) { fs::copy_file(LAUNCHER_EXE, folder / "Acme.exe"); };
    const Case cases[] = {
        {"the source itself", launcherAs, "Acme.exe", "itself: write the branded copy to another file"},
        {"the source through a hard link",
         [&](const fs::path& folder) {
             launcherAs(folder);
             fs::create_hard_link(folder / "Acme.exe", folder / "Link.exe");
         },
         "Link.exe", "itself"},
        {"the source through a symbolic link",
         [&](const fs::path& folder) {
             launcherAs(folder);
             fs::create_symlink(folder / "Acme.exe", folder / "Link.exe");
         },
         "Link.exe", "itself"},
        {"a folder in the copy's place",
         [&](const fs::path& folder) {
             launcherAs(folder);
             fs::create_directory(folder / "Copy.exe");
         },
         "Copy.exe", "Copy.exe names a folder, not the file to write"},
        {"a device in the copy's place",
         [&](const fs::path& folder) {
             launcherAs(folder);
             fs::create_symlink("/dev/null", folder / "Null.exe");
         },
         "Null.exe", "Null.exe names a device, not the file to write"},
        {"a folder that does not exist", launcherAs, "nowhere/Copy.exe", "cannot write in"},
        {"a folder named as the output", launcherAs, "nowhere/", "names a folder"},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.what);
        fs::path folder = freshFolder("output");
        failure.prepare(folder);
        std::map<std::string, std::string> before = contentsOf(folder);
        ToolRun run = runTool(Build::linuxProgram,
                              {"brand", (folder / "Acme.exe").string(), (folder / failure.output).string()});
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_EQ(linesOf(run.output).size(), 1u) << run.output;
        EXPECT_NE(run.output.find(failure.message), std::string::npos) << run.output;
        EXPECT_EQ(contentsOf(folder), before);
    }
}
