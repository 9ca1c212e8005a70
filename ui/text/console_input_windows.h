// The standard input of a Windows program, read line by line in a way that
// can be stopped: a console, a pipe or a file.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace text {

// Calls `line` with each line read (without its line break; a last line
// without one included) until the input ends (returns true) or `stop` is
// set (returns false, within about 50 ms).
bool ReadStandardInput(const std::function<void(std::string)>& line, const std::atomic<bool>& stop);

}  // namespace text
