// launchertool: the deployer's console tool. Each verb lives in a file of its
// own; this file only finds the verb and reports bad usage.
#include "brand.h"
#include "check.h"
#include "console.h"
#include "info.h"

#include <cwchar>

namespace {

struct Verb {
    const wchar_t* name;
    const wchar_t* usage;
    int (*run)(int argc, wchar_t** argv);
};

// Ends with an empty entry.
const Verb verbs[] = {
    {L"check", L"check [--json] PATH\\Name.exe", runCheck},
    {L"brand", brandUsage, brandCommand},
    {L"info", infoUsage, infoCommand},
    {nullptr, nullptr, nullptr},
};

int usage() {
    std::wstring text = L"usage:\n";
    for (const Verb* verb = verbs; verb->name != nullptr; ++verb) {
        text += L"  launchertool ";
        text += verb->usage;
        text += L"\n";
    }
    printErr(text);
    return EXIT_USAGE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return usage();
    }
    for (const Verb* verb = verbs; verb->name != nullptr; ++verb) {
        if (std::wcscmp(argv[1], verb->name) == 0) {
            // The verb sees its own arguments only.
            return verb->run(argc - 2, argv + 2);
        }
    }
    return usage();
}
