// UTF-8, the tool's text inside, and UTF-16, the text of resources and
// version records, converted without the system's help so that both builds
// give the same bytes. Invalid sequences become U+FFFD.
#pragma once

#include <string>
#include <string_view>

std::u16string toUtf16(std::string_view text);
std::string fromUtf16(std::u16string_view text);
