// UTF-8 as Windows' own calls take text: UTF-16.  Windows only.
#pragma once

#include <string>

namespace os {

std::wstring Wide(const std::string& text);

}  // namespace os
