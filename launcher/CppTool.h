// Text helpers: the owned UTF-16 string, printf-style formatting, the
// environment block handed to child processes, and the process-wide settings.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr int ERROR_GENERIC = 7;

// An owned, nullable, NUL-terminated UTF-16 string on the heap. Null means
// "not configured" and is distinct from the empty text.
class WideText {
public:
    WideText() = default;
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;
    ~WideText() { release(); }

    void release();

    // Replaces the value with the UTF-16 form of `utf8`. Invalid UTF-8 is not
    // an error: the system substitutes replacement characters.
    int fromUtf8(const char* utf8);
    // Appends the UTF-16 form of `utf8`; on failure the value is unchanged.
    int appendUtf8(const char* utf8);
    // Appends `text` (not null). Always succeeds.
    int appendWide(const wchar_t* text);
    // Takes ownership of an array made with new[].
    void adopt(wchar_t* array);

    const wchar_t* get() const { return text_; }
    bool isNull() const { return text_ == nullptr; }
    std::size_t length() const;

private:
    wchar_t* text_ = nullptr;
};

// Wide printf-style formatting (Windows convention: %s takes UTF-16 text).
// An empty result counts as a failure; the target then keeps its old value.
int format(WideText& target, const wchar_t* fmt, ...);

// Narrow printf-style formatting with vsnprintf's contract (returns the length
// the text needs, writes at most size - 1 characters and a NUL), except that a
// UTF-16 argument (%S or %ls) is written as UTF-8 and a null string argument as
// "(null)". The log is UTF-8 so that no path it records is lost.
int formatUtf8V(char* buffer, std::size_t size, const char* fmt, va_list args);
int formatUtf8(char* buffer, std::size_t size, const char* fmt, ...);

// The same for the log: every control character inside a text argument is
// written as a visible escape, so that no value can start a new line of its
// own. C0 controls and DEL become \n, \r, \t or \xHH; the C1 controls and the
// line and paragraph separators U+2028 and U+2029, at which editors break
// lines too, become \uHHHH. Everything else, backslashes included, stays.
int formatUtf8EscapedV(char* buffer, std::size_t size, const char* fmt, va_list args);
int formatUtf8Escaped(char* buffer, std::size_t size, const char* fmt, ...);

// A growable UTF-16 multi-string in the layout CreateProcessW takes as a
// Unicode environment: entries each NUL-terminated, then one more NUL.
class EnvironmentBlock {
public:
    EnvironmentBlock() = default;
    EnvironmentBlock(const EnvironmentBlock&) = delete;
    EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;
    ~EnvironmentBlock() { release(); }

    int appendEntry(const wchar_t* entry);
    void release();

    // The block as CreateProcessW takes it; null while empty.
    wchar_t* get() const { return block_; }
    // Code units in use, without the closing NUL.
    int count() const { return count_; }

private:
    wchar_t* block_ = nullptr;
    int count_ = 0;
};

// The launcher's settings, filled from the configuration file and completed
// with the placeholders expanded. They live until process exit.
extern WideText configApplication;
extern WideText configApplication2;
extern WideText configDataDir;
extern WideText configLogDir;
extern WideText configPath;
extern WideText configMainJar;
extern WideText configJavaOptions;
