// launchertool brand as a deployer meets it: the branded copy read back
// through the system, started end to end and branded again, and every
// failure leaving the folder as it was.
#include "testSupport.h"

#include <gtest/gtest.h>
#include <imagehlp.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

namespace {

const std::wstring product = L"Acmé Stüdio ∑";
const std::wstring description = L"Acmé Stüdio — der Start";
const std::wstring company = L"Acmé Stüdio GmbH";
const std::wstring copyright = L"© 2026 Acmé Stüdio ∑";

std::vector<GroupEntry> groupEntries(const std::string& group) {
    std::vector<GroupEntry> entries;
    GroupHeader header{};
    if (group.size() < sizeof header) {
        ADD_FAILURE() << "no icon group";
        return entries;
    }
    std::memcpy(&header, group.data(), sizeof header);
    EXPECT_EQ(group.size(), sizeof header + header.count * sizeof(GroupEntry));
    for (WORD i = 0; i < header.count && sizeof header + (i + 1) * sizeof(GroupEntry) <= group.size();
         ++i) {
        GroupEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        entries.push_back(entry);
    }
    return entries;
}

DWORD dwordAt(const std::string& bytes, std::size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The images of an .ico file in its order, read straight from its directory.
std::vector<std::string> icoImages(const std::string& ico) {
    std::vector<std::string> images;
    WORD count = 0;
    std::memcpy(&count, ico.data() + 4, sizeof count);
    for (WORD i = 0; i < count; ++i) {
        images.push_back(ico.substr(dwordAt(ico, 6 + 16 * i + 12), dwordAt(ico, 6 + 16 * i + 8)));
    }
    return images;
}

// Both groups name exactly the icon file's images, stored once: no other
// image is left in the file.
void expectIconsAre(const std::wstring& program, const std::wstring& icon) {
    std::vector<std::string> images = icoImages(readFile(icon));
    ASSERT_FALSE(images.empty());
    ProgramResources copy(program);
    std::vector<WORD> named;
    for (WORD group : {107, 108}) {
        std::vector<WORD> ids;
        std::vector<GroupEntry> entries = groupEntries(copy.bytes(RT_GROUP_ICON, group));
        ASSERT_EQ(entries.size(), images.size()) << "group " << group;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(copy.bytes(RT_ICON, entries[i].id), images[i]) << "group " << group << ", image " << i;
            EXPECT_EQ(entries[i].bytes, images[i].size());
            ids.push_back(entries[i].id);
        }
        if (named.empty()) {
            named = ids;
        }
        EXPECT_EQ(ids, named) << "group " << group << " names other images than group 107";
    }
    EXPECT_EQ(copy.names(RT_ICON), std::set<WORD>(named.begin(), named.end()));
}

std::vector<char> versionInfo(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    EXPECT_NE(size, 0u) << utf8(path) << ", error " << GetLastError();
    std::vector<char> info(size);
    EXPECT_TRUE(size == 0 || GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    return info;
}

// A text of the record's first translation, as the shell looks it up.
std::string versionText(const std::vector<char>& info, const wchar_t* key) {
    WORD* translation = nullptr;
    UINT length = 0;
    if (info.empty() || !VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                                        reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        return "(no translation)";
    }
    wchar_t path[128];
    swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], key);
    void* value = nullptr;
    if (!VerQueryValueW(info.data(), path, &value, &length)) {
        return "(missing)";
    }
    return utf8(static_cast<const wchar_t*>(value));
}

// File version, then product version, each as the two DWORDs of the record.
std::vector<DWORD> versionNumbers(const std::vector<char>& info) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (info.empty() || !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        return {};
    }
    return {fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
            fixed->dwProductVersionLS};
}

IMAGE_NT_HEADERS32 ntHeaders(const std::string& image) {
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, image.data(), sizeof dos);
    IMAGE_NT_HEADERS32 nt;
    std::memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    return nt;
}

void expectValidChecksum(std::wstring path) {
    DWORD inHeader = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(&path[0], &inHeader, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_EQ(inHeader, computed);
}

}  // namespace

TEST(Brand, CopyCarriesTheIconAndTextsAsTheSystemReadsThem) {
    std::wstring output = makeTempDir(L"brand") + L"\\Acme.exe";
    CapturedRun run = runLauncherTool({L"brand", L"--icon", BRAND_ICON, L"--version", L"1.4.0.2",
                                       L"--product", product, L"--description", description,
                                       L"--company", company, L"--copyright", copyright,
                                       LAUNCHER_EXE, output});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output, "wrote " + utf8(output) + ", a branded copy of " + utf8(LAUNCHER_EXE) + "\n");

    expectIconsAre(output, BRAND_ICON);
    ProgramResources copy(output);
    for (int size : {16, 32, 48, 256}) {
        EXPECT_EQ(shownIconSize(copy.get(), 107, size).cx, size);
    }

    std::vector<char> info = versionInfo(output);
    EXPECT_EQ(versionNumbers(info), (std::vector<DWORD>{0x00010004u, 2u, 0x00010004u, 2u}));
    const std::map<std::wstring, std::wstring> texts = {
        {L"CompanyName", company},         {L"FileDescription", description},
        {L"FileVersion", L"1.4.0.2"},      {L"InternalName", L"Acme.exe"},
        {L"LegalCopyright", copyright},    {L"OriginalFilename", L"Acme.exe"},
        {L"ProductName", product},         {L"ProductVersion", L"1.4.0.2"},
    };
    for (const auto& text : texts) {
        EXPECT_EQ(versionText(info, text.first.c_str()), utf8(text.second)) << utf8(text.first);
    }

    // Everything else stays: the manifest, the kind of program and its flags.
    ProgramResources launcher(LAUNCHER_EXE);
    EXPECT_EQ(copy.bytes(RT_MANIFEST, 1), launcher.bytes(RT_MANIFEST, 1));
    IMAGE_NT_HEADERS32 before = ntHeaders(readFile(LAUNCHER_EXE));
    IMAGE_NT_HEADERS32 after = ntHeaders(readFile(output));
    EXPECT_EQ(after.FileHeader.Machine, before.FileHeader.Machine);
    EXPECT_EQ(after.FileHeader.Characteristics, before.FileHeader.Characteristics);
    EXPECT_EQ(after.OptionalHeader.Subsystem, before.OptionalHeader.Subsystem);
    EXPECT_EQ(after.OptionalHeader.DllCharacteristics, before.OptionalHeader.DllCharacteristics);
    EXPECT_NE(after.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
    expectValidChecksum(output);
}

TEST(Brand, WhatNoOptionNamesStaysAsInTheLauncher) {
    // An earlier file of that name is replaced.
    std::wstring output = makeTempDir(L"brand-plain") + L"\\Plain.exe";
    writeFile(output, "an earlier copy");
    CapturedRun run = runLauncherTool({L"brand", LAUNCHER_EXE, output});
    ASSERT_EQ(run.exitCode, 0u) << run.output;

    ProgramResources copy(output);
    ProgramResources launcher(LAUNCHER_EXE);
    for (WORD group : {107, 108}) {
        EXPECT_EQ(copy.bytes(RT_GROUP_ICON, group), launcher.bytes(RT_GROUP_ICON, group));
    }
    ASSERT_EQ(copy.names(RT_ICON), launcher.names(RT_ICON));
    for (WORD id : launcher.names(RT_ICON)) {
        EXPECT_EQ(copy.bytes(RT_ICON, id), launcher.bytes(RT_ICON, id)) << "image " << id;
    }
    std::vector<char> info = versionInfo(output);
    EXPECT_EQ(versionNumbers(info), versionNumbers(versionInfo(LAUNCHER_EXE)));
    EXPECT_EQ(versionText(info, L"ProductName"), "Kestrion");
    EXPECT_EQ(versionText(info, L"FileDescription"), "Application launcher");
    EXPECT_EQ(versionText(info, L"FileVersion"), "2.2.0.0");
    EXPECT_EQ(versionText(info, L"InternalName"), "Plain.exe");
    EXPECT_EQ(versionText(info, L"OriginalFilename"), "Plain.exe");
    EXPECT_EQ(versionText(info, L"CompanyName"), "(missing)");
}

namespace {

// `program`, installed as Acme.exe beside a probe for the Java runtime,
// starts it with the configured jar and its own command-line tail.
void expectStartsTheApplication(const std::wstring& program) {
    std::wstring install = makeTempDir(L"brand-e2e");
    std::wstring data = install + L"\\data";
    CreateDirectoryW(data.c_str(), nullptr);
    installProbe(install, L"javaw");
    copyFile(program, install + L"\\Acme.exe");
    writeFile(install + L"\\Acme.toml",
              "[jre]\nmain_jar = 'app.jar'\n"
              "[app]\nexec = '$(moduleDir)\\javaw.exe'\ndata_dir = '" + utf8(data) + "'\n");

    EXPECT_EQ(runAndWait(L"\"" + install + L"\\Acme.exe\" -x"), 0u);

    ProbeRecord record = waitForProbe(data, L"javaw");
    EXPECT_EQ(record.commandLine.rfind("\"" + utf8(install) + "\\javaw.exe\"", 0), 0u)
        << record.commandLine;
    std::string tail = " -jar \"app.jar\" -x";
    ASSERT_GE(record.commandLine.size(), tail.size());
    EXPECT_EQ(record.commandLine.substr(record.commandLine.size() - tail.size()), tail);
}

}  // namespace

TEST(Brand, BrandedCopyStartsTheApplication) {
    std::wstring copy = makeTempDir(L"brand-start") + L"\\Acme.exe";
    CapturedRun run = runLauncherTool({L"brand", L"--icon", BRAND_ICON, L"--product", product,
                                       LAUNCHER_EXE, copy});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    expectStartsTheApplication(copy);
}

// The copy that the Linux build of the tool wrote (tests/native/toolBuildsTest.cpp)
// as the system reads it, and started.
TEST(Brand, LinuxCopyReadsBackThroughTheSystemAndStarts) {
    std::wstring copy = std::wstring(LINUX_COPIES) + L"\\Acme.exe";
    expectIconsAre(copy, BRAND_ICON);
    std::vector<char> info = versionInfo(copy);
    EXPECT_EQ(versionNumbers(info), (std::vector<DWORD>{0x00010004u, 2u, 0x00010004u, 2u}));
    const std::map<std::wstring, std::string> texts = {
        {L"CompanyName", "Acmé GmbH"},   {L"FileDescription", "Der Start"},
        {L"FileVersion", "1.4.0.2"},     {L"InternalName", "Acme.exe"},
        {L"LegalCopyright", "© 2026"},   {L"OriginalFilename", "Acme.exe"},
        {L"ProductName", "Acmé Stüdio ∑"}, {L"ProductVersion", "1.4.0.2"},
    };
    for (const auto& text : texts) {
        EXPECT_EQ(versionText(info, text.first.c_str()), text.second) << utf8(text.first);
    }
    EXPECT_EQ(ProgramResources(copy).bytes(RT_MANIFEST, 1), ProgramResources(LAUNCHER_EXE).bytes(RT_MANIFEST, 1));
    expectValidChecksum(copy);
    expectStartsTheApplication(copy);
}

TEST(Brand, BrandedCopyCanBeBrandedAgain) {
    std::wstring folder = makeTempDir(L"brand-again");
    std::wstring first = folder + L"\\First.exe";
    std::wstring second = folder + L"\\Second.exe";
    ASSERT_EQ(runLauncherTool({L"brand", L"--icon", BRAND_ICON, L"--version", L"1.4.0.2",
                               L"--company", company, LAUNCHER_EXE, first})
                  .exitCode,
              0u);

    CapturedRun run = runLauncherTool(
        {L"brand", L"--icon", REBRAND_ICON, L"--product", L"Zweites Stück", first, second});
    ASSERT_EQ(run.exitCode, 0u) << run.output;

    expectIconsAre(second, REBRAND_ICON);
    std::vector<char> info = versionInfo(second);
    EXPECT_EQ(versionText(info, L"CompanyName"), utf8(company));
    EXPECT_EQ(versionText(info, L"ProductName"), "Zweites Stück");
    EXPECT_EQ(versionText(info, L"FileVersion"), "1.4.0.2");
    EXPECT_EQ(versionText(info, L"InternalName"), "Second.exe");
    expectValidChecksum(second);
}

TEST(Brand, SignedLauncherGivesAnUnsignedCopyAndSaysSo) {
    std::wstring folder = makeTempDir(L"brand-signed");
    std::wstring source = folder + L"\\Signed.exe";
    std::wstring output = folder + L"\\Acme.exe";
    writeSignedCopy(LAUNCHER_EXE, source, "a signature made up for the test");

    CapturedRun run = runLauncherTool({L"brand", L"--product", product, source, output});
    ASSERT_EQ(run.exitCode, 0u) << run.output;

    std::vector<std::string> notes =
        linesStartingWith(linesOf(run.output), "note: " + utf8(source) + " is signed");
    ASSERT_EQ(notes.size(), 1u) << run.output;
    EXPECT_NE(notes[0].find("sign " + utf8(output) + " after branding"), std::string::npos) << notes[0];
    std::string copy = readFile(output);
    IMAGE_DATA_DIRECTORY security =
        ntHeaders(copy).OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    EXPECT_EQ(security.VirtualAddress, 0u);
    EXPECT_EQ(security.Size, 0u);
    EXPECT_EQ(copy.find("a signature made up"), std::string::npos) << "the old table is still there";
    EXPECT_EQ(versionText(versionInfo(output), L"ProductName"), utf8(product));
    expectValidChecksum(output);
}

namespace {

// What a folder holds: each name with its content ("<folder>" for a folder).
std::map<std::wstring, std::string> folderContents(const std::wstring& folder) {
    std::map<std::wstring, std::string> contents;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return contents;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        contents[name] = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                             ? std::string("<folder>")
                             : readFile(folder + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return contents;
}

// The test icon with one change.
std::function<void(const std::wstring&)> iconWith(std::function<void(std::string&)> change) {
    return [change](const std::wstring& folder) {
        std::string ico = readFile(BRAND_ICON);
        change(ico);
        writeFile(folder + L"\\bad.ico", ico);
    };
}

void setDword(std::string& bytes, std::size_t offset, DWORD value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

void launcherAs(const std::wstring& folder) {
    copyFile(LAUNCHER_EXE, folder + L"\\Acme.exe");
}

struct FailureCase {
    const char* what;
    std::function<void(const std::wstring& folder)> prepare;
    // "@name" stands for the file `name` in the case's folder.
    std::vector<std::wstring> arguments;
    const char* message;
};

}  // namespace

// What a file holds is refused by the portable core, tested natively
// (tests/native/portable/brandRefusalsTest.cpp); these are the cases of the
// system's files and names, and one of each kind end to end.
TEST(Brand, FailuresLeaveTheFolderAsItWas) {
    auto nothing = [](const std::wstring&) {};
    const FailureCase cases[] = {
        {"an empty icon file", iconWith([](std::string& ico) { ico.clear(); }),
         {L"--icon", L"@bad.ico", LAUNCHER_EXE, L"@Acme.exe"}, "is empty"},
        {"a letter in the version", nothing, {L"--version", L"1.2.x.4", LAUNCHER_EXE, L"@Acme.exe"},
         "four numbers from 0 to 65535"},
        {"a text for a launcher", [](const std::wstring& folder) { writeFile(folder + L"\\Text.exe", "no program\n"); },
         {L"@Text.exe", L"@Acme.exe"}, "is no program file"},
        {"a missing icon file", nothing,
         {L"--icon", L"@missing.ico", LAUNCHER_EXE, L"@Acme.exe"}, "cannot read"},
        {"a missing launcher", nothing, {L"@missing.exe", L"@Acme.exe"}, "cannot read"},
        {"the launcher itself", launcherAs, {L"@Acme.exe", L"@Acme.exe"}, "itself"},
        {"the launcher in other letter case", launcherAs, {L"@Acme.exe", L"@ACME.EXE"}, "itself"},
        {"the launcher through a hard link",
         [](const std::wstring& folder) {
             launcherAs(folder);
             ASSERT_TRUE(CreateHardLinkW((folder + L"\\Link.exe").c_str(),
                                         (folder + L"\\Acme.exe").c_str(), nullptr))
                 << GetLastError();
         },
         {L"@Acme.exe", L"@Link.exe"}, "itself"},
        {"a folder in the copy's place",
         [](const std::wstring& folder) { CreateDirectoryW((folder + L"\\Acme.exe").c_str(), nullptr); },
         {L"--product", product, LAUNCHER_EXE, L"@Acme.exe"}, "Acme.exe names a folder, not the file to write"},
        {"a folder that does not exist", nothing, {LAUNCHER_EXE, L"@nowhere\\Acme.exe"},
         "cannot write in"},
        {"a device for the copy", nothing, {LAUNCHER_EXE, L"NUL"}, "NUL names a device"},
        {"an earlier copy and a bad icon",
         [](const std::wstring& folder) {
             writeFile(folder + L"\\Acme.exe", "an earlier copy");
             writeFile(folder + L"\\bad.ico", "");
         },
         {L"--icon", L"@bad.ico", LAUNCHER_EXE, L"@Acme.exe"}, "is empty"},
    };
    for (const FailureCase& failure : cases) {
        SCOPED_TRACE(failure.what);
        std::wstring folder = makeTempDir(L"brand-fails");
        failure.prepare(folder);
        std::map<std::wstring, std::string> before = folderContents(folder);
        std::vector<std::wstring> arguments = {L"brand"};
        for (const std::wstring& argument : failure.arguments) {
            arguments.push_back(argument[0] == L'@' ? folder + L"\\" + argument.substr(1) : argument);
        }
        CapturedRun run = runLauncherTool(arguments);
        EXPECT_EQ(run.exitCode, 1u) << run.output;
        EXPECT_EQ(run.output.rfind("error: ", 0), 0u) << run.output;
        EXPECT_NE(run.output.find(failure.message), std::string::npos) << run.output;
        EXPECT_EQ(linesOf(run.output).size(), 1u) << run.output;
        EXPECT_EQ(folderContents(folder), before);
    }
}

TEST(Brand, UsageErrorsExitWith2AndWriteNothing) {
    std::wstring folder = makeTempDir(L"brand-usage");
    std::wstring output = folder + L"\\Acme.exe";
    const std::vector<std::vector<std::wstring>> usages = {
        {L"brand"},
        {L"brand", LAUNCHER_EXE},
        {L"brand", LAUNCHER_EXE, output, folder + L"\\Third.exe"},
        {L"brand", L"--colour", L"red", LAUNCHER_EXE, output},
        {L"brand", LAUNCHER_EXE, output, L"--icon"},
        {L"brand", L"--product", L"A", L"--product", L"B", LAUNCHER_EXE, output},
    };
    for (const std::vector<std::wstring>& usage : usages) {
        CapturedRun run = runLauncherTool(usage);
        EXPECT_EQ(run.exitCode, 2u) << utf8(usage.back());
        EXPECT_EQ(run.output.rfind("usage: launchertool brand ", 0), 0u) << run.output;
    }
    EXPECT_TRUE(folderContents(folder).empty());
}

namespace {

// Whether row `row` (top down) of a monochrome bitmap is all set or all clear.
std::string maskRow(HBITMAP mask, int width, int row) {
    BITMAP info{};
    GetObjectW(mask, sizeof info, &info);
    std::vector<unsigned char> bits(static_cast<std::size_t>(info.bmWidthBytes) * info.bmHeight);
    GetBitmapBits(mask, static_cast<LONG>(bits.size()), bits.data());
    std::string marks;
    for (int column = 0; column < width; ++column) {
        unsigned char byte = bits[static_cast<std::size_t>(row) * info.bmWidthBytes + column / 8];
        marks += (byte & (0x80 >> (column % 8))) ? '1' : '0';
    }
    return marks;
}

struct ShownIcon {
    const char* what;
    std::function<void(std::string&)> change;  // of the test icon
    std::vector<int> sizes;                     // each loads at its own size
    bool maskFromAlpha;                         // the 32-pixel image's bottom row transparent
};

}  // namespace

// Icons Windows shows though their files are not as the format says, as
// the branded copy gives them back through the system's calls.
TEST(Brand, IconsWindowsShowsLoadAtTheSizeAsked) {
    const std::size_t entry = 6;
    const ShownIcon cases[] = {
        {"32-bit bitmaps without their masks, the first row transparent",
         [=](std::string& ico) {
             for (std::size_t i : {1, 2}) {
                 DWORD side = static_cast<unsigned char>(ico[entry + 16 * i]);
                 setDword(ico, entry + 16 * i + 8, dwordAt(ico, entry + 16 * i + 8) - (side + 31) / 32 * 4 * side);
             }
             for (DWORD column = 0; column < 32; ++column) {
                 ico[dwordAt(ico, entry + 16 + 12) + 40 + 4 * column + 3] = 0;
             }
         },
         {32, 48}, true},
        {"entries with planes and bit count 0",
         [=](std::string& ico) {
             for (std::size_t i = 0; i < 4; ++i) {
                 setDword(ico, entry + 16 * i + 4, 0);
             }
         },
         {16, 32, 48, 256}, false},
        {"a 256-pixel PNG under a 128-pixel entry",
         [=](std::string& ico) { ico[entry + 48] = ico[entry + 49] = static_cast<char>(128); }, {256}, false},
    };
    for (const ShownIcon& row : cases) {
        SCOPED_TRACE(row.what);
        std::wstring folder = makeTempDir(L"brand-shown");
        iconWith(row.change)(folder);
        CapturedRun run = runLauncherTool({L"brand", L"--icon", folder + L"\\bad.ico", LAUNCHER_EXE,
                                           folder + L"\\Acme.exe"});
        ASSERT_EQ(run.exitCode, 0u) << run.output;
        ProgramResources copy(folder + L"\\Acme.exe");
        for (int size : row.sizes) {
            SIZE shown = shownIconSize(copy.get(), 107, size, [&](HBITMAP mask) {
                if (row.maskFromAlpha && size == 32) {
                    // The bitmap's first row is the picture's bottom one.
                    EXPECT_EQ(maskRow(mask, 32, 31), std::string(32, '1'));
                    EXPECT_EQ(maskRow(mask, 32, 0), std::string(32, '0'));
                }
            });
            EXPECT_EQ(shown.cx, size);
            EXPECT_EQ(shown.cy, size);
        }
    }
}
