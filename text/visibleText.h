// Control characters of a UTF-8 text written visibly, so that no value can
// start a line of its own or reach a terminal as a command. Free of Win32:
// the launcher's log and both builds of the deployer's tool use it.
#pragma once

#include <string>

// \n, \r and \t as such; the other C0 controls and DEL as \xHH; the C1
// controls and the line and paragraph separators U+2028 and U+2029 as
// \uHHHH. Everything else, backslashes included, stays as it is.
std::string escapedControls(const std::string& text);
