// The TOML reader built for the build machine with the address and
// undefined-behaviour sanitizers, run over the configuration corpus: any
// memory fault or undefined behaviour inside the reader stops it with a
// report, and a wrong verdict fails it.
#include "tomlCorpus.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    std::vector<std::string> problems = checkTomlCorpus(argv[1]);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "%s\n", problem.c_str());
    }
    return problems.empty() ? 0 : 1;
}
