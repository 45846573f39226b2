// The TOML reader behind the configuration file: a document parsed from an
// open stream, and lookups of tables, arrays, strings, integers and booleans
// by exact name. Values come out as plain records, so the caller never meets
// the parser's own types.
#pragma once

#include <cstdint>
#include <cstdio>

// A parsed document or one of its tables; owned by the document.
struct toml_table_t;
// An array inside a parsed document; owned by the document.
struct toml_array_t;

// The result of one lookup. `ok` is nonzero only when the value exists and
// has the requested type. A string arrives in `u.s` as a NUL-terminated UTF-8
// copy that belongs to the caller and is released with free().
struct toml_datum_t {
    int ok;
    union {
        char* s;
        std::int64_t i;
        int b;
    } u;
};

// Reads `stream` to its end (leaving it open) and parses it. Returns the
// document, or null when the text is not valid TOML or cannot be read; then
// `errbuf` holds a single-line message, "line N: ..." for a syntax error, cut
// to `errbufsz` - 1 bytes and NUL-terminated.
toml_table_t* toml_parse_file(std::FILE* stream, char* errbuf, int errbufsz);

// Releases a document with everything in it; null is allowed.
void toml_free(toml_table_t* document);

// The table, array, string, integer or boolean called `key` in `table`, or
// null (ok 0) when it is missing or of another kind. Integers are only
// integers: a float or a boolean is not read as one; booleans are only true
// and false, never a number or a string.
toml_table_t* toml_table_in(const toml_table_t* table, const char* key);
toml_array_t* toml_array_in(const toml_table_t* table, const char* key);
toml_datum_t toml_string_in(const toml_table_t* table, const char* key);
toml_datum_t toml_int_in(const toml_table_t* table, const char* key);
toml_datum_t toml_bool_in(const toml_table_t* table, const char* key);

// The string at `index` (from 0) of `array`; ok 0 past the end and for an
// element that is not a string.
toml_datum_t toml_string_at(const toml_array_t* array, int index);
