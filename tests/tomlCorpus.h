// Runs a corpus of configuration files through the TOML reader: the same
// check for the Windows build under Wine and for a native build with the
// address and undefined-behaviour sanitizers.
#pragma once

#include <string>
#include <vector>

// Every file in `root`/valid must parse and answer every lookup; every file
// in `root`/invalid must fail with a one-line "line N: ..." message of at
// most 221 characters. Returns one text per file that does otherwise (or per
// folder that holds no files), so an empty result means all went well.
std::vector<std::string> checkTomlCorpus(const std::string& root);
