// The command line's answer to a failure: one "error:" line on standard
// error and the same exit code, whichever verb raised it and however deep.
#include "commandLine.h"
#include "console.h"
#include "failure.h"

#include <gtest/gtest.h>

#include <stdexcept>

// check runs only on Windows; here it stands for a verb whose work fails
// deep inside, as a file read by check would.
int checkCommand(const std::vector<std::string>& arguments) {
    fail("cannot read " + arguments.at(0) + ": it is no regular file");
}

TEST(CommandLine, AFailureEndsEveryVerbWithOneLineAndTheSameCode) {
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"check", "Acme.exe"}, "error: cannot read Acme.exe: it is no regular file\n"},
        // Raised while the options are read, before any file is.
        {{"brand", "--product", std::string(4001, 'x'), "launcher.exe", "Acme.exe"},
         "error: --product is 4001 characters long; a text of the version record may have at most 4000 "
         "(counted in UTF-16 units)\n"},
        {{"brand", "--name", "Acme", "/nonexistent/launcher.exe", "Acme.exe"},
         "error: --name Acme: give the file name the copy ships under, such as Acme.exe\n"},
        {{"brand", "/nonexistent/launcher.exe", "Acme.exe"},
         "error: cannot read /nonexistent/launcher.exe: No such file or directory\n"},
        {{"info", "/nonexistent/Acme.exe"}, "error: cannot read /nonexistent/Acme.exe: No such file or directory\n"},
        // A text of the file that would start a line of its own stays on this one.
        {{"check", "Acme\nerror: forged.exe"}, "error: cannot read Acme\\nerror: forged.exe: it is no regular file\n"},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.arguments.at(0));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int code = runTool(failure.arguments);
        std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(code, EXIT_PROBLEMS);
        EXPECT_EQ(errors, failure.line);
    }
}

TEST(CommandLine, AFailureIsTheStandardExceptionThatHandlersOfThemSee) {
    // check's own handler catches standard exceptions: it must see a
    // Failure for what it is, not miss it.
    EXPECT_THROW(fail("the message"), std::runtime_error);
    try {
        fail("the message");
    } catch (const std::exception& exception) {
        EXPECT_STREQ(exception.what(), "the message");
    }
}
