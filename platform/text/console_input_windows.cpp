// Kept apart from the rest of the back end: <windows.h> defines macros
// (MessageBox, IDOK, ...) that clash with the names platform/ui mirrors.
#include "platform/text/console_input_windows.h"

#include <windows.h>

namespace text {

namespace {

constexpr DWORD kPollMs = 50;

enum class Ready { kData, kNone, kEnded };

// Whether a read would return at once.  A pipe says how much it holds; a
// console handle is signalled while input events are waiting (a line is
// only complete after Enter, so a console read may still wait for the rest
// of it); a file never blocks.
Ready WaitForInput(HANDLE in, DWORD type) {
  if (type == FILE_TYPE_PIPE) {
    DWORD available = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) return Ready::kEnded;  // writer gone
    if (available > 0) return Ready::kData;
    Sleep(kPollMs);
    return Ready::kNone;
  }
  if (type == FILE_TYPE_CHAR) {
    switch (WaitForSingleObject(in, kPollMs)) {
      case WAIT_OBJECT_0:
        return Ready::kData;
      case WAIT_TIMEOUT:
        return Ready::kNone;
      default:
        return Ready::kEnded;
    }
  }
  return Ready::kData;
}

}  // namespace

bool ReadStandardInput(const std::function<void(std::string)>& line, const std::atomic<bool>& stop) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD type = in == nullptr || in == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(in);
  std::string pending;
  char buffer[4096];
  bool ended = type == FILE_TYPE_UNKNOWN;
  while (!ended) {
    if (stop) return false;
    const Ready ready = WaitForInput(in, type);
    if (ready == Ready::kNone) continue;
    DWORD got = 0;
    if (ready == Ready::kEnded || !ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) {
      ended = true;
      break;
    }
    pending.append(buffer, got);
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      line(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) line(std::move(pending));
  return true;
}

}  // namespace text
