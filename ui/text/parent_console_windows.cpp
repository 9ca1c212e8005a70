// Kept apart from the rest of the back end: <windows.h> defines macros that
// clash with the names ui mirrors.
#include "ui/text/parent_console.h"

#include <windows.h>

#include <iostream>
#include <streambuf>
#include <string>

namespace text {

namespace {

// A standard handle that leads nowhere: none at all, or one Windows does not
// know (a GUI program started from cmd.exe gets neither kind of handle).
bool LeadsNowhere(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) == FILE_TYPE_UNKNOWN;
}

// Our UTF-8 text onto a console, as the console's own wide characters (its
// code page is the user's, and stays theirs).  The C library's streams are
// left alone: reopening them onto "CONOUT$" is refused by some consoles
// (Wine's), and std::cout and std::cerr are all this program prints with.
class ConsoleBuf : public std::streambuf {
 public:
  explicit ConsoleBuf(HANDLE console) : console_(console) {}

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_.push_back(traits_type::to_char_type(c));
    if (c == '\n') sync();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.find('\n') != std::string::npos) sync();
    return count;
  }
  int sync() override {
    // Whole UTF-8 sequences only: a character split between two writes
    // waits for its rest.
    std::size_t end = pending_.size();
    std::size_t back = 0;
    while (back < 3 && back < end && (static_cast<unsigned char>(pending_[end - 1 - back]) & 0xC0) == 0x80) ++back;
    if (back < end) {
      const auto lead = static_cast<unsigned char>(pending_[end - 1 - back]);
      const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (length > back + 1) end -= back + 1;
    }
    if (end == 0) return 0;
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), wide.data(), wideLength);
    pending_.erase(0, end);
    DWORD written = 0;
    return WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) ? 0 : -1;
  }

 private:
  HANDLE console_;
  std::string pending_;
};

}  // namespace

void UseParentConsole() {
  const bool output = LeadsNowhere(STD_OUTPUT_HANDLE);
  const bool error = LeadsNowhere(STD_ERROR_HANDLE);
  if (!output && !error) return;  // given a pipe or a file: printed there
  // Refused when the process has a console already (ERROR_ACCESS_DENIED),
  // which is as good; without one to attach to (started from Explorer) the
  // console cannot be opened below.
  AttachConsole(ATTACH_PARENT_PROCESS);
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  // Kept to the program's end: the streams are flushed after main returns.
  static ConsoleBuf* const buffer = new ConsoleBuf(console);
  if (output) {
    std::cout.rdbuf(buffer);
    std::cout.clear();
  }
  if (error) {
    std::cerr.rdbuf(buffer);
    std::cerr.clear();
  }
}

}  // namespace text
