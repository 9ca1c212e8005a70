// The console a program with windows was started from.  A Windows program
// with windows (the GUI subsystem) gets no console of its own, and one
// started from cmd.exe gets no standard output either: what its options
// print would be lost.  UseParentConsole() attaches it to the console of the
// process that started it, if that has one, and points standard output and
// error there where they lead nowhere; where they were given (a pipe, a
// file) they stay as they are.  Elsewhere there is nothing to do.
#pragma once

namespace text {

#ifdef _WIN32
void UseParentConsole();
#else
inline void UseParentConsole() {}
#endif

}  // namespace text
