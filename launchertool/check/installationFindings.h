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

// Whether the launcher would refuse the file it writes at `path`, a link, a
// folder or a second name of another file, and write to the null device
// instead; `folderLength` is the part of `path` the launcher takes as it is.
bool refusedAsOutput(const wchar_t* path, std::size_t folderLength);

// Appends launcher-folder when a folder takes the launcher's own name.
void findLauncherProblem(const std::wstring& modulePath, std::vector<Finding>& findings);

// Appends log-folder-missing when the folder of `logFile` does not exist,
// and log-refused when the launcher would refuse the file itself.
void findLogFolderProblem(const std::wstring& logFile, std::vector<Finding>& findings);
