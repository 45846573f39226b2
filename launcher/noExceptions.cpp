// The launcher is built without exceptions: nothing in it catches one, and the
// only failure the standard library would report by throwing is memory it
// cannot get (the limits on the configuration file keep that far away). These
// definitions take the place of the library's throwing helpers and of its
// verbose terminate handler, and a new handler keeps operator new from ever
// throwing, so that a library failure ends the run the way every run ends:
// exit code 0, no message to the user, one line in the log where it can still
// be written. abort() would end with code 3 and may show the C runtime's
// "terminate in an unusual way" box. The executable also does not carry
// about 100 KB of exception objects, unwinding and name demangling that could
// never run. Linked into launcher.exe only; the tests keep the library's own.
#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadconfig.h"

#include <new>

namespace {

[[noreturn]] void endQuietly(const char* reason) {
    // Writing the entry needs a little memory itself; a failure on the way
    // ends the run at once. Before the log's name is known there is no log.
    static bool ending = false;
    if (!ending && moduleName != nullptr) {
        ending = true;
        logMessage(SOURCE, __LINE__, "endQuietly", "ERROR %s: the launcher stops here\n", reason);
        // ExitProcess runs no destructor: what waits for the log goes now.
        flushLog();
    }
    kernel.ExitProcess(0);
    __builtin_unreachable();
}

// operator new calls this until it gets its memory; ending the run here keeps
// it from ever throwing.
void outOfMemory() {
    endQuietly("out of memory in the C++ library");
}

struct NewHandler {
    NewHandler() { std::set_new_handler(outOfMemory); }
} newHandler;

}  // namespace

namespace __gnu_cxx {
[[noreturn]] void __verbose_terminate_handler() {
    endQuietly("std::terminate");
}
}  // namespace __gnu_cxx

namespace std {
[[noreturn]] void __throw_bad_alloc() {
    endQuietly("out of memory in the C++ library");
}
[[noreturn]] void __throw_bad_array_new_length() {
    endQuietly("array too large for the C++ library");
}
[[noreturn]] void __throw_length_error(const char*) {
    endQuietly("length error in the C++ library");
}
[[noreturn]] void __throw_logic_error(const char*) {
    endQuietly("logic error in the C++ library");
}
[[noreturn]] void __throw_out_of_range(const char*) {
    endQuietly("index out of range in the C++ library");
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    endQuietly("index out of range in the C++ library");
}
[[noreturn]] void __throw_invalid_argument(const char*) {
    endQuietly("invalid argument in the C++ library");
}
}  // namespace std
