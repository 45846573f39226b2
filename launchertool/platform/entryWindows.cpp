// The Windows build's entry point: UTF-16 arguments in, and check run with
// the launcher's own code.
#include "check.h"
#include "console.h"
#include "commandLine.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(toUtf8(argv[i]));
    }
    return runTool(arguments);
}

int checkCommand(const std::vector<std::string>& arguments) {
    std::vector<std::wstring> wide;
    for (const std::string& argument : arguments) {
        wide.push_back(fromUtf8Text(argument));
    }
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : wide) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    return runCheck(static_cast<int>(wide.size()), argv.data());
}
