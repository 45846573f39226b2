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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
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

// With `errors`, standard error is kept apart in it; `shell` runs before the
// tool in the same shell (a limit, a timeout).
ToolRun runTool(Build build, const std::vector<std::string>& arguments,
                std::string* errors = nullptr, const std::string& shell = "") {
    std::string command = build == Build::linuxProgram
                              ? shellQuoted(LAUNCHERTOOL)
                              : shellQuoted(WINE_RUN) + " " + shellQuoted(WINE_PREFIX) + " " +
                                    shellQuoted(LAUNCHERTOOL_EXE);
    for (const std::string& argument : arguments) {
        command += " " + shellQuoted(argumentFor(build, argument));
    }
    const std::string errorFile = std::string(TOOL_RUNS) + "/stderr";
    fs::create_directories(TOOL_RUNS);
    command += errors != nullptr ? " 2>" + shellQuoted(errorFile) : std::string(" 2>&1");
    if (!shell.empty()) {
        command = "bash -c " + shellQuoted(shell + "; exec " + command);
    }
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
    if (errors != nullptr) {
        *errors = readFile(errorFile);
    }
    return run;
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
        {"a shipped name with a folder", nullptr, {"--name", "dist/Acme.exe"}, {}, false,
         "--name dist/Acme.exe: give the file name the copy ships under"},
        {"a shipped name the launcher would refuse", nullptr, {"--name", "Acme"}, {}, false,
         "give the file name the copy ships under"},
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
    // The deployer guide's recipe: branded under a build name, shipped as Acme.exe.
    ASSERT_EQ(runTool(Build::linuxProgram, {"brand", "--icon", BRAND_ICON, "--name", "Acme.exe", LAUNCHER_EXE, in})
                  .exitCode,
              0);
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
        EXPECT_NE(run.output.find("\nInternalName: Acme.exe\nOriginalFilename: Acme.exe\n"), std::string::npos)
            << nameOf(build) << ": " << run.output;
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

TEST(ToolBuilds, HelpAndVersionAnswerOnStandardOutputUsageErrorsOnStandardError) {
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        const char* out;  // the first line on standard output
        const char* err;  // the first line on standard error
    };
    const Case cases[] = {
        {{"--help"}, 0, "usage:", ""},
        {{"-h"}, 0, "usage:", ""},
        {{"brand", "--help"}, 0, "usage: launchertool brand [--icon FILE.ico]", ""},
        {{"info", "-h"}, 0, "usage: launchertool info [--json] FILE.exe", ""},
        {{"check", "--help"}, 0, "usage: launchertool check [--json] PATH\\Name.exe", ""},
        {{"--version"}, 0, "launchertool " LAUNCHER_VERSION, ""},
        {{}, 2, "", "usage:"},
        {{"--verbose"}, 2, "", "usage:"},
        {{"brand", "--help", "Acme.exe"}, 2, "", "usage: launchertool brand"},
    };
    for (Build build : builds) {
        for (const Case& usage : cases) {
            std::string errors;
            ToolRun run = runTool(build, usage.arguments, &errors);
            std::string what = std::string(nameOf(build)) + " " +
                               (usage.arguments.empty() ? "" : usage.arguments[0]) + ": " + run.output + errors;
            EXPECT_EQ(run.exitCode, usage.exitCode) << what;
            EXPECT_EQ(run.output.rfind(usage.out, 0), 0u) << what;
            EXPECT_EQ(run.output.empty(), *usage.out == '\0') << what;
            EXPECT_EQ(errors.rfind(usage.err, 0), 0u) << what;
            EXPECT_EQ(errors.empty(), *usage.err == '\0') << what;
        }
        // The whole usage names every verb's own.
        ToolRun help = runTool(build, {"--help"});
        for (const char* verb : {"check [--json]", "brand [--icon", "--name NAME.exe] SOURCE.exe", "info [--json]"}) {
            EXPECT_NE(help.output.find(verb), std::string::npos) << nameOf(build) << ": " << help.output;
        }
    }
}

TEST(ToolBuilds, StandardOutputCarriesTheReportAloneNotesGoToStandardError) {
    fs::path folder = freshFolder("streams");
    writeFile(folder / "Signed.exe", withCertificate(readFile(LAUNCHER_EXE)));
    for (Build build : builds) {
        std::string errors;
        ToolRun run = runTool(build, {"brand", (folder / "Signed.exe").string(), (folder / "Acme.exe").string()},
                              &errors);
        EXPECT_EQ(run.exitCode, 0) << nameOf(build) << ": " << run.output << errors;
        EXPECT_EQ(linesOf(run.output).size(), 1u) << nameOf(build) << ": " << run.output;
        EXPECT_EQ(run.output.rfind("wrote ", 0), 0u) << nameOf(build) << ": " << run.output;
        EXPECT_EQ(errors.rfind("note: ", 0), 0u) << nameOf(build) << ": " << errors;
        EXPECT_NE(errors.find("after branding\n"), std::string::npos) << nameOf(build) << ": " << errors;
    }
}

TEST(ToolBuilds, ReadOnlyOutputIsRefusedByBothBuildsWithOneSentence) {
    for (Build build : builds) {
        fs::path folder = freshFolder("readOnly");
        writeFile(folder / "Acme.exe", "an earlier copy");
        fs::permissions(folder / "Acme.exe", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        ToolRun run = runTool(build, {"brand", LAUNCHER_EXE, (folder / "Acme.exe").string()});
        EXPECT_EQ(run.exitCode, 1) << nameOf(build) << ": " << run.output;
        EXPECT_EQ(linesOf(run.output).size(), 1u) << nameOf(build) << ": " << run.output;
        EXPECT_NE(run.output.find("Acme.exe is a read-only file: make it writable or write the branded copy to "
                                  "another file"),
                  std::string::npos)
            << nameOf(build) << ": " << run.output;
        EXPECT_EQ(contentsOf(folder), (std::map<std::string, std::string>{{"Acme.exe", "an earlier copy"}}));
    }
}

TEST(ToolBuilds, LinuxCopyTakesItsSourcesPermissionsAsCpDoes) {
    const std::pair<fs::perms, fs::perms> modes[] = {  // source, copy under the umask 022
        {fs::perms(0755), fs::perms(0755)},
        {fs::perms(0644), fs::perms(0644)},
        {fs::perms(0700), fs::perms(0700)},
        {fs::perms(0777), fs::perms(0755)},
    };
    mode_t mask = umask(022);
    for (const auto& [source, copy] : modes) {
        fs::path folder = freshFolder("modes");
        fs::copy_file(LAUNCHER_EXE, folder / "launcher.exe");
        fs::permissions(folder / "launcher.exe", source);
        ToolRun run = runTool(Build::linuxProgram, {"brand", (folder / "launcher.exe").string(),
                                                     (folder / "Acme.exe").string()});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(fs::status(folder / "Acme.exe").permissions(), copy) << static_cast<int>(source);
    }
    umask(mask);
}

TEST(ToolBuilds, LinuxToolRefusesAFifoAtOnce) {
    fs::path folder = freshFolder("fifo");
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0644), 0);
    const std::string pipe = (folder / "pipe").string();
    const std::string output = (folder / "Acme.exe").string();
    const std::vector<std::string> commands[] = {
        {"info", pipe},
        {"brand", pipe, output},
        {"brand", "--icon", pipe, LAUNCHER_EXE, output},
    };
    for (const std::vector<std::string>& command : commands) {
        ToolRun run = runTool(Build::linuxProgram, command, nullptr, "ulimit -t 10");
        EXPECT_EQ(run.exitCode, 1) << command[0] << ": " << run.output;
        EXPECT_EQ(run.output, "error: cannot read " + pipe + ": it is no regular file\n");
        EXPECT_LT(run.seconds, 1.0);
        EXPECT_FALSE(fs::exists(output));
    }
}

namespace {

// A source of 64 MB (the launcher and a plain overlay), which takes the tool
// long enough to write for a signal or a file size limit to catch it.
fs::path largeSource(const fs::path& folder) {
    writeFile(folder / "Large.exe", readFile(LAUNCHER_EXE) + std::string(64u << 20, 'o'));
    return folder / "Large.exe";
}

// A brand of `source` into `folder`, sent `which` as soon as its temporary
// copy appears there (Wine turns SIGINT into the Windows program's Ctrl-C);
// returns how the tool ended, and in `output` what it printed.
int brandInterrupted(Build build, const fs::path& source, const fs::path& folder, int which, bool ignored,
                     std::string& output) {
    const std::string printed = std::string(TOOL_RUNS) + "/interrupted.out";
    std::vector<std::string> command = {LAUNCHERTOOL};
    if (build == Build::windowsProgram) {
        command = {WINE_RUN, WINE_PREFIX, LAUNCHERTOOL_EXE};
    }
    for (const std::string& argument : {std::string("brand"), source.string(), (folder / "Acme.exe").string()}) {
        command.push_back(argumentFor(build, argument));
    }
    std::vector<char*> argv;
    for (std::string& argument : command) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, folder.c_str(), IN_CREATE);
    pid_t tool = fork();
    if (tool == 0) {
        // As a shell starts it in the foreground, or as a background job.
        signal(which, ignored ? SIG_IGN : SIG_DFL);
        dup2(open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const std::string temporary = build == Build::linuxProgram ? ".brand" : "brd";
    pollfd ready{watch, POLLIN, 0};
    bool sent = false;
    while (!sent && poll(&ready, 1, 20000) > 0) {
        alignas(inotify_event) char events[4096];
        ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && std::string(event->name).rfind(temporary, 0) == 0) {
                sent = kill(tool, which) == 0;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_TRUE(sent);
    output = readFile(printed);
    return status;
}

}  // namespace

TEST(ToolBuilds, InterruptedBrandRemovesItsTemporaryCopy) {
    struct Case {
        Build build;
        int signal;
        bool ignored;  // then the tool goes on and writes the copy
    };
    const Case cases[] = {
        {Build::linuxProgram, SIGINT, false},
        {Build::linuxProgram, SIGTERM, false},
        {Build::linuxProgram, SIGINT, true},
        {Build::windowsProgram, SIGINT, false},
    };
    fs::path sources = freshFolder("interruptedSource");
    fs::path source = largeSource(sources);
    for (const Case& interruption : cases) {
        SCOPED_TRACE(std::string(nameOf(interruption.build)) + ", " + strsignal(interruption.signal) +
                     (interruption.ignored ? ", ignored" : ""));
        fs::path folder = freshFolder("interrupted");
        std::string output;
        int status = brandInterrupted(interruption.build, source, folder, interruption.signal,
                                      interruption.ignored, output);
        if (interruption.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(contentsOf(folder).size(), 1u);
            EXPECT_TRUE(fs::exists(folder / "Acme.exe"));
            continue;
        }
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_EQ(output, "");
        if (interruption.build == Build::linuxProgram) {
            // Ended by the signal itself, as a shell or CI runner expects.
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == interruption.signal) << status;
        } else {
            // Windows ends a program on Ctrl-C with STATUS_CONTROL_C_EXIT
            // (0xC000013A); Wine's own handler ends it with 0.
            EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0x3A || WEXITSTATUS(status) == 0)) << status;
        }
    }
}

TEST(ToolBuilds, CopyCutShortByTheSystemIsNeverMovedIntoPlace) {
    fs::path sources = freshFolder("shortWriteSource");
    fs::path source = largeSource(sources);
    for (Build build : builds) {
        fs::path folder = freshFolder("shortWrite");
        // The system takes 32 MB of the 64 MB copy: the first write comes
        // back short, the next one refused.
        ToolRun run = runTool(build, {"brand", source.string(), (folder / "Acme.exe").string()}, nullptr,
                              "trap '' XFSZ; ulimit -f 32768");
        EXPECT_EQ(run.exitCode, 1) << nameOf(build) << ": " << run.output;
        EXPECT_EQ(run.output.rfind("error: cannot write ", 0), 0u) << nameOf(build) << ": " << run.output;
        EXPECT_TRUE(fs::is_empty(folder)) << nameOf(build);
    }
}
