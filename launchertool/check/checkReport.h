// What `launchertool check` found out about an installation, and its two
// forms: text for a person, JSON for a program. All texts are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class Severity { error, warning };

// One problem of the installation. `key` is "table.key" ("jre.main_jar") and
// `line` the configuration file's line where it applies, when there is one.
struct Finding {
    Severity severity;
    std::string code;
    std::optional<std::string> key;
    std::optional<int> line;
    std::string message;
};

struct Installation {
    std::string moduleDir;
    std::string moduleName;
    std::string systemDir;
    std::string programData;
    std::string configFile;
    std::string logFile;
    bool logKept = false;
};

// One effective setting by the launcher's name for it; no value when unset.
struct Setting {
    std::string name;
    std::optional<std::string> value;
};

struct Splash {
    int millisec = 0;
    // until_window: the splash closes when the Java runtime shows a window
    // or ends, millisec being the longest.
    bool untilWindow = false;
    std::optional<std::string> image;
    std::optional<int> width;
    std::optional<int> height;
    // Why no image is shown, for the text form; empty when it is.
    std::string withoutImage;
};

// One start the launcher would attempt: "second" or "java".
struct Start {
    std::string program;
    std::string application;
    std::string commandLine;
    std::string currentDirectory;
    std::string standardOutput;
    std::string standardError;
    std::vector<std::string> environment;
    // The Java runtime's AppUserModelID (app_id), when it gets one.
    std::optional<std::string> appId;
};

// single_instance: the instance's name, and whether it runs now.
struct InstanceState {
    bool single = false;
    std::optional<std::string> name;
    bool running = false;
    // The running instance's process id, when it has told it.
    std::optional<unsigned long> processId;
};

struct CheckReport {
    Installation installation;
    // The effective settings as the launcher logs them, and their values.
    std::vector<std::string> settingLines;
    std::vector<Setting> settings;
    Splash splash;
    // show_failure: the user is told when the Java runtime cannot start.
    bool showFailure = false;
    InstanceState instance;
    std::vector<Start> starts;
    // Errors first (orderFindings).
    std::vector<Finding> findings;
};

// Puts the errors ahead of the warnings, each by the line it applies to.
void orderFindings(std::vector<Finding>& findings);

bool hasErrors(const CheckReport& report);

std::string reportText(const CheckReport& report);
std::string reportJson(const CheckReport& report);
