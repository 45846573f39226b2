// launchertool: the deployer's console tool. Each verb lives in a file of its
// own; this file only finds the verb, answers --help and --version, reports
// bad usage and turns every failure into one line.
#include "brand.h"
#include "console.h"
#include "commandLine.h"
#include "failure.h"
#include "info.h"
#include "visibleText.h"

#include <new>
#include <stdexcept>

#ifndef LAUNCHERTOOL_VERSION
#error "the build stamps the tool with its project version: define LAUNCHERTOOL_VERSION"
#endif

namespace {

struct Verb {
    const char* name;
    const char* usage;
    int (*run)(const std::vector<std::string>& arguments);
};

const Verb verbs[] = {
    {"check", checkUsage, checkCommand},
    {"brand", brandUsage, brandCommand},
    {"info", infoUsage, infoCommand},
};

bool asksForHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h";
}

std::string usageText() {
    std::string text = "usage:\n";
    for (const Verb& verb : verbs) {
        text += std::string("  launchertool ") + verb.usage + "\n";
    }
    return text + "  launchertool --help | -h\n  launchertool --version\n";
}

int usageError() {
    printErr(usageText());
    return EXIT_USAGE;
}

}  // namespace

const char checkUsage[] = "check [--json] PATH\\Name.exe";

int runTool(const std::vector<std::string>& arguments) {
    try {
        if (arguments.empty()) {
            return usageError();
        }
        // Asked for, the usage is the answer: it goes where a reader of the
        // answer looks, and the tool did what it was asked.
        if (arguments.size() == 1 && asksForHelp(arguments.front())) {
            printOut(usageText());
            return EXIT_CLEAN;
        }
        if (arguments.size() == 1 && arguments.front() == "--version") {
            printOut("launchertool " LAUNCHERTOOL_VERSION "\n");
            return EXIT_CLEAN;
        }
        for (const Verb& verb : verbs) {
            if (arguments.front() != verb.name) {
                continue;
            }
            if (arguments.size() == 2 && asksForHelp(arguments[1])) {
                printOut(std::string("usage: launchertool ") + verb.usage + "\n");
                return EXIT_CLEAN;
            }
            // The verb sees its own arguments only.
            return verb.run(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
        }
        return usageError();
    } catch (const Failure& failure) {
        // A message may quote a name from the file: it stays one line.
        printErr("error: " + escapedControls(failure.what()) + "\n");
    } catch (const std::bad_alloc&) {
        printErr("error: out of memory\n");
    } catch (const std::exception& exception) {
        printErr(std::string("error: ") + exception.what() + "\n");
    }
    return EXIT_PROBLEMS;
}
