// The findings that the configuration file's text alone shows: names the
// launcher does not read, values of a type it ignores, characters and
// placeholders that do not do what the deployer meant.
#pragma once

#include "checkReport.h"
#include "tomlLibrary.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// What the launcher made of each key it used ("jre.main_jar" to the effective
// setting, UTF-8). A key the launcher did not use has no entry.
using EffectiveValues = std::map<std::string, std::string>;

// Appends the findings of a document the launcher could parse.
// `effectiveMillisec` is the splash time the launcher settled on.
void findConfigProblems(const toml::table& document, const EffectiveValues& effective,
                        int effectiveMillisec, std::vector<Finding>& findings);

// The line where `table`.`key` is written, when it is.
std::optional<int> lineOf(const toml::table& document, const std::string& table,
                          const std::string& key);
