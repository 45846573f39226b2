// launchertool info as a deployer reads it: what the launcher and a branded
// copy carry, in JSON and as text.
#include "testSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

namespace {

using Json = nlohmann::ordered_json;

Json image(int size, int bitCount, bool png) {
    return {{"width", size}, {"height", size}, {"bitCount", bitCount}, {"png", png}};
}

// A copy branded with the four-image test icon and texts beyond ASCII.
std::wstring brandedCopy() {
    std::wstring output = makeTempDir(L"info") + L"\\Acme.exe";
    CapturedRun run = runLauncherTool({L"brand", L"--icon", BRAND_ICON, L"--version", L"1.4.0.2",
                                       L"--product", L"Acmé Stüdio ∑", L"--company", L"Acmé",
                                       L"--copyright", L"© 2026 Acmé", LAUNCHER_EXE, output});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    return output;
}

// What every report of a 32-bit program with one version record holds
// besides the expected keys: its kind, and the record as the one of its list.
Json withKindAndRecords(Json expected) {
    Json report = {{"kind", "32-bit program"}};
    for (const auto& item : expected.items()) {
        report[item.key()] = item.value();
        if (item.key() == "strings") {
            report["versionRecords"] = {{{"language", 1033},
                                         {"fileVersion", expected["fileVersion"]},
                                         {"productVersion", expected["productVersion"]},
                                         {"strings", item.value()}}};
        }
    }
    return report;
}

Json jsonInfo(const std::wstring& path) {
    CapturedRun run = runLauncherTool({L"info", L"--json", path});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    return Json::parse(run.output, nullptr, false);
}

}  // namespace

TEST(Info, JsonDescribesTheLauncher) {
    Json images = Json::array();
    for (int size : {16, 24, 32, 48, 64, 96, 128}) {
        images.push_back(image(size, 32, false));
    }
    Json expected = {
        {"icons", {{{"group", 107}, {"images", images}}, {{"group", 108}, {"images", images}}}},
        {"fileVersion", "2.2.0.0"},
        {"productVersion", "2.2.0.0"},
        {"strings",
         {{"CompanyName", nullptr},
          {"FileDescription", "Application launcher"},
          {"FileVersion", "2.2.0.0"},
          {"InternalName", "launcher.exe"},
          {"LegalCopyright", nullptr},
          {"OriginalFilename", "launcher.exe"},
          {"ProductName", "Kestrion"},
          {"ProductVersion", "2.2.0.0"}}},
        {"executionLevel", "asInvoker"},
        {"signed", false},
    };
    EXPECT_EQ(jsonInfo(LAUNCHER_EXE), withKindAndRecords(expected));
}

TEST(Info, JsonDescribesABrandedCopy) {
    Json images = {image(16, 4, false), image(32, 32, false), image(48, 32, false),
                   image(256, 32, true)};
    Json expected = {
        {"icons", {{{"group", 107}, {"images", images}}, {{"group", 108}, {"images", images}}}},
        {"fileVersion", "1.4.0.2"},
        {"productVersion", "1.4.0.2"},
        {"strings",
         {{"CompanyName", "Acmé"},
          {"FileDescription", "Application launcher"},
          {"FileVersion", "1.4.0.2"},
          {"InternalName", "Acme.exe"},
          {"LegalCopyright", "© 2026 Acmé"},
          {"OriginalFilename", "Acme.exe"},
          {"ProductName", "Acmé Stüdio ∑"},
          {"ProductVersion", "1.4.0.2"}}},
        {"executionLevel", "asInvoker"},
        {"signed", false},
    };
    EXPECT_EQ(jsonInfo(brandedCopy()), withKindAndRecords(expected));
}

TEST(Info, TextListsEveryImageAndString) {
    std::wstring copy = brandedCopy();
    CapturedRun run = runLauncherTool({L"info", copy});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    std::vector<std::string> group = {
        "  16 x 16, 4 bits per pixel, DIB",
        "  32 x 32, 32 bits per pixel, DIB",
        "  48 x 48, 32 bits per pixel, DIB",
        "  256 x 256, 32 bits per pixel, PNG",
    };
    std::vector<std::string> expected = {utf8(copy), "kind: 32-bit program", "icon group 107: 4 images"};
    expected.insert(expected.end(), group.begin(), group.end());
    expected.push_back("icon group 108: 4 images");
    expected.insert(expected.end(), group.begin(), group.end());
    for (const char* line : {
             "file version: 1.4.0.2",
             "product version: 1.4.0.2",
             "FileDescription: Application launcher",
             "FileVersion: 1.4.0.2",
             "InternalName: Acme.exe",
             "OriginalFilename: Acme.exe",
             "ProductName: Acmé Stüdio ∑",
             "ProductVersion: 1.4.0.2",
             "CompanyName: Acmé",
             "LegalCopyright: © 2026 Acmé",
             "execution level: asInvoker",
             "signature: none",
         }) {
        expected.push_back(line);
    }
    EXPECT_EQ(linesOf(run.output), expected);
}

TEST(Info, SignedFileIsReportedAsSigned) {
    std::wstring path = makeTempDir(L"info-signed") + L"\\Signed.exe";
    writeSignedCopy(LAUNCHER_EXE, path, "a signature made up for the test");
    EXPECT_EQ(jsonInfo(path)["signed"], true);
    CapturedRun run = runLauncherTool({L"info", path});
    EXPECT_EQ(linesOf(run.output).back(), "signature: signed");
}

namespace {

// The launcher with the data entry of its first resource changed at `field`
// (0: where the data lies, 4: its size) to a value far beyond the file.
void writeDamagedResources(const std::wstring& path, std::size_t field) {
    std::string image = readFile(LAUNCHER_EXE);
    auto dword = [&](std::size_t at) {
        DWORD value = 0;
        std::memcpy(&value, &image[at], sizeof value);
        return value;
    };
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS32*>(&image[dword(0x3C)]);
    const IMAGE_DATA_DIRECTORY& resources =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    DWORD rva = resources.VirtualAddress;
    IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    while (rva < section->VirtualAddress ||
           rva >= section->VirtualAddress + section->Misc.VirtualSize) {
        ++section;
    }
    std::size_t root = rva - section->VirtualAddress + section->PointerToRawData;
    // Type, name and language: each level's first entry leads to the next.
    std::size_t entry = root;
    for (int level = 0; level < 3; ++level) {
        entry = root + (dword(entry + sizeof(IMAGE_RESOURCE_DIRECTORY) + 4) & 0x7FFFFFFF);
    }
    DWORD beyond = 0x7FFF0000;
    std::memcpy(&image[entry + field], &beyond, sizeof beyond);
    writeFile(path, image);
}

}  // namespace

TEST(Info, UsageErrorsExitWith2AndUnreadableFilesWith1) {
    std::wstring folder = makeTempDir(L"info-errors");
    writeFile(folder + L"\\Text.exe", "no program\n");
    writeDamagedResources(folder + L"\\Outside.exe", 0);
    writeDamagedResources(folder + L"\\Beyond.exe", 4);
    const std::string damaged = ": a resource's data runs past its section or the file";
    struct Case {
        std::vector<std::wstring> arguments;
        unsigned long exitCode;
        std::string start;
    };
    const Case cases[] = {
        {{L"info"}, 2, "usage: launchertool info "},
        {{L"info", L"--json"}, 2, "usage: launchertool info "},
        {{L"info", LAUNCHER_EXE, LAUNCHER_EXE}, 2, "usage: launchertool info "},
        {{L"info", L"--xml", LAUNCHER_EXE}, 2, "usage: launchertool info "},
        {{L"info", folder + L"\\Missing.exe"}, 1, "error: cannot read " + utf8(folder)},
        {{L"info", folder + L"\\Text.exe"}, 1, "error: " + utf8(folder) + "\\Text.exe is no program file"},
        {{L"info", folder + L"\\Outside.exe"}, 1,
         "error: cannot read the resources of " + utf8(folder) + "\\Outside.exe" + damaged},
        {{L"info", folder + L"\\Beyond.exe"}, 1,
         "error: cannot read the resources of " + utf8(folder) + "\\Beyond.exe" + damaged},
    };
    for (const Case& usage : cases) {
        CapturedRun run = runLauncherTool(usage.arguments);
        EXPECT_EQ(run.exitCode, usage.exitCode) << run.output;
        EXPECT_EQ(run.output.rfind(usage.start, 0), 0u) << run.output;
    }
}
