#include "configFindings.h"

#include "console.h"
#include "singleInstance.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace {

enum class Kind { string, integer, stringArray, boolean };

// What the launcher reads from its configuration file: these names, exactly,
// with these types. Anything else it passes over without a word.
struct KnownKey {
    const char* table;
    const char* key;
    Kind kind;
};

const KnownKey knownKeys[] = {
    {"splash", "image", Kind::string},     {"splash", "millisec", Kind::integer},
    {"env", "PATH", Kind::stringArray},    {"jre", "main_jar", Kind::string},
    {"jre", "options", Kind::stringArray}, {"app", "exec", Kind::string},
    {"app", "exec2", Kind::string},        {"app", "log_dir", Kind::string},
    {"app", "data_dir", Kind::string},     {"splash", "until_window", Kind::boolean},
    {"app", "show_failure", Kind::boolean}, {"app", "single_instance", Kind::boolean},
    {"app", "app_id", Kind::string},
};

const char* const knownTables[] = {"splash", "env", "jre", "app"};

const char* const placeholders[] = {"moduleDir", "programData"};

// The placeholders the launcher expands in each key; any other stays literal.
struct TakenPlaceholders {
    const char* key;
    const char* placeholders[2];
};

const TakenPlaceholders takenPlaceholders[] = {
    {"app.exec", {"$(moduleDir)"}},
    {"app.exec2", {"$(moduleDir)"}},
    {"app.data_dir", {"$(programData)"}},
    {"app.log_dir", {"$(programData)"}},
    {"env.PATH", {"$(moduleDir)"}},
    {"jre.main_jar", {"$(moduleDir)", "$(programData)"}},
    {"jre.options", {"$(programData)"}},
};

bool takes(const std::string& key, const std::string& placeholder) {
    for (const TakenPlaceholders& taken : takenPlaceholders) {
        for (const char* name : taken.placeholders) {
            if (key == taken.key && name != nullptr && placeholder == name) {
                return true;
            }
        }
    }
    return false;
}

constexpr std::int64_t LONGEST_SPLASH = 60000;

std::optional<int> lineOfNode(const toml::node& node) {
    if (!node.source().begin) {
        return std::nullopt;
    }
    return static_cast<int>(node.source().begin.line);
}

std::optional<int> lineOfKey(const toml::key& key) {
    if (!key.source().begin) {
        return std::nullopt;
    }
    return static_cast<int>(key.source().begin.line);
}

void warn(std::vector<Finding>& findings, const char* code, const std::string& key,
          std::optional<int> line, const std::string& message) {
    findings.push_back({Severity::warning, code, key, line, message});
}

std::string typeName(toml::node_type type) {
    switch (type) {
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a float";
    case toml::node_type::boolean:
        return "a boolean";
    case toml::node_type::date:
        return "a date";
    case toml::node_type::time:
        return "a time";
    case toml::node_type::date_time:
        return "a date-time";
    default:
        return "no value";
    }
}

// Letter case and "-" against "_" are the slips deployers make most: they
// cost nothing in the comparison.
std::string comparable(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        c = c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

struct Nearest {
    std::string name;
    std::size_t distance = static_cast<std::size_t>(-1);
};

void consider(Nearest& nearest, const std::string& written, const std::string& known,
              const std::string& shown) {
    std::size_t distance = editDistance(comparable(written), comparable(known));
    if (distance < nearest.distance) {
        nearest = {shown, distance};
    }
}

// A top-level name: the nearest table, or the nearest key of any table for
// a key that was meant to stand inside one.
std::string nearestTopLevel(const std::string& written) {
    Nearest nearest;
    for (const char* table : knownTables) {
        consider(nearest, written, table, std::string("[") + table + "]");
    }
    for (const KnownKey& known : knownKeys) {
        consider(nearest, written, known.key, std::string(known.table) + "." + known.key);
    }
    return nearest.name;
}

// A key in a known table: its own table's keys first, then the others'.
std::string nearestKey(const std::string& table, const std::string& written) {
    Nearest nearest;
    for (const KnownKey& known : knownKeys) {
        if (table == known.table) {
            consider(nearest, written, known.key, known.key);
        }
    }
    for (const KnownKey& known : knownKeys) {
        if (table != known.table) {
            consider(nearest, written, known.key,
                     std::string(known.key) + " in [" + known.table + "]");
        }
    }
    return nearest.name;
}

std::string characterName(unsigned char c) {
    char code[8];
    std::snprintf(code, sizeof code, "U+%04X", c);
    switch (c) {
    case '\n':
        return std::string("a line feed (") + code + ")";
    case '\t':
        return std::string("a tab (") + code + ")";
    case '\r':
        return std::string("a carriage return (") + code + ")";
    case '\b':
        return std::string("a backspace (") + code + ")";
    case '\f':
        return std::string("a form feed (") + code + ")";
    default:
        return std::string("the control character ") + code;
    }
}

// The first control character of a value: the launcher passes it on as it
// stands, where the deployer almost always meant a backslash.
void checkControlCharacters(const std::string& name, const std::string& shortName,
                            const std::string& value, std::optional<int> line,
                            std::vector<Finding>& findings) {
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            warn(findings, "control-character", name, line,
                 "`" + shortName + "` holds " + characterName(u) +
                     ", as a backslash in double quotes makes (\"C:\\new\" is C:, a line feed, "
                     "ew): write Windows paths in single quotes");
            return;
        }
    }
}

std::string placeholderAdvice(const std::string& shortName, const std::string& written) {
    std::string inner = written.substr(2, written.size() - 3);
    for (const char* placeholder : placeholders) {
        if (inner == placeholder) {
            return "`" + shortName + "` does not take `" + written +
                   "`, so it stays as written: see the configuration reference for the "
                   "placeholders each key takes";
        }
    }
    for (const char* placeholder : placeholders) {
        if (comparable(inner) == comparable(placeholder)) {
            return "`" + written + "` stays as written: placeholders match in letter case, write `$(" +
                   placeholder + ")`";
        }
    }
    return "`" + written + "` stays as written: the launcher knows only `$(moduleDir)` and "
           "`$(programData)`";
}

// Each "$(...)" that the deployer wrote in a key that does not take it stays
// literal. Only the written text counts: what an expansion brought in (an
// installation folder named "$(moduleDir)") is no placeholder of the file. A
// key the launcher did not use gets no finding, and a key one per
// placeholder text.
void checkPlaceholders(const std::string& name, const std::string& shortName,
                       const std::string& value, std::optional<int> line,
                       const EffectiveValues& effective, std::set<std::string>& reported,
                       std::vector<Finding>& findings) {
    if (effective.count(name) == 0) {
        return;
    }
    for (std::size_t at = value.find("$("); at != std::string::npos; at = value.find("$(", at + 2)) {
        std::size_t end = value.find(')', at);
        if (end == std::string::npos) {
            return;
        }
        std::string written = value.substr(at, end - at + 1);
        if (!takes(name, written) && reported.insert(written).second) {
            warn(findings, "placeholder-unexpanded", name, line, placeholderAdvice(shortName, written));
        }
    }
}

// A blank outside double quotes splits an option into two arguments of Java.
void checkOptionBlanks(const std::string& name, const std::string& option,
                       std::optional<int> line, std::vector<Finding>& findings) {
    bool quoted = false;
    for (char c : option) {
        if (c == '"') {
            quoted = !quoted;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            warn(findings, "option-with-blank", name, line,
                 "`" + option +
                     "` holds a blank outside double quotes, so Java receives it as two "
                     "arguments: put the part with the blank in double quotes "
                     "('-Dapp.home=\"C:\\Program Files\\Acme\"')");
            return;
        }
    }
}

void checkString(const std::string& name, const KnownKey& known, const std::string& value,
                 std::optional<int> line, const EffectiveValues& effective,
                 std::set<std::string>& reported, std::vector<Finding>& findings) {
    checkControlCharacters(name, known.key, value, line, findings);
    checkPlaceholders(name, known.key, value, line, effective, reported, findings);
}

void checkMillisec(const std::string& name, std::int64_t written, std::optional<int> line,
                   int effectiveMillisec, std::vector<Finding>& findings) {
    if (written > LONGEST_SPLASH) {
        warn(findings, "millisec-clamped", name, line,
             "`millisec = " + std::to_string(written) + "` is more than " +
                 std::to_string(LONGEST_SPLASH) + ": the splash stays " +
                 std::to_string(effectiveMillisec) + " ms");
    } else if (written < 0) {
        warn(findings, "millisec-clamped", name, line,
             "`millisec = " + std::to_string(written) + "` is below 0: the launcher takes " +
                 std::to_string(effectiveMillisec) + " and shows no splash window");
    }
}

// until_window shortens a splash that watches a started Java runtime; with
// either missing it changes nothing.
void checkUntilWindow(const std::string& name, std::optional<int> line,
                      const EffectiveValues& effective, int effectiveMillisec,
                      std::vector<Finding>& findings) {
    if (effectiveMillisec == 0) {
        warn(findings, "until-window-unused", name, line,
             "`until_window = true` does nothing without a splash: set `millisec` above 0 in "
             "[splash], the longest the splash may stay");
    } else if (effective.count("jre.main_jar") == 0) {
        warn(findings, "until-window-unused", name, line,
             "`until_window = true` does nothing here: no Java runtime is started (`main_jar` "
             "in [jre] is not set), so the splash lasts its `millisec`");
    }
}

// The launcher does not pass an id that the shell would not take.
void checkAppId(const std::string& name, const std::string& id, std::optional<int> line,
                std::vector<Finding>& findings) {
    if (const char* problem = appIdProblem(fromUtf8Text(id).c_str())) {
        findings.push_back({Severity::error, "app-id-invalid", name, line,
                            "`app_id = '" + id + "'` is no AppUserModelID (" + problem +
                                "), so the launcher starts the Java runtime without it and the "
                                "taskbar groups its windows under the runtime's name: write "
                                "Company.Product[.SubProduct], at most 128 characters, no blanks"});
    }
}

std::string wrongTypeAdvice(Kind kind) {
    switch (kind) {
    case Kind::integer:
        return "write a whole number without quotes or fraction (`millisec = 2500`)";
    case Kind::stringArray:
        return "write an array of strings, even for one element (`PATH = ['C:\\jre\\bin']`)";
    case Kind::boolean:
        return "write true or false without quotes (`until_window = true`)";
    default:
        return "write a string in single quotes (`exec = 'C:\\jre\\bin\\javaw.exe'`)";
    }
}

std::string kindName(Kind kind) {
    switch (kind) {
    case Kind::integer:
        return "an integer";
    case Kind::stringArray:
        return "an array of strings";
    case Kind::boolean:
        return "true or false";
    default:
        return "a string";
    }
}

void checkArray(const std::string& name, const KnownKey& known, const toml::array& array,
                const EffectiveValues& effective, std::vector<Finding>& findings) {
    std::set<std::string> reported;
    for (std::size_t index = 0; index < array.size(); ++index) {
        const toml::node& element = *array.get(index);
        std::optional<int> line = lineOfNode(element);
        const toml::value<std::string>* text = element.as_string();
        if (text == nullptr) {
            std::size_t rest = array.size() - index - 1;
            warn(findings, "not-a-string", name, line,
                 "element " + std::to_string(index + 1) + " of `" + known.key + "` is " +
                     typeName(element.type()) + ": the launcher ignores it and the " +
                     std::to_string(rest) + (rest == 1 ? " element" : " elements") +
                     " after it; write every element as a string");
            return;
        }
        checkString(name, known, text->get(), line, effective, reported, findings);
        if (std::string(known.key) == "options") {
            checkOptionBlanks(name, text->get(), line, findings);
        }
    }
}

void checkKnownKey(const KnownKey& known, const toml::node& node, const EffectiveValues& effective,
                   int effectiveMillisec, std::vector<Finding>& findings) {
    std::string name = std::string(known.table) + "." + known.key;
    std::optional<int> line = lineOfNode(node);
    bool rightType = (known.kind == Kind::string && node.is_string()) ||
                     (known.kind == Kind::integer && node.is_integer()) ||
                     (known.kind == Kind::stringArray && node.is_array()) ||
                     (known.kind == Kind::boolean && node.is_boolean());
    if (!rightType) {
        warn(findings, "wrong-type", name, line,
             "`" + std::string(known.key) + "` is " + typeName(node.type()) +
                 ", and the launcher reads only " + kindName(known.kind) +
                 " there, so it ignores the key: " + wrongTypeAdvice(known.kind));
        return;
    }
    if (known.kind == Kind::boolean) {
        if (std::string(known.key) == "until_window" && node.as_boolean()->get()) {
            checkUntilWindow(name, line, effective, effectiveMillisec, findings);
        }
    } else if (known.kind == Kind::integer) {
        checkMillisec(name, node.as_integer()->get(), line, effectiveMillisec, findings);
    } else if (known.kind == Kind::string) {
        std::set<std::string> reported;
        checkString(name, known, node.as_string()->get(), line, effective, reported, findings);
        if (name == "app.app_id") {
            checkAppId(name, node.as_string()->get(), line, findings);
        }
    } else {
        checkArray(name, known, *node.as_array(), effective, findings);
    }
}

void checkTable(const std::string& table, const toml::table& content,
                const EffectiveValues& effective, int effectiveMillisec,
                std::vector<Finding>& findings) {
    for (auto&& [key, node] : content) {
        std::string written(key.str());
        const KnownKey* known = nullptr;
        for (const KnownKey& candidate : knownKeys) {
            if (table == candidate.table && written == candidate.key) {
                known = &candidate;
            }
        }
        if (known == nullptr) {
            warn(findings, "unknown-key", table + "." + written, lineOfKey(key),
                 "the launcher reads no key `" + written + "` in [" + table +
                     "] and ignores it: the nearest it reads is " + nearestKey(table, written));
            continue;
        }
        checkKnownKey(*known, node, effective, effectiveMillisec, findings);
    }
}

}  // namespace

void findConfigProblems(const toml::table& document, const EffectiveValues& effective,
                        int effectiveMillisec, std::vector<Finding>& findings) {
    for (auto&& [key, node] : document) {
        std::string written(key.str());
        bool known = std::any_of(std::begin(knownTables), std::end(knownTables),
                                 [&](const char* table) { return written == table; });
        if (!known) {
            warn(findings, "unknown-table", written, lineOfKey(key),
                 std::string("the launcher reads no ") + (node.is_table() ? "table" : "top-level key") +
                     " `" + written + "` and ignores it: the nearest it reads is " +
                     nearestTopLevel(written));
        } else if (!node.is_table()) {
            warn(findings, "wrong-type", written, lineOfKey(key),
                 "`" + written + "` is " + typeName(node.type()) +
                     ", and the launcher reads only a table there, so it ignores it: write [" +
                     written + "] above its keys");
        } else {
            checkTable(written, *node.as_table(), effective, effectiveMillisec, findings);
        }
    }
}

std::optional<int> lineOf(const toml::table& document, const std::string& table,
                          const std::string& key) {
    const toml::table* content = document.get_as<toml::table>(table);
    const toml::node* node = content != nullptr ? content->get(key) : nullptr;
    return node != nullptr ? lineOfNode(*node) : std::nullopt;
}
