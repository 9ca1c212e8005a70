// Puts a pipe on the standard input for the life of a test, so that a test
// can type into the program's real standard input (POSIX descriptor 0 or
// Windows' STD_INPUT_HANDLE), and can keep it open or end it.
#pragma once

#include <cstdint>
#include <string>

namespace test {

class PipedStdin {
 public:
  PipedStdin();
  ~PipedStdin();
  PipedStdin(const PipedStdin&) = delete;
  PipedStdin& operator=(const PipedStdin&) = delete;

  void Write(const std::string& data);
  void CloseWriter();

 private:
  // Descriptors on POSIX, HANDLEs on Windows.
  std::intptr_t saved_ = -1;
  std::intptr_t writer_ = -1;
};

// Sets (value not null) or removes an environment variable of this process.
void SetEnvironment(const char* name, const char* value);

}  // namespace test
