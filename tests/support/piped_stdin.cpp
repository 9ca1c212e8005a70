#include "piped_stdin.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace test {

#ifdef _WIN32

PipedStdin::PipedStdin() {
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  EXPECT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
  saved_ = reinterpret_cast<std::intptr_t>(GetStdHandle(STD_INPUT_HANDLE));
  SetStdHandle(STD_INPUT_HANDLE, reader);
  writer_ = reinterpret_cast<std::intptr_t>(writer);
}

PipedStdin::~PipedStdin() {
  CloseWriter();
  const HANDLE reader = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(saved_));
  CloseHandle(reader);
}

void PipedStdin::Write(const std::string& data) {
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(reinterpret_cast<HANDLE>(writer_), data.data(), static_cast<DWORD>(data.size()), &written,
                        nullptr));
  EXPECT_EQ(written, data.size());
}

void PipedStdin::CloseWriter() {
  if (writer_ != -1) CloseHandle(reinterpret_cast<HANDLE>(writer_));
  writer_ = -1;
}

void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value == nullptr ? "" : value); }

#else

PipedStdin::PipedStdin() {
  int fds[2] = {-1, -1};
  saved_ = ::dup(0);
  EXPECT_EQ(::pipe(fds), 0);
  ::dup2(fds[0], 0);
  ::close(fds[0]);
  writer_ = fds[1];
}

PipedStdin::~PipedStdin() {
  CloseWriter();
  ::dup2(static_cast<int>(saved_), 0);
  ::close(static_cast<int>(saved_));
}

void PipedStdin::Write(const std::string& data) {
  EXPECT_EQ(::write(static_cast<int>(writer_), data.data(), data.size()), ssize_t(data.size()));
}

void PipedStdin::CloseWriter() {
  if (writer_ >= 0) ::close(static_cast<int>(writer_));
  writer_ = -1;
}

void SetEnvironment(const char* name, const char* value) {
  if (value == nullptr) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value, 1);
  }
}

#endif

}  // namespace test
