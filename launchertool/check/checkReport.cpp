#include "checkReport.h"

#include "visibleText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

const char* severityName(Severity severity) {
    return severity == Severity::error ? "error" : "warning";
}

int countOf(const CheckReport& report, Severity severity) {
    return static_cast<int>(std::count_if(report.findings.begin(), report.findings.end(),
                                          [&](const Finding& f) { return f.severity == severity; }));
}

// One line of the text form. Names and values come from the configuration
// file and the disk: their control characters are written visibly, so that
// none can start a line of its own (a forged summary) or reach the terminal
// as a command.
void line(std::string& out, const std::string& indent, const std::string& text) {
    out += indent + escapedControls(text) + "\n";
}

// "  label          value", the values of every section in one column.
void field(std::string& out, const char* label, const std::string& value, std::size_t indent = 2) {
    constexpr std::size_t VALUE_COLUMN = 21;
    std::string padded = std::string(indent, ' ') + label;
    padded.resize(std::max(padded.size() + 1, VALUE_COLUMN), ' ');
    line(out, padded, value);
}

void installationText(std::string& out, const Installation& installation) {
    out += "Installation\n";
    field(out, "folder", installation.moduleDir);
    field(out, "name", installation.moduleName);
    field(out, "system folder", installation.systemDir);
    field(out, "ProgramData", installation.programData);
    field(out, "configuration", installation.configFile);
    field(out, "log file", installation.logFile + (installation.logKept
                                                       ? " (kept)"
                                                       : " (not kept: its folder does not exist)"));
}

void splashText(std::string& out, const Splash& splash) {
    out += "\nSplash\n";
    if (splash.millisec == 0) {
        field(out, "time", "0 ms: no splash window");
        return;
    }
    field(out, "time", std::to_string(splash.millisec) + " ms" +
                           (splash.untilWindow
                                ? ", or until the application's window appears or it ends"
                                : ""));
    field(out, "image", splash.image.value_or("none"));
    if (splash.width && splash.height) {
        field(out, "size", std::to_string(*splash.width) + " x " + std::to_string(*splash.height));
    } else {
        field(out, "size", "no image shown: " + splash.withoutImage);
    }
}

std::string instanceText(const InstanceState& instance) {
    if (!instance.single) {
        return "no (single_instance is not set)";
    }
    if (!instance.name) {
        return "yes, but no instance name could be made";
    }
    std::string state = "not running now";
    if (instance.running) {
        state = instance.processId ? "running now as process " + std::to_string(*instance.processId)
                                   : "running now";
    }
    return "yes, as " + *instance.name + ", " + state;
}

void startsText(std::string& out, const std::vector<Start>& starts, bool showFailure,
                bool earlyEndWatched, const InstanceState& instance) {
    out += "\nStarts\n";
    // Only a splash that lasts until the window watches for an early end.
    field(out, "failure message",
          !showFailure      ? "none (show_failure is not set)"
          : earlyEndWatched ? "shown when the Java runtime cannot start or ends before its window"
                            : "shown when the Java runtime cannot start");
    field(out, "single instance", instanceText(instance));
    if (starts.empty()) {
        out += "  none\n";
    }
    int number = 0;
    for (const Start& start : starts) {
        out += "  " + std::to_string(++number) + ". " +
               (start.program == "second" ? "the second program" : "the Java runtime") + "\n";
        field(out, "program", start.application, 5);
        field(out, "command line", start.commandLine, 5);
        field(out, "working folder", start.currentDirectory, 5);
        field(out, "output", start.standardOutput, 5);
        field(out, "errors", start.standardError, 5);
        if (start.appId) {
            field(out, "app id", *start.appId, 5);
        }
        out += "     environment\n";
        for (const std::string& entry : start.environment) {
            line(out, "       ", entry);
        }
    }
}

void findingsText(std::string& out, const std::vector<Finding>& findings) {
    out += "\nFindings\n";
    if (findings.empty()) {
        out += "  none\n";
    }
    for (const Finding& finding : findings) {
        std::string where;
        if (finding.key) {
            where = " " + *finding.key;
        }
        if (finding.line) {
            where += (finding.key ? ", line " : " line ") + std::to_string(*finding.line);
        }
        line(out, "  ", std::string(severityName(finding.severity)) + " " + finding.code + where +
                            ": " + finding.message);
    }
}

template <typename T>
nlohmann::ordered_json orNull(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

void orderFindings(std::vector<Finding>& findings) {
    // Within a severity the file's order, so that the list reads alongside
    // it; findings of no line come after, in the order they were found.
    auto rank = [](const Finding& f) {
        return std::make_pair(f.severity == Severity::error ? 0 : 1, f.line.value_or(INT_MAX));
    };
    std::stable_sort(findings.begin(), findings.end(),
                     [&](const Finding& a, const Finding& b) { return rank(a) < rank(b); });
}

bool hasErrors(const CheckReport& report) {
    return countOf(report, Severity::error) > 0;
}

std::string reportText(const CheckReport& report) {
    std::string out;
    installationText(out, report.installation);
    out += "\nEffective settings\n";
    for (const std::string& setting : report.settingLines) {
        line(out, "  ", setting);
    }
    splashText(out, report.splash);
    startsText(out, report.starts, report.showFailure,
               report.splash.untilWindow && report.splash.millisec > 0, report.instance);
    findingsText(out, report.findings);
    int errors = countOf(report, Severity::error);
    int warnings = countOf(report, Severity::warning);
    out += "\n" + std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
           std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
    return out;
}

std::string reportJson(const CheckReport& report) {
    using json = nlohmann::ordered_json;
    const Installation& installation = report.installation;
    json settings = json::object();
    for (const Setting& setting : report.settings) {
        settings[setting.name] = orNull(setting.value);
    }
    json starts = json::array();
    for (const Start& start : report.starts) {
        json shown = {{"program", start.program},
                      {"application", start.application},
                      {"commandLine", start.commandLine},
                      {"currentDirectory", start.currentDirectory},
                      {"stdout", start.standardOutput},
                      {"stderr", start.standardError},
                      {"environment", start.environment}};
        if (start.appId) {
            shown["appId"] = *start.appId;
        }
        starts.push_back(shown);
    }
    json findings = json::array();
    for (const Finding& finding : report.findings) {
        findings.push_back({{"severity", severityName(finding.severity)},
                            {"code", finding.code},
                            {"key", orNull(finding.key)},
                            {"line", orNull(finding.line)},
                            {"message", finding.message}});
    }
    json document = {
        {"installation",
         {{"moduleDir", installation.moduleDir},
          {"moduleName", installation.moduleName},
          {"systemDir", installation.systemDir},
          {"programData", installation.programData},
          {"configFile", installation.configFile},
          {"logFile", installation.logFile},
          {"logKept", installation.logKept}}},
        {"settings", settings},
        {"splash",
         {{"millisec", report.splash.millisec},
          {"untilWindow", report.splash.untilWindow},
          {"image", orNull(report.splash.image)},
          {"width", orNull(report.splash.width)},
          {"height", orNull(report.splash.height)}}},
        {"showFailure", report.showFailure},
        {"singleInstance",
         {{"enabled", report.instance.single},
          {"instanceName", orNull(report.instance.name)},
          {"running", report.instance.running},
          {"processId", orNull(report.instance.processId)}}},
        {"starts", starts},
        {"findings", findings},
    };
    // A path or value that is no valid UTF-8 is still reported, with the
    // replacement character where its bytes were.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
