#include "app/history/print.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>

#include "app/history/attempts.h"
#include "app/history/path.h"

namespace history {
namespace {

std::string Shown(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string Sentence(const Record& r) {
  const std::string before = r.versionBefore ? Shown(*r.versionBefore) : "unknown";
  std::string display = Shown(r.maker.empty() && r.model.empty() ? "Unidentified display"
                                                                 : r.maker + (r.maker.empty() ? "" : " ") + r.model);
  if (r.serial) display += ", serial " + Shown(*r.serial);
  std::string text = Shown(r.time) + ": " + display + ", firmware " + before + ", image " + Shown(r.image) + ": ";
  switch (r.result) {
    case Result::kDone:
      return text + "done, now " + (r.versionAfter ? Shown(*r.versionAfter) : "unknown") + ".";
    case Result::kRefused:
      return text + "refused: this firmware version cannot be updated.";
    case Result::kDeclined:
      return text + "declined: the user kept the version the display has.";
    case Result::kCancelled:
      return text + "cancelled before the download started.";
    case Result::kNotBack:
      return text + "not back: the display did not identify itself after the download.";
    case Result::kLowBattery:
      return text + "not started: the computer was on battery" +
             (r.battery ? " at " + std::to_string(*r.battery) + "%" : std::string()) + ", too low to write the display.";
    case Result::kWriting:
      return text + "interrupted during the download, image offset " + std::to_string(r.offset.value_or(0)) + ".";
    case Result::kFailed:
      break;
  }
  text += "failed";
  if (r.step) text += " at step " + Shown(*r.step);
  if (r.offset) text += ", image offset " + std::to_string(*r.offset);
  if (r.status) text += ", status " + StatusHex(*r.status);
  if (r.versionAfter) text += ", back with firmware " + Shown(*r.versionAfter);
  return text + ".";
}

int Print(const std::string& path, std::ostream& out, std::ostream& err) {
  if (path.empty()) {
    err << ProgramName() << ": no update history: neither XDG_STATE_HOME nor HOME is set\n";
    return 1;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno == ENOENT) {
      out << "No firmware update has been recorded in " << path << ".\n";
      return 0;
    }
    err << ProgramName() << ": cannot read " << path << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  const auto attempts = ReadAttempts(file);
  if (file.bad()) {
    err << ProgramName() << ": cannot read " << path << "\n";
    return 1;
  }
  out << "Firmware updates recorded in " << path << " (times in UTC):\n";
  for (const Entry& entry : attempts) {
    if (entry.record) {
      out << Sentence(*entry.record) << "\n";
    } else {
      out << "Line " << entry.line << " is not a record that can be read.\n";
    }
  }
  return 0;
}

}  // namespace history
