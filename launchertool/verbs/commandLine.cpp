// launchertool: the deployer's console tool. Each verb lives in a file of its
// own; this file only finds the verb, reports bad usage and turns every
// failure into one line.
#include "brand.h"
#include "console.h"
#include "commandLine.h"
#include "failure.h"
#include "info.h"
#include "visibleText.h"

#include <new>
#include <stdexcept>

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

int usage() {
    std::string text = "usage:\n";
    for (const Verb& verb : verbs) {
        text += std::string("  launchertool ") + verb.usage + "\n";
    }
    printErr(text);
    return EXIT_USAGE;
}

}  // namespace

const char checkUsage[] = "check [--json] PATH\\Name.exe";

int runTool(const std::vector<std::string>& arguments) {
    try {
        if (arguments.empty()) {
            return usage();
        }
        for (const Verb& verb : verbs) {
            if (arguments.front() == verb.name) {
                // The verb sees its own arguments only.
                return verb.run(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
            }
        }
        return usage();
    } catch (const Failure& failure) {
        // A message may quote a name from the file: it stays one line.
        printErr("error: " + escapedControls(failure.message) + "\n");
    } catch (const std::bad_alloc&) {
        printErr("error: out of memory\n");
    } catch (const std::exception& exception) {
        printErr(std::string("error: ") + exception.what() + "\n");
    }
    return EXIT_PROBLEMS;
}
