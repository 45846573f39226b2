// info on any program a deployer has, in process: 64-bit programs and DLLs,
// a damaged icon image in someone else's file, several version-record
// languages; and the version numbers brand takes.
#include "failure.h"
#include "info.h"
#include "littleEndian.h"
#include "programBuilder.h"
#include "versionRecord.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

std::string groupNaming(std::uint16_t image, int size) {
    std::string group;
    appendU16(group, 0);
    appendU16(group, 1);
    appendU16(group, 1);
    group += std::string{static_cast<char>(size & 0xFF), static_cast<char>(size & 0xFF), 0, 0};
    appendU16(group, 1);
    appendU16(group, 32);
    appendU32(group, 0);
    appendU16(group, image);
    return group;
}

struct InfoCase {
    const char* what;
    ProgramParts parts;
    Json expected;  // the JSON report's keys that the case is about
    const char* textLine;
};

ProgramParts withResources(std::vector<Resource> resources, bool wide = false, bool dll = false) {
    ProgramParts parts;
    parts.resources = std::move(resources);
    parts.wide = wide;
    parts.dll = dll;
    return parts;
}

}  // namespace

TEST(InfoReport, DescribesAnyProgramAndReportsWhatDoesNotReadOnItsLine) {
    const std::string german = versionRecordNaming(u"Deutsch", 4);
    const std::string english = versionRecordNaming(u"English", 9);
    const std::string neutral = versionRecordNaming(u"Neutral", 7);
    const std::string damage =
        "image 1 of Other.exe is a bitmap of a size no icon has: save it again at 1 to 256 pixels a side";
    const Json damaged = {{"width", nullptr}, {"height", nullptr}, {"bitCount", nullptr},
                          {"png", nullptr}, {"damage", damage}};
    const InfoCase cases[] = {
        {"a 64-bit program", withResources({numberedResource(16, 1, 0x409, english)}, true),
         {{"kind", "64-bit program"}, {"fileVersion", "9.0.0.0"}}, "kind: 64-bit program"},
        {"a 64-bit DLL", withResources({numberedResource(16, 1, 0x409, english)}, true, true),
         {{"kind", "64-bit DLL"}}, "kind: 64-bit DLL"},
        {"US English before the first language",
         withResources({numberedResource(16, 1, 0x407, german), numberedResource(16, 1, 0x409, english)}),
         {{"fileVersion", "9.0.0.0"}, {"versionRecords", {{{"language", 0x407}}, {{"language", 0x409}}}}},
         "version record: language 0x0409 of 2 languages (--json shows each)"},
        {"neutral before US English",
         withResources({numberedResource(16, 1, 0x0, neutral), numberedResource(16, 1, 0x409, english),
                        numberedResource(16, 1, 0x407, german)}),
         {{"fileVersion", "7.0.0.0"}}, "ProductName: Neutral"},
        {"the first where neither is there",
         withResources({numberedResource(16, 1, 0x407, german), numberedResource(16, 1, 0x40C, english)}),
         {{"fileVersion", "4.0.0.0"}}, "ProductName: Deutsch"},
        {"a 194 by 313 image under a 256 by 256 entry",
         withResources({numberedResource(3, 1, 0x409, dibImage(194, 313, 32, true)),
                        numberedResource(14, 1, 0x409, groupNaming(1, 0))}),
         {{"icons", Json::array({{{"group", 1}, {"images", Json::array({damaged})}}})}},
         "  damaged: "},
    };
    for (const InfoCase& row : cases) {
        SCOPED_TRACE(row.what);
        std::string program = buildProgram(row.parts);
        Json report = Json::parse(infoReport(program, "Other.exe", true));
        for (const auto& item : row.expected.items()) {
            if (item.key() == "versionRecords") {
                ASSERT_EQ(report["versionRecords"].size(), item.value().size());
                for (std::size_t i = 0; i < item.value().size(); ++i) {
                    EXPECT_EQ(report["versionRecords"][i]["language"], item.value()[i]["language"]);
                }
            } else {
                EXPECT_EQ(report[item.key()], item.value()) << item.key();
            }
        }
        std::string text = infoReport(program, "Other.exe", false);
        EXPECT_NE(text.find("\n" + std::string(row.textLine)), std::string::npos) << text;
    }
}

TEST(VersionNumbers, OnlyTheValueOfAPartCounts) {
    const std::pair<const char*, bool> cases[] = {
        {"00001.0.0.0", true}, {"000001.0.0.0", true}, {"0000000065535.0.0.1", true},
        {"065536.0.0.0", false}, {"1.0.0.99999999999999999999", false},
    };
    for (const auto& row : cases) {
        VersionNumbers numbers{};
        EXPECT_EQ(parseVersionNumbers(row.first, numbers), row.second) << row.first;
        if (row.second) {
            EXPECT_TRUE(numbers[0] == 1 || numbers[0] == 65535) << row.first;
        }
    }
}
