// The findings that need the disk: whether what the effective settings name
// exists and is what the launcher and the Java runtime take it for.
#pragma once

#include "checkReport.h"
#include "loadconfig.h"
#include "tomlLibrary.h"

#include <string>
#include <vector>

// Appends the findings about the programs, the jar and the folders that the
// launcher's effective settings name, and about the starts it composed.
// `document` gives the lines.
void findInstallationProblems(const toml::table& document, const JobPlan& plan,
                              std::vector<Finding>& findings);

// Appends launcher-folder when a folder takes the launcher's own name.
void findLauncherProblem(const std::wstring& modulePath, std::vector<Finding>& findings);

// Appends log-folder-missing when the folder of `logFile` does not exist.
void findLogFolderProblem(const std::wstring& logFile, std::vector<Finding>& findings);
