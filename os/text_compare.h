// Comparing texts the way Windows compares names: device-interface paths,
// pipe names, the written display's path against a broadcast's.
#pragma once

#include <string>

namespace os {

// Whether `a` and `b` are the same text without regard to case, as the
// display maker's driver and Windows compare device paths.  Byte by byte,
// each upper-cased as the C library does in the program's locale.
bool SameText(const std::string& a, const std::string& b);

}  // namespace os
