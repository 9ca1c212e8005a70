#include "app/history/path.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstdlib>
#include <ctime>

namespace history {

std::string DefaultPath() {
  constexpr char kTail[] = "/dotvane/history.jsonl";
#ifdef _WIN32
  // The user's own application data, as Windows programs keep their state.
  const char* local = std::getenv("LOCALAPPDATA");
  return local != nullptr && local[0] != '\0' ? local + std::string(kTail) : std::string();
#else
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return state + std::string(kTail);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return home + std::string("/.local/state") + kTail;
#endif
}

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

const char* ProgramName() {
#ifdef _WIN32
  return "dotvane";
#else
  return program_invocation_short_name;
#endif
}

}  // namespace history
