// The program file as brand rewrites it and info reads it, in process:
// what follows the resources moves and everything still points where it
// did; 64-bit files read; what cannot be kept is refused with a sentence.
#include "failure.h"
#include "littleEndian.h"
#include "peImage.h"
#include "programBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>
#include <utility>

namespace {

// Whether readPeImage takes an argument of type T for its bytes.
template <typename T, typename = void>
struct ReadsFrom : std::false_type {};
template <typename T>
struct ReadsFrom<T, std::void_t<decltype(readPeImage(std::declval<T>(), std::declval<const std::string&>()))>>
    : std::true_type {};

// The image borrows its bytes: a temporary would leave it dangling.
static_assert(ReadsFrom<const std::string&>::value, "a named file reads");
static_assert(!ReadsFrom<std::string&&>::value, "a temporary must not compile");
static_assert(!ReadsFrom<std::string>::value, "a temporary must not compile");

const char stringTable[] = "\x13\0\0\0.debug_aranges\0";

// A resource section that grows from one 16-byte resource to 3,000 bytes,
// so that everything after it moves.
std::string rebuilt(const std::string& program) {
    PeImage image = readPeImage(program, "Source.exe");
    std::vector<Resource> bigger = {numberedResource(10, 1, 0x409, std::string(3000, 'r'))};
    return withResourceSection(image, layOutResourceTree(bigger, resourceSection(image, "Source.exe").address),
                               "Source.exe");
}

struct MoveCase {
    const char* what;
    std::function<void(ProgramParts&)> change;
    const char* refusal;  // empty: it is rebuilt
};

}  // namespace

TEST(ProgramFile, WhatFollowsTheResourcesMovesAndStillPointsWhereItDid) {
    const MoveCase cases[] = {
        {"a plain overlay", [](ProgramParts& p) { p.overlay = "installer payload"; }, ""},
        {"data after the certificate table",
         [](ProgramParts& p) {
             p.overlay = "before";
             p.certificate = std::string("\x10\0\0\0\0\x02\x02\0signatur", 16);
             p.afterCertificate = "payload after the table";
         },
         ""},
        {"a symbol table with its strings after .rsrc",
         [](ProgramParts& p) {
             p.symbols = std::string(36, 's') + std::string(stringTable, sizeof stringTable - 1);
             p.symbolCount = 2;
         },
         ""},
        {"debug data after .rsrc", [](ProgramParts& p) { p.debugData = "RSDS codeview record"; }, ""},
        {"a debug section after .rsrc, named by its long name",
         [](ProgramParts& p) {
             p.afterResources = {".reloc", "/4"};
             p.symbols = std::string(stringTable, sizeof stringTable - 1);
         },
         "its section .debug_aranges follows its resources and holds more than relocations"},
        {"a 64-bit program", [](ProgramParts& p) { p.wide = true; },
         "Source.exe is a 64-bit program file: brand takes only the 32-bit launcher"},
        {"a symbol table cut off by the file's end",
         [](ProgramParts& p) {
             p.symbols = "short";
             p.symbolCount = 100;
         },
         "its COFF symbol table lies in its resources, in its signature or past its end"},
    };
    for (const MoveCase& row : cases) {
        SCOPED_TRACE(row.what);
        ProgramParts parts;
        parts.resources = {numberedResource(10, 1, 0x409, std::string(16, 'o'))};
        row.change(parts);
        const std::string before = buildProgram(parts);
        if (*row.refusal != '\0') {
            try {
                rebuilt(before);
                ADD_FAILURE() << "rebuilt";
            } catch (const Failure& failure) {
                EXPECT_NE(std::string(failure.what()).find(row.refusal), std::string::npos) << failure.what();
            }
            continue;
        }
        const std::string after = rebuilt(before);
        ASSERT_GT(after.size(), before.size());
        PeImage copy = readPeImage(after, "Acme.exe");
        EXPECT_FALSE(isSigned(copy));
        EXPECT_EQ(after.find("signatur"), std::string::npos) << "the old certificate table is still there";
        const std::string tail = parts.symbols + parts.debugData + parts.overlay;
        EXPECT_EQ(after.substr(after.size() - tail.size() - parts.afterCertificate.size()),
                  tail + parts.afterCertificate);
        if (!parts.symbols.empty()) {
            EXPECT_EQ(after.substr(symbolTableOffset(after), parts.symbols.size()), parts.symbols);
        }
        if (!parts.debugData.empty()) {
            EXPECT_EQ(after.substr(debugDataOffset(after), parts.debugData.size()), parts.debugData);
        }
        EXPECT_EQ(u32At(after, checksumOffset(copy)), peChecksum(after, checksumOffset(copy)));
    }
}

TEST(ProgramFile, AnyWindowsProgramReadsAndAWrongHeaderKindDoesNot) {
    struct Case {
        const char* what;
        bool wide;
        std::uint16_t machine;  // 0: as built
        const char* refusal;
    };
    const Case cases[] = {
        {"a 32-bit program", false, 0, ""},
        {"a 64-bit program", true, 0, ""},
        {"a 64-bit header on an x86 program", true, 0x14C, "its machine type and the kind of its optional header disagree"},
        {"a 32-bit header on an x64 program", false, 0x8664, "its machine type and the kind of its optional header disagree"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        ProgramParts parts;
        parts.wide = row.wide;
        parts.resources = {numberedResource(10, 1, 0x409, "data")};
        std::string program = buildProgram(parts);
        if (row.machine != 0) {
            putU16(program, 0x44, row.machine);
        }
        try {
            PeImage image = readPeImage(program, "Some.dll");
            EXPECT_EQ(*row.refusal, '\0');
            EXPECT_EQ(is64Bit(image), row.wide);
            EXPECT_EQ(resourceSection(image, "Some.dll").address, 0x2000u);
        } catch (const Failure& failure) {
            EXPECT_NE(std::string(failure.what()).find(row.refusal), std::string::npos) << failure.what();
            EXPECT_NE(*row.refusal, '\0') << failure.what();
        }
    }
}
