// Coverage-guided fuzzing of the TOML reader, built for the build machine
// with the address and undefined-behaviour sanitizers. Each input is parsed
// as the configuration file is, and every lookup the launcher makes is made
// on the result.
#include "tomlParser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

void readString(const toml_table_t* table, const char* key) {
    toml_datum_t value = toml_string_in(table, key);
    if (value.ok) {
        std::free(value.u.s);
    }
}

void readStrings(const toml_table_t* table, const char* key) {
    const toml_array_t* array = toml_array_in(table, key);
    for (int index = 0; array != nullptr; ++index) {
        toml_datum_t element = toml_string_at(array, index);
        if (!element.ok) {
            break;
        }
        std::free(element.u.s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (stream == nullptr) {
        return 0;
    }
    char errors[222];
    toml_table_t* document = toml_parse_file(stream, errors, sizeof errors);
    std::fclose(stream);
    if (document == nullptr) {
        return 0;
    }
    if (const toml_table_t* splash = toml_table_in(document, "splash")) {
        readString(splash, "image");
        toml_int_in(splash, "millisec");
    }
    if (const toml_table_t* env = toml_table_in(document, "env")) {
        readStrings(env, "PATH");
    }
    if (const toml_table_t* jre = toml_table_in(document, "jre")) {
        readString(jre, "main_jar");
        readStrings(jre, "options");
    }
    if (const toml_table_t* app = toml_table_in(document, "app")) {
        for (const char* key : {"exec", "exec2", "log_dir", "data_dir"}) {
            readString(app, key);
        }
    }
    toml_free(document);
    return 0;
}
