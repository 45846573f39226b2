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

// How many keys a value may sit under: the parts of its table header, those
// of its own dotted key and those of the keys of the inline tables around it,
// all together. Real configurations need two or three. The reader makes one
// table per part and walks them recursively, as the document's release does,
// so without a limit a line of "a.a.a..." runs the launcher out of stack.
constexpr int maxKeyDepth = 128;

// Finds a key nested deeper than maxKeyDepth before the reader sees the text.
// It follows TOML's lexical structure just far enough to tell keys from
// strings, comments and other values: exactly on valid TOML, and on invalid
// TOML at least up to its first fault, which is where the reader stops. It
// gives up where the reader is certain to stop with an error of its own.
class KeyDepthScan {
public:
    explicit KeyDepthScan(std::string_view text) : text_(text) {}

    // The line (from 1) of the first key nested too deep, or 0.
    int firstTooDeep() {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            at_ = 3;
        }
        int tableDepth = 0;
        while (!atEnd() && !gaveUp_) {
            skipBlanks();
            char c = peek();
            if (c == '[') {
                // A table header or, with two brackets, an array of tables.
                skip();
                if (peek() == '[') {
                    skip();
                }
                int line = line_;
                tableDepth = keyParts();
                if (tableDepth > maxKeyDepth) {
                    return line;
                }
            } else if (!atEnd() && c != '#' && c != '\n' && c != '\r') {
                int line = line_;
                int depth = tableDepth + keyParts();
                if (depth > maxKeyDepth) {
                    return line;
                }
                skipBlanks();
                if (peek() == '=') {
                    skip();
                    if (int deep = valueTooDeep(depth)) {
                        return deep;
                    }
                }
            }
            skipRestOfLine();
            if (!atEnd()) {
                skip();
            }
        }
        return 0;
    }

private:
    // An array or inline table not yet closed, and the depth of the key that
    // holds it: the keys inside an inline table count from there.
    struct Open {
        bool isTable;
        int depth;
    };
    // The reader stops with an error of its own at this nesting of arrays and
    // inline tables.
    static constexpr int maxNesting = TOML_MAX_NESTED_VALUES;

    bool atEnd() const { return at_ >= text_.size(); }
    char peek(std::size_t ahead = 0) const {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0';
    }
    void skip() {
        if (text_[at_] == '\n') {
            ++line_;
        }
        ++at_;
    }
    void skipBlanks() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t')) {
            skip();
        }
    }
    // Up to the line feed, which stays.
    void skipRestOfLine() {
        while (!atEnd() && peek() != '\n') {
            skip();
        }
    }
    // Inside arrays values may stand on lines of their own, between comments.
    void skipBlanksAndLines() {
        for (;;) {
            skipBlanks();
            if (peek() == '#') {
                skipRestOfLine();
            }
            if (atEnd() || (peek() != '\n' && peek() != '\r')) {
                return;
            }
            skip();
        }
    }

    static bool isBareKeyByte(char c) {
        return std::strchr(" \t\r\n.=[]{},#\"'", c) == nullptr;
    }
    static bool endsBareValue(char c) { return std::strchr(" \t\r\n,]}#", c) != nullptr; }
    static bool endsElement(char c) { return std::strchr("\r\n,]}#\"'", c) != nullptr; }

    // Any of the four kinds of string. An escaped quote ends nothing; a
    // single-line string ends at the line's end at the latest.
    void skipString() {
        char quote = peek();
        bool escapes = quote == '"';
        if (peek(1) == quote && peek(2) == quote) {
            skip();
            skip();
            skip();
            while (!atEnd()) {
                if (escapes && peek() == '\\') {
                    skip();
                    if (!atEnd()) {
                        skip();
                    }
                } else if (peek() == quote && peek(1) == quote && peek(2) == quote) {
                    // Up to two quotes of the text may stand before the closing three.
                    while (!atEnd() && peek() == quote) {
                        skip();
                    }
                    return;
                } else {
                    skip();
                }
            }
            return;
        }
        skip();
        while (!atEnd() && peek() != '\n') {
            char c = peek();
            skip();
            if (escapes && c == '\\') {
                if (!atEnd() && peek() != '\n') {
                    skip();
                }
            } else if (c == quote) {
                return;
            }
        }
    }

    // A key of bare and quoted parts joined by dots; returns how many parts.
    int keyParts() {
        int parts = 0;
        for (;;) {
            skipBlanks();
            char c = peek();
            if (atEnd()) {
                break;
            }
            if (c == '"' || c == '\'') {
                skipString();
            } else if (isBareKeyByte(c)) {
                while (!atEnd() && isBareKeyByte(peek())) {
                    skip();
                }
            } else {
                break;
            }
            ++parts;
            skipBlanks();
            if (atEnd() || peek() != '.') {
                break;
            }
            skip();
        }
        return parts;
    }

    // One value after "=", with everything nested in it; `depth` is that of
    // its key. Returns the line of a key inside it nested too deep, or 0.
    int valueTooDeep(int depth) {
        Open open[maxNesting];
        int count = 0;
        for (;;) {
            // At a value's start, at an array's next element or end, or at an
            // inline table's next key or end.
            if (count == 0) {
                skipBlanks();
            } else {
                skipBlanksAndLines();
                if (atEnd()) {
                    return 0;
                }
                Open& inner = open[count - 1];
                char closing = inner.isTable ? '}' : ']';
                if (peek() == closing) {
                    skip();
                    if (--count == 0) {
                        return 0;
                    }
                    continue;
                }
                if (peek() == ',') {
                    skip();
                    continue;
                }
                depth = inner.depth;
                if (inner.isTable) {
                    int line = line_;
                    depth += keyParts();
                    if (depth > maxKeyDepth) {
                        return line;
                    }
                    skipBlanks();
                    if (peek() != '=') {
                        gaveUp_ = true;
                        return 0;
                    }
                    skip();
                    skipBlanks();
                }
            }
            char c = peek();
            if (c == '[' || c == '{') {
                if (count == maxNesting) {
                    gaveUp_ = true;
                    return 0;
                }
                skip();
                open[count++] = Open{c == '{', depth};
                continue;
            }
            std::size_t start = at_;
            if (c == '"' || c == '\'') {
                skipString();
            } else {
                // Numbers, booleans and dates.
                while (!atEnd() && !endsBareValue(peek())) {
                    skip();
                }
            }
            if (count == 0) {
                return 0;
            }
            if (at_ == start && !atEnd()) {
                // Nothing a value can begin with: step over it, the reader
                // rejects it anyway.
                skip();
            }
            // A date's time part after its blank, up to the separator.
            while (!atEnd() && !endsElement(peek())) {
                skip();
            }
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
    int line_ = 1;
    bool gaveUp_ = false;
};

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
    if (int line = KeyDepthScan(text).firstTooDeep()) {
        setError(errbuf, errbufsz,
                 "line " + std::to_string(line) + ": key nested more than " +
                     std::to_string(maxKeyDepth) +
                     " levels deep (table header, dotted key and inline tables together)");
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

toml_datum_t toml_bool_in(const toml_table_t* table, const char* key) {
    toml_datum_t datum{};
    const toml::node* node = tableOf(table)->get(key);
    const toml::value<bool>* boolean = node != nullptr ? node->as_boolean() : nullptr;
    if (boolean != nullptr) {
        datum.ok = 1;
        datum.u.b = boolean->get() ? 1 : 0;
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
