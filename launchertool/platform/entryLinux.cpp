// The Linux build's entry point: the arguments are taken as the UTF-8 they
// are on any current system.
#include "console.h"
#include "commandLine.h"

int main(int argc, char** argv) {
    return runTool(std::vector<std::string>(argv + 1, argv + argc));
}

namespace {

// The argument as the shell reads it back: in single quotes unless it is
// plain.
std::string quoted(const std::string& argument) {
    const std::string plain =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=@%+-";
    if (!argument.empty() && argument.find_first_not_of(plain) == std::string::npos) {
        return argument;
    }
    std::string text = "'";
    for (char c : argument) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

}  // namespace

int checkCommand(const std::vector<std::string>& arguments) {
    std::string command = "wine launchertool.exe check";
    for (const std::string& argument : arguments) {
        command += " " + quoted(argument);
    }
    printErr("error: check runs on Windows only, with the launcher's own code; under Wine: " +
             command + "\n");
    return EXIT_USAGE;
}
