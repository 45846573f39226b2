// The launcher is built without exceptions: nothing in it catches one, and the
// only failure the standard library would report by throwing is an allocation
// that cannot be met, for which the program has no recovery. These
// definitions take the place of the library's throwing helpers and of its
// verbose terminate handler, so that a library failure ends the process at
// once, as an uncaught exception would, and the executable does not carry
// about 100 KB of exception objects, unwinding and name demangling that could
// never run. Linked into launcher.exe only; the tests keep the library's own.
#include <cstdlib>

namespace __gnu_cxx {
[[noreturn]] void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx

namespace std {
[[noreturn]] void __throw_bad_alloc() {
    std::abort();
}
[[noreturn]] void __throw_bad_array_new_length() {
    std::abort();
}
[[noreturn]] void __throw_length_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_logic_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_out_of_range(const char*) {
    std::abort();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    std::abort();
}
[[noreturn]] void __throw_invalid_argument(const char*) {
    std::abort();
}
}  // namespace std
