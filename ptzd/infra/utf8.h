// Text that leaves ptzd in JSON, XML or metrics labels must be valid UTF-8.
#pragma once

#include <string_view>

namespace ptzd {

// True for well-formed UTF-8: no stray or missing continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view text);

}  // namespace ptzd
