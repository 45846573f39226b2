// The configuration reader over toml++ 3.3.0. This is the launcher's only file
// that sees the library; the rest of the launcher uses the plain functions of
// tomlParser.h.
#include "tomlParser.h"

#include "tomlLibrary.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// The opaque handles are the library's own objects, seen through another
// pointer type; they are only ever turned back into what they were.
const toml::table* tableOf(const toml_table_t* table) {
    return reinterpret_cast<const toml::table*>(table);
}

toml_table_t* handleOf(const toml::table* table) {
    return reinterpret_cast<toml_table_t*>(const_cast<toml::table*>(table));
}

const toml::array* arrayOf(const toml_array_t* array) {
    return reinterpret_cast<const toml::array*>(array);
}

toml_array_t* handleOf(const toml::array* array) {
    return reinterpret_cast<toml_array_t*>(const_cast<toml::array*>(array));
}

// Copies `message` into the caller's buffer as one line: the log writes one
// entry per line, and some of the library's descriptions hold line breaks.
// A cut never splits a UTF-8 sequence.
void setError(char* buffer, int size, std::string_view message) {
    if (buffer == nullptr || size <= 0) {
        return;
    }
    std::size_t length = message.size();
    if (length > static_cast<std::size_t>(size - 1)) {
        length = static_cast<std::size_t>(size - 1);
        while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    for (std::size_t at = 0; at < length; ++at) {
        unsigned char c = static_cast<unsigned char>(message[at]);
        buffer[at] = c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
    }
    buffer[length] = '\0';
}

// A malloc'd copy that the caller releases with free(); ok 0 when there is
// nothing to copy or no memory for it.
toml_datum_t stringDatum(const toml::node* node) {
    toml_datum_t datum{};
    const toml::value<std::string>* text = node != nullptr ? node->as_string() : nullptr;
    if (text == nullptr) {
        return datum;
    }
    const std::string& content = text->get();
    char* copy = static_cast<char*>(std::malloc(content.size() + 1));
    if (copy == nullptr) {
        return datum;
    }
    std::memcpy(copy, content.c_str(), content.size() + 1);
    datum.ok = 1;
    datum.u.s = copy;
    return datum;
}

toml_table_t* parseStream(std::FILE* stream, char* errbuf, int errbufsz) {
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
        text.append(chunk, got);
    }
    if (std::ferror(stream)) {
        setError(errbuf, errbufsz, "cannot read the file");
        return nullptr;
    }
    toml::parse_result result = toml::parse(text);
    if (!result) {
        const toml::parse_error& error = result.error();
        std::string message = "line " + std::to_string(error.source().begin.line) + ": ";
        message += error.description();
        setError(errbuf, errbufsz, message);
        return nullptr;
    }
    return handleOf(new toml::table(std::move(result).table()));
}

}  // namespace

toml_table_t* toml_parse_file(std::FILE* stream, char* errbuf, int errbufsz) {
    return parseStream(stream, errbuf, errbufsz);
}

void toml_free(toml_table_t* document) {
    delete tableOf(document);
}

toml_table_t* toml_table_in(const toml_table_t* table, const char* key) {
    const toml::node* node = tableOf(table)->get(key);
    return node != nullptr ? handleOf(node->as_table()) : nullptr;
}

toml_array_t* toml_array_in(const toml_table_t* table, const char* key) {
    const toml::node* node = tableOf(table)->get(key);
    return node != nullptr ? handleOf(node->as_array()) : nullptr;
}

toml_datum_t toml_string_in(const toml_table_t* table, const char* key) {
    return stringDatum(tableOf(table)->get(key));
}

toml_datum_t toml_int_in(const toml_table_t* table, const char* key) {
    toml_datum_t datum{};
    const toml::node* node = tableOf(table)->get(key);
    const toml::value<std::int64_t>* integer = node != nullptr ? node->as_integer() : nullptr;
    if (integer != nullptr) {
        datum.ok = 1;
        datum.u.i = integer->get();
    }
    return datum;
}

toml_datum_t toml_string_at(const toml_array_t* array, int index) {
    const toml::array* elements = arrayOf(array);
    if (index < 0 || static_cast<std::size_t>(index) >= elements->size()) {
        return toml_datum_t{};
    }
    return stringDatum(elements->get(static_cast<std::size_t>(index)));
}
