// The parts of one instance and one taskbar identity that need no real
// process: which ids the shell takes, and how the instance's name follows
// the launcher's path as the system compares paths.
#include "CppTool.h"
#include "singleInstance.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

TEST(AppId, FollowsTheShellsRules) {
    struct Case {
        std::wstring id;
        const char* problem;
    };
    for (const Case& c : {
             Case{L"Acme.Payroll", nullptr},
             Case{L"Acme.Payroll.Desk.2", nullptr},
             Case{std::wstring(63, L'A') + L"." + std::wstring(64, L'B'), nullptr},
             Case{std::wstring(64, L'A') + L"." + std::wstring(64, L'B'),
                  "it is longer than 128 characters"},
             Case{L"", "it has an empty part"},
             Case{L"Acme", "it has fewer than two parts"},
             Case{L"Acme Payroll.Desk", "it holds a blank or a control character"},
             Case{L"Acme.Pay\troll", "it holds a blank or a control character"},
             Case{L"Acme..Payroll", "it has an empty part"},
             Case{L".Acme.Payroll", "it has an empty part"},
             Case{L"Acme.Payroll.", "it has an empty part"},
         }) {
        const char* problem = appIdProblem(c.id.c_str());
        EXPECT_STREQ(problem, c.problem) << utf8(c.id);
    }
}

namespace {

// What GetFinalPathNameByHandleW answers for the file the name is made for.
std::wstring answeredFinalPath;

DWORD WINAPI answerFinalPath(HANDLE, LPWSTR buffer, DWORD size, DWORD) {
    if (answeredFinalPath.size() >= size) {
        return static_cast<DWORD>(answeredFinalPath.size() + 1);
    }
    std::wmemcpy(buffer, answeredFinalPath.c_str(), answeredFinalPath.size() + 1);
    return static_cast<DWORD>(answeredFinalPath.size());
}

std::wstring nameFor(const std::wstring& modulePath) {
    WideText name;
    FakePaths paths(modulePath);
    EXPECT_EQ(instanceNameOf(name), 0) << utf8(modulePath);
    return name.isNull() ? std::wstring() : std::wstring(name.get());
}

// The name the launcher would use when the system resolves its path to
// `finalPath`.
std::wstring nameResolvedTo(const std::wstring& finalPath) {
    KernelOverride restore;
    answeredFinalPath = finalPath;
    kernel.GetFinalPathNameByHandleW = answerFinalPath;
    return nameFor(LAUNCHER_EXE);
}

}  // namespace

// Letter case counts as the file system counts it, also outside ASCII;
// the name stays a valid object name however long the path.
TEST(InstanceName, FollowsTheResolvedPathAsTheSystemComparesIt) {
    std::wstring acme = nameResolvedTo(L"\\\\?\\C:\\Äpps\\Acme\\Acme.exe");
    EXPECT_EQ(nameResolvedTo(L"\\\\?\\c:\\äPPS\\acme\\ACME.EXE"), acme);
    EXPECT_NE(nameResolvedTo(L"\\\\?\\C:\\Äpps\\Acme\\Acme2.exe"), acme);
    EXPECT_NE(nameResolvedTo(L"\\\\?\\D:\\Äpps\\Acme\\Acme.exe"), acme);
    std::wstring deep = L"\\\\?\\C:";
    while (deep.size() < 1000) {
        deep += L"\\a folder of some length";
    }
    for (const std::wstring& name : {acme, nameResolvedTo(deep + L"\\Acme.exe")}) {
        EXPECT_EQ(name.rfind(L"Local\\Kestrion.Instance.", 0), 0u) << utf8(name);
        EXPECT_EQ(name.find(L'\\', 6), std::wstring::npos) << utf8(name);
        EXPECT_LT(name.size(), static_cast<std::size_t>(MAX_PATH)) << utf8(name);
    }
    WideText mapping;
    ASSERT_EQ(processMappingNameOf(acme.c_str(), mapping), 0);
    EXPECT_EQ(std::wstring(mapping.get()), acme + L".Process");
}

// Real files: two spellings of one copy share the name, a second copy under
// another name in the same folder has its own.
TEST(InstanceName, IsOneForOneFileAndAnotherForACopy) {
    std::wstring folder = makeTempDir(L"instanceName");
    copyFile(LAUNCHER_EXE, folder + L"\\Acme.exe");
    copyFile(LAUNCHER_EXE, folder + L"\\Acme2.exe");
    std::wstring upper = folder;
    for (wchar_t& c : upper) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    std::wstring acme = nameFor(folder + L"\\Acme.exe");
    EXPECT_EQ(nameFor(upper + L"\\ACME.EXE"), acme);
    EXPECT_NE(nameFor(folder + L"\\Acme2.exe"), acme);
    EXPECT_FALSE(instanceRunning(acme.c_str()));
    EXPECT_EQ(runningInstanceProcess(acme.c_str()), 0u);
}
