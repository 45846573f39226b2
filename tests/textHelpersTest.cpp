#include "CppTool.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// Measures, then prints, as the log does.
std::string formatWith(int (*formatV)(char*, std::size_t, const char*, va_list), const char* fmt,
                       va_list args) {
    va_list again;
    va_copy(again, args);
    int length = formatV(nullptr, 0, fmt, args);
    std::string out(length > 0 ? length : 0, '\0');
    formatV(&out[0], out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string formatted(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = formatWith(formatUtf8V, fmt, args);
    va_end(args);
    return out;
}

std::string escaped(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = formatWith(formatUtf8EscapedV, fmt, args);
    va_end(args);
    return out;
}

}  // namespace

TEST(WideText, NullIsDistinctFromEmpty) {
    WideText text;
    EXPECT_TRUE(text.isNull());
    ASSERT_EQ(text.fromUtf8(""), 0);
    ASSERT_FALSE(text.isNull());
    EXPECT_STREQ(text.get(), L"");
    text.release();
    EXPECT_TRUE(text.isNull());
}

TEST(WideText, ConvertsUtf8AndKeepsInvalidBytesAsReplacements) {
    WideText text;
    ASSERT_EQ(text.fromUtf8("D:\\\xD0\x9F\xD1\x80\xD0\xBE\\caf\xC3\xA9"), 0);
    EXPECT_STREQ(text.get(), L"D:\\\x041F\x0440\x043E\\caf\x00E9");
    ASSERT_EQ(text.fromUtf8("a\xFFz"), 0);
    EXPECT_STREQ(text.get(), L"a\xFFFDz");
}

TEST(WideText, AppendingToNullGivesJustTheAppendedText) {
    WideText utf8;
    ASSERT_EQ(utf8.appendUtf8("-Xmx512m"), 0);
    EXPECT_STREQ(utf8.get(), L"-Xmx512m");
    WideText wide;
    ASSERT_EQ(wide.appendWide(L"PATH="), 0);
    EXPECT_STREQ(wide.get(), L"PATH=");
}

TEST(WideText, AppendsKeepTheExistingText) {
    WideText text;
    text.appendWide(L"PATH=");
    text.appendUtf8("C:\\jre\\bin");
    text.appendWide(L";");
    text.appendUtf8("");
    EXPECT_STREQ(text.get(), L"PATH=C:\\jre\\bin;");
}

TEST(WideText, FailedConversionIsLoggedAndLeavesTheValue) {
    KernelOverride restore;
    kernel.MultiByteToWideChar = [](UINT, DWORD, LPCCH, int, LPWSTR, int) WINAPI -> int {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    };
    WideText text;
    text.appendWide(L"kept");
    EXPECT_EQ(text.fromUtf8("x"), ERROR_GENERIC);
    EXPECT_EQ(text.appendUtf8("x"), ERROR_GENERIC);
    EXPECT_STREQ(text.get(), L"kept");
}

TEST(WideFormat, FormatsWideArgumentsAndNull) {
    WideText text;
    ASSERT_EQ(format(text, L"\"%s\" %s", L"C:\\jre\\javaw.exe", L"-jar"), 0);
    EXPECT_STREQ(text.get(), L"\"C:\\jre\\javaw.exe\" -jar");
    ASSERT_EQ(format(text, L"%s\\%s", L"C:\\Apps", static_cast<const wchar_t*>(nullptr)), 0);
    EXPECT_STREQ(text.get(), L"C:\\Apps\\(null)");
    ASSERT_EQ(format(text, L"%d", -38), 0);
    EXPECT_STREQ(text.get(), L"-38");
}

TEST(WideFormat, EmptyResultFailsAndKeepsTheOldValue) {
    WideText text;
    text.appendWide(L"old");
    EXPECT_EQ(format(text, L"%s", L""), ERROR_GENERIC);
    EXPECT_STREQ(text.get(), L"old");
}

TEST(NarrowFormat, WritesWideTextAsUtf8) {
    EXPECT_EQ(formatted("moduleDir=%S\n", L"C:\\Apps\\Acme"), "moduleDir=C:\\Apps\\Acme\n");
    EXPECT_EQ(formatted("%S", L"caf\x00E9"), "caf\xC3\xA9");
    EXPECT_EQ(formatted("%S", L"\x0416"), "\xD0\x96");
    EXPECT_EQ(formatted("%ls|%S", L"\xD83D\xDE00", L"\xD800x"), "\xF0\x9F\x98\x80|\xEF\xBF\xBDx");
}

TEST(NarrowFormat, NullArgumentsPrintAsNull) {
    EXPECT_EQ(formatted("%S %s", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              "(null) (null)");
}

TEST(NarrowFormat, KeepsPrintfConversions) {
    EXPECT_EQ(formatted("%d-%02d-%02d %02d:%02d:%02d %s:%d:%s ", 2026, 12, 7, 9, 5, 0, "loadconfig",
                        57, "prepareJob"),
              "2026-12-07 09:05:00 loadconfig:57:prepareJob ");
    EXPECT_EQ(formatted("err:%lu %%|%5s|%-3d|%.*s|%x", 2ul, "ab", 7, 3, "abcdef", 255u),
              "err:2 %|   ab|7  |abc|ff");
}

TEST(NarrowFormat, MeasuresAndCutsLikeVsnprintf) {
    char small[5];
    EXPECT_EQ(formatUtf8(small, sizeof small, "%S", L"abcdefgh"), 8);
    EXPECT_STREQ(small, "abcd");
    EXPECT_EQ(formatUtf8(nullptr, 0, "%s", ""), 0);
    EXPECT_EQ(formatUtf8(nullptr, 0, "%n"), -1);
}

TEST(EscapedFormat, WritesEveryLineBreakingCharacterOfAValueVisibly) {
    struct Case {
        const wchar_t* value;
        const char* logged;
    };
    for (const Case& c : {Case{L"a\nb", "a\\nb"}, Case{L"a\rb", "a\\rb"}, Case{L"a\tb", "a\\tb"},
                          Case{L"\x1B[31m", "\\x1B[31m"}, Case{L"\x01\x1F", "\\x01\\x1F"},
                          Case{L"\x0B\x0C", "\\x0B\\x0C"}, Case{L"del\x7F", "del\\x7F"},
                          Case{L"nel\x0085", "nel\\u0085"}, Case{L"\x0080\x009F", "\\u0080\\u009F"},
                          Case{L"a\x2028" L"b\x2029", "a\\u2028b\\u2029"}}) {
        EXPECT_EQ(escaped("%S", c.value), c.logged) << c.logged;
    }
}

TEST(EscapedFormat, LeavesPathsTextAndTheFormatItselfAsTheyAre) {
    // Backslashes are not doubled: a path reads in the log as it does anywhere.
    EXPECT_EQ(escaped("moduleDir=%S\n", L"C:\\new\\tabs"), "moduleDir=C:\\new\\tabs\n");
    EXPECT_EQ(escaped("%S|%s", L"caf\x00E9 \x00A0\x2027\x202A", "\xC2\xA0"),
              "caf\xC3\xA9 \xC2\xA0\xE2\x80\xA7\xE2\x80\xAA|\xC2\xA0");
    // Narrow values are escaped the same way; numbers are no text.
    EXPECT_EQ(escaped("%s %d\n", "fopen\nforged", 10), "fopen\\nforged 10\n");
    EXPECT_EQ(escaped("%S", static_cast<const wchar_t*>(nullptr)), "(null)");
    // The plain format still writes what it is given.
    EXPECT_EQ(formatted("%S", L"a\nb"), "a\nb");
}

TEST(EnvironmentBlock, EntriesAreNulSeparatedWithClosingNul) {
    EnvironmentBlock block;
    EXPECT_EQ(block.get(), nullptr);
    EXPECT_EQ(block.count(), 0);
    block.appendEntry(L"A=1");
    block.appendEntry(L"B=2");
    ASSERT_EQ(block.count(), 8);
    EXPECT_EQ(std::wstring(block.get(), block.count() + 1), std::wstring(L"A=1\0B=2\0\0", 9));
    block.release();
    EXPECT_EQ(block.get(), nullptr);
    EXPECT_EQ(block.count(), 0);
}

namespace {

// The process heap refuses every block of more than a megabyte, which the
// log's own small blocks never need; the calls it refuses are counted.
int refusedBlocks = 0;

LPVOID WINAPI refuseLargeBlocks(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (bytes > (1u << 20)) {
        ++refusedBlocks;
        return nullptr;
    }
    return ::HeapAlloc(heap, flags, bytes);
}

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = freshCoreFor(L"OutOfMemory");
        refusedBlocks = 0;
        kernel.HeapAlloc = refuseLargeBlocks;
    }
    void TearDown() override { resetLauncherState(); }

    // The entries written so far, as "function: body".
    std::vector<std::string> logged() {
        resetLauncherState();
        std::vector<std::string> entries;
        if (GetFileAttributesW(log_.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return entries;
        }
        for (const std::string& line : linesOf(readFile(log_))) {
            std::string origin = entryOrigin(line);
            entries.push_back(origin.substr(origin.find(':') + 1) + ": " + entryBody(line));
        }
        return entries;
    }

    KernelOverride restore_;
    std::wstring log_;
};

}  // namespace

// Every text operation that cannot get its memory says so in the log and
// leaves its value as it was.
TEST_F(OutOfMemory, TextsKeepTheirValueAndTheFailureIsLogged) {
    const std::size_t units = 600000;
    const std::string bytes = std::to_string(2 * (units + 1));
    std::string big(units, 'x');
    std::wstring wideBig(units, L'x');
    WideText text;
    ASSERT_EQ(text.appendWide(L"kept"), 0);
    EnvironmentBlock block;
    ASSERT_EQ(block.appendEntry(L"A=1"), 0);

    EXPECT_EQ(text.fromUtf8(big.c_str()), ERROR_GENERIC);
    EXPECT_EQ(text.appendUtf8(big.c_str()), ERROR_GENERIC);
    EXPECT_EQ(text.appendWide(wideBig.c_str()), ERROR_GENERIC);
    EXPECT_EQ(format(text, L"%s", wideBig.c_str()), ERROR_GENERIC);
    EXPECT_STREQ(text.get(), L"kept");
    EXPECT_EQ(block.appendEntry(wideBig.c_str()), ERROR_GENERIC);
    EXPECT_EQ(std::wstring(block.get(), block.count() + 1), std::wstring(L"A=1\0", 5));

    EXPECT_EQ(refusedBlocks, 5);
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "fromUtf8: ERROR HeapAlloc " + bytes + " bytes",
                            "appendUtf8: ERROR HeapAlloc " + std::to_string(2 * (units + 6)) + " bytes",
                            "appendWide: ERROR HeapAlloc " + std::to_string(2 * (units + 5)) + " bytes",
                            "format: ERROR HeapAlloc " + bytes + " bytes",
                            "appendEntry: ERROR HeapAlloc " + std::to_string(2 * (units + 6)) + " bytes",
                        }));
}

// A placeholder expansion too large for memory leaves the setting as the
// file gave it.
TEST_F(OutOfMemory, ExpansionThatFindsNoMemoryLeavesThePlaceholders) {
    std::wstring placeholders;
    for (int i = 0; i < 1000; ++i) {
        placeholders += L"$(moduleDir)";
    }
    WideText text;
    ASSERT_EQ(text.appendWide(placeholders.c_str()), 0);
    replaceAll(text, L"$(moduleDir)", std::wstring(1000, L'd').c_str());
    EXPECT_EQ(text.get(), placeholders);
    EXPECT_EQ(logged(), std::vector<std::string>{"replaceAll: ERROR HeapAlloc 2000002 bytes"});
}

// Sizes beyond any address space are refused without asking the heap, and
// never wrap round to a small block.
TEST_F(OutOfMemory, SizesBeyondTheAddressSpaceAreRefusedOutright) {
    EXPECT_EQ(allocateUnits(1ull << 40, "huge"), nullptr);
    EXPECT_EQ(allocateUnits((1ull << 32) + 1, "wrapping"), nullptr);
    EXPECT_EQ(refusedBlocks, 0);
    EXPECT_EQ(logged(), (std::vector<std::string>{"huge: ERROR HeapAlloc 2199023255552 bytes",
                                                  "wrapping: ERROR HeapAlloc 8589934594 bytes"}));
}
