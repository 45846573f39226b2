#include "tomlCorpus.h"

#include "tomlParser.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// The names the launcher looks up, and a few that no file holds.
const char* const tableNames[] = {"splash", "env", "jre", "app", "a", "Splash", "more", ""};
const char* const keyNames[] = {"image", "millisec", "PATH", "main_jar", "options", "exec",
                                "exec2", "log_dir", "data_dir", "nested", "b", "first", ""};

// Asks `table` for every name as every kind of value; the strings handed out
// go back with free(), as the launcher gives them back.
void lookUpEverything(const toml_table_t* table) {
    for (const char* key : keyNames) {
        toml_table_t* inner = toml_table_in(table, key);
        if (inner != nullptr) {
            lookUpEverything(inner);
        }
        toml_datum_t text = toml_string_in(table, key);
        if (text.ok) {
            std::free(text.u.s);
        }
        toml_int_in(table, key);
        if (const toml_array_t* array = toml_array_in(table, key)) {
            for (int index = -1; index < 8; ++index) {
                toml_datum_t element = toml_string_at(array, index);
                if (element.ok) {
                    std::free(element.u.s);
                }
            }
        }
    }
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A message as the log shows it: "line N: description" on one line.
bool isOneLineMessage(const std::string& message) {
    std::size_t digits = message.find_first_not_of("0123456789", 5);
    if (message.compare(0, 5, "line ") != 0 || digits == 5 || digits == std::string::npos ||
        message.compare(digits, 2, ": ") != 0 || message.size() <= digits + 2 ||
        message.size() > 221) {
        return false;
    }
    return std::none_of(message.begin(), message.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Parses one file; "" when its outcome is the expected one.
std::string checkFile(const std::filesystem::path& file, bool valid) {
    std::string name = file.filename().string();
    std::FILE* stream = std::fopen(file.string().c_str(), "rb");
    if (stream == nullptr) {
        return name + ": cannot open";
    }
    char errors[222];
    std::fill(std::begin(errors), std::end(errors), '#');
    toml_table_t* document = toml_parse_file(stream, errors, sizeof errors);
    std::fclose(stream);
    if (document != nullptr) {
        lookUpEverything(document);
        for (const char* table : tableNames) {
            if (const toml_table_t* inner = toml_table_in(document, table)) {
                lookUpEverything(inner);
            }
        }
        toml_free(document);
        return valid ? "" : name + ": accepted";
    }
    std::string message(errors, std::find(std::begin(errors), std::end(errors), '\0'));
    if (valid) {
        return name + ": rejected with " + message;
    }
    return isOneLineMessage(message) ? "" : name + ": malformed message " + message;
}

}  // namespace

std::vector<std::string> checkTomlCorpus(const std::string& root) {
    std::vector<std::string> problems;
    for (bool valid : {true, false}) {
        std::filesystem::path folder = std::filesystem::path(root) / (valid ? "valid" : "invalid");
        std::vector<std::filesystem::path> files = filesIn(folder);
        if (files.empty()) {
            problems.push_back(folder.string() + ": no files");
        }
        for (const std::filesystem::path& file : files) {
            std::string problem = checkFile(file, valid);
            if (!problem.empty()) {
                problems.push_back(problem);
            }
        }
    }
    return problems;
}
