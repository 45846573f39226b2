// Thousands of generated and mutated configuration files through the reader
// and the effective settings, in the program's own process: none may crash,
// leak or end a run without either the effective settings or a logged reason.
#include "CppTool.h"
#include "diagnosticLog.h"
#include "loadconfig.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

// Every C++ allocation of this test program is counted, so that a text or a
// document left behind by one run shows up as a difference.
static std::atomic<long> liveAllocations{0};

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    ++liveAllocations;
    return block;
}

void operator delete(void* block) noexcept {
    if (block != nullptr) {
        --liveAllocations;
        std::free(block);
    }
}

void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}

namespace {

// Texts and environment blocks take their memory from the process heap
// through the kernel table: counted there the same way.
std::atomic<long> liveHeapBlocks{0};

LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    LPVOID block = ::HeapAlloc(heap, flags, bytes);
    if (block != nullptr) {
        ++liveHeapBlocks;
    }
    return block;
}

BOOL WINAPI countedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    BOOL freed = ::HeapFree(heap, flags, block);
    if (freed && block != nullptr) {
        --liveHeapBlocks;
    }
    return freed;
}

// Bytes in use on the C runtime's heap, where the reader's strings live.
long long mallocBytesInUse() {
    long long used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK) {
        if (entry._useflag == _USEDENTRY) {
            used += static_cast<long long>(entry._size);
        }
    }
    return used;
}

// Makes configuration texts: well-formed ones from the launcher's own schema
// with values of every type, and damaged ones made from those.
class ConfigGenerator {
public:
    explicit ConfigGenerator(std::uint32_t seed) : random_(seed) {}

    std::string next(int index) {
        switch (index % 10) {
        case 0:
        case 1:
            return wellFormed();
        case 2:
            return truncated(wellFormed());
        case 3:
            return mutated(wellFormed());
        case 4:
            return randomBytes();
        case 5:
            return deeplyNested();
        case 6:
            return hugeValues();
        case 7:
            return deepKeys();
        case 8:
            return controlCharacters();
        default:
            return withCtrlZ(wellFormed());
        }
    }

private:
    int below(int limit) { return static_cast<int>(random_() % static_cast<std::uint32_t>(limit)); }

    std::string anyValue() {
        static const char* const values[] = {
            "'$(moduleDir)\\jre\\bin'", "\"C:\\\\Apps\\\\x.exe\"", "''", "\"\"", "2500", "-5",
            "0x9C4", "0o17", "0b101", "1_000", "9223372036854775807", "-9223372036854775808",
            "2500.0", "1e1000", "true", "1979-05-27T07:32:00Z", "['a', 1, 'b']", "[]",
            "{ a = 1 }", "\"\"\"\nmulti\\\n  line\"\"\"", "'''raw\\path'''", "\"caf\xC3\xA9 \\u00e9\"",
            "\"\xD0\x9F\xD1\x80\xD0\xBE\"", "'$(programData)\\x'", "[[1, 2], ['x']]", "\"\\x\"",
            "'$(moduleDir'", "nan", "inf"};
        return values[below(sizeof values / sizeof values[0])];
    }

    std::string wellFormed() {
        static const char* const tables[] = {"splash", "env", "jre", "app", "Splash", "other"};
        static const char* const keys[] = {"image", "millisec", "PATH", "main_jar", "options", "exec",
                                           "exec2", "log_dir", "data_dir", "Path", "x"};
        std::string text;
        int tableCount = below(6);
        for (int t = 0; t < tableCount; ++t) {
            text += std::string("[") + tables[below(6)] + "]\n";
            int keyCount = below(6);
            for (int k = 0; k < keyCount; ++k) {
                text += std::string(keys[below(11)]) + " = " + anyValue() + "\n";
            }
            if (below(4) == 0) {
                text += "# a comment \xC3\xA9\n";
            }
        }
        return text;
    }

    std::string truncated(std::string text) {
        return text.substr(0, text.empty() ? 0 : static_cast<std::size_t>(below(static_cast<int>(text.size()))));
    }

    std::string mutated(std::string text) {
        int edits = 1 + below(8);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = text.empty() ? 0 : static_cast<std::size_t>(below(static_cast<int>(text.size())));
            char byte = static_cast<char>(below(256));
            switch (below(3)) {
            case 0:
                text.insert(text.begin() + static_cast<long>(at), byte);
                break;
            case 1:
                if (!text.empty()) {
                    text[at] = byte;
                }
                break;
            default:
                if (!text.empty()) {
                    text.erase(at, 1);
                }
                break;
            }
        }
        return text;
    }

    std::string randomBytes() {
        std::string text(static_cast<std::size_t>(below(512)), '\0');
        for (char& c : text) {
            c = static_cast<char>(below(256));
        }
        return text;
    }

    std::string deeplyNested() {
        int depth = 1 + below(3000);
        switch (below(4)) {
        case 0:
            return "[jre]\noptions = " + std::string(depth, '[') + "'x'" + std::string(depth, ']') + "\n";
        case 1: {
            std::string text = "[jre]\nmain_jar = ";
            for (int i = 0; i < depth; ++i) {
                text += "{ a = ";
            }
            text += "1";
            for (int i = 0; i < depth; ++i) {
                text += " }";
            }
            return text + "\n";
        }
        case 2: {
            std::string header = "[app";
            for (int i = 0; i < depth % 200; ++i) {
                header += ".x";
            }
            return header + "]\nexec = 'a.exe'\n";
        }
        default:
            return "[env]\nPATH = " + std::string(depth, '[') + "\n";
        }
    }

    // Keys of many parts: around the limit of 128 levels, and now and then
    // far beyond it, as dotted keys, table headers, arrays of tables and
    // keys of inline tables nested in one another.
    std::string deepKeys() {
        auto key = [this]() {
            int parts = below(8) == 0 ? 20000 : 1 + below(140);
            std::string text = below(2) == 0 ? "a" : "'q.q'";
            for (int i = 1; i < parts; ++i) {
                text += below(16) == 0 ? " . \"x\"" : ".a";
            }
            return text;
        };
        switch (below(5)) {
        case 0:
            return "[jre]\n" + key() + " = 'x'\n";
        case 1:
            return "[" + key() + "]\nexec = 'a.exe'\n";
        case 2:
            return "[[" + key() + "]]\n[[" + key() + "]]\n";
        case 3:
            return "[app]\nexec = { " + key() + " = 1, b = [{ " + key() + " = 2 }] }\n";
        default: {
            int levels = 1 + below(250);
            std::string text = "x = ";
            for (int i = 0; i < levels; ++i) {
                text += "{ " + key() + " = ";
            }
            text += "1";
            for (int i = 0; i < levels; ++i) {
                text += " }";
            }
            return text + "\n";
        }
        }
    }

    // Control characters in values: raw (the reader refuses all but the tab)
    // and escaped (they reach the settings and the log).
    std::string controlCharacters() {
        static const char* const keys[] = {"exec", "exec2", "log_dir", "data_dir"};
        std::string value;
        int length = 1 + below(12);
        for (int i = 0; i < length; ++i) {
            int code = below(3) == 0 ? 0x7F : below(0x20);
            if (below(2) == 0) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
                value += escaped;
            } else {
                value += static_cast<char>(code);
            }
            value += "x";
        }
        return std::string("[app]\n") + keys[below(4)] + " = \"" + value + "\"\n" +
               "[jre]\noptions = ['" + value.substr(0, static_cast<std::size_t>(below(4))) + "']\n";
    }

    // Ctrl-Z where old editors put it (at the end), on a line of its own, or
    // anywhere at all.
    std::string withCtrlZ(std::string text) {
        switch (below(3)) {
        case 0:
            return text + "\x1A";
        case 1: {
            std::size_t line = text.find('\n', static_cast<std::size_t>(below(static_cast<int>(text.size()) + 1)));
            return line == std::string::npos ? text + "\n\x1A\n" : text.insert(line + 1, "\x1A\n");
        }
        default:
            return text.insert(static_cast<std::size_t>(below(static_cast<int>(text.size()) + 1)), "\x1A");
        }
    }

    std::string hugeValues() {
        std::size_t size = 1 + static_cast<std::size_t>(below(200000));
        switch (below(3)) {
        case 0:
            return "[app]\nexec = '" + std::string(size, 'x') + "'\n";
        case 1: {
            std::string text = "[jre]\noptions = [";
            for (std::size_t i = 0; i < size / 20; ++i) {
                text += "'-Dp=$(programData)',";
            }
            return text + "]\n";
        }
        default:
            return "[splash]\nmillisec = " + std::string(size % 400, '9') + "\n";
        }
    }

    std::mt19937 random_;
};

}  // namespace

TEST(ConfigFuzz, EveryFileEndsInTheSettingsOrALoggedFailure) {
    KernelOverride restore;
    std::wstring install = makeTempDir(L"fuzz");
    std::wstring configFile = install + L"\\FuzzConfig.toml";
    std::wstring log = freshLogFile(L"FuzzConfig");
    FakePaths paths(install + L"\\FuzzConfig.exe");
    kernel.HeapAlloc = countedHeapAlloc;
    kernel.HeapFree = countedHeapFree;
    ConfigGenerator generator(20261207);

    const int runs = 10000;
    long allocationsBefore = 0;
    long heapBlocksBefore = 0;
    unsigned long handlesBefore = 0;
    long long mallocBefore = 0;
    int parsed = 0;
    int rejected = 0;
    for (int run = 0; run < runs; ++run) {
        std::string config = generator.next(run);
        writeFile(configFile, config);
        resetLauncherState();
        if (run == 100) {
            // Measured after warm-up: the C runtime and the system keep some
            // blocks of their own on first use.
            allocationsBefore = liveAllocations;
            heapBlocksBefore = liveHeapBlocks;
            handlesBefore = handleCount();
            mallocBefore = mallocBytesInUse();
        }
        prepareJob();
        resetLauncherState();

        std::vector<std::string> lines = linesOf(readFile(log));
        DeleteFileW(log.c_str());
        ASSERT_GE(lines.size(), 11u) << "run " << run;
        ASSERT_EQ(entryBody(lines.back()).rfind("configJavaOptions=", 0), 0u)
            << "run " << run << " ended with: " << lines.back();
        bool failed = false;
        for (const std::string& line : lines) {
            if (entryBody(line).rfind("toml_parse_file ", 0) == 0) {
                failed = true;
            }
        }
        if (failed) {
            EXPECT_EQ(entryBody(lines[lines.size() - 8]), "error loadConfig") << "run " << run;
            ++rejected;
        } else {
            ++parsed;
        }
    }
    unsigned long handlesAfter = handleCount();
    long long mallocAfter = mallocBytesInUse();

    EXPECT_EQ(liveAllocations, allocationsBefore);
    EXPECT_EQ(liveHeapBlocks, heapBlocksBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
    // The reader's strings come from malloc; one lost per run would add well
    // over 100 KB, while the runtime's own blocks vary by far less.
    EXPECT_LT(mallocAfter - mallocBefore, 64 * 1024) << mallocBefore << " -> " << mallocAfter;
    // Both kinds of file must have been met in quantity for the run to mean anything.
    EXPECT_GT(parsed, runs / 5);
    EXPECT_GT(rejected, runs / 5);
    std::printf("%d runs: %d parsed, %d rejected\n", runs, parsed, rejected);
}
