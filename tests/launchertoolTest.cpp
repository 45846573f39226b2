// The deployer's tool as a deployer meets it: a console program with exit
// codes 0 (clean), 1 (problems found) and 2 (cannot do what was asked).
#include "testSupport.h"

#include <gtest/gtest.h>

TEST(LauncherTool, WithoutAKnownVerbPrintsUsageAndExitsWith2) {
    for (const wchar_t* arguments : {L"", L" no-such-verb", L" --json"}) {
        CapturedRun run =
            runCapturingOutput(std::wstring(L"\"") + LAUNCHERTOOL_EXE + L"\"" + arguments, true);
        EXPECT_EQ(run.exitCode, 2u) << utf8(arguments);
        EXPECT_EQ(run.output.rfind("usage:", 0), 0u) << run.output;
    }
}
