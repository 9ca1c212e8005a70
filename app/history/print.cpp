#include "app/history/print.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>

#include "app/history/attempts.h"
#include "app/history/path.h"
#include "os/i18n.h"

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
  using os::i18n::Format;
  const std::string before = r.versionBefore ? Shown(*r.versionBefore) : _("unknown");
  std::string display = r.maker.empty() && r.model.empty() ? _("Unidentified display")
                                                           : Shown(r.maker + (r.maker.empty() ? "" : " ") + r.model);
  if (r.serial) display = Format(N_("%1$s, serial %2$s"), {display, Shown(*r.serial)});
  // Each result's sentence follows after one space.
  std::string text =
      // TRANSLATORS: the record's time (UTC), the display, its firmware version before the update and the
      // version of the image written.
      Format(N_("%1$s: %2$s, firmware %3$s, image %4$s:"), {Shown(r.time), display, before, Shown(r.image)}) + " ";
  switch (r.result) {
    case Result::kDone:
      return text + Format(N_("done, now %1$s."), {r.versionAfter ? Shown(*r.versionAfter) : _("unknown")});
    case Result::kRefused:
      return text + _("refused: this firmware version cannot be updated.");
    case Result::kDeclined:
      return text + _("declined: the user kept the version the display has.");
    case Result::kCancelled:
      return text + _("cancelled before the download started.");
    case Result::kNotBack:
      return text + _("not back: the display did not identify itself after the download.");
    case Result::kLowBattery:
      if (!r.battery) return text + _("not started: the computer was on battery, too low to write the display.");
      // TRANSLATORS: the battery's charge in percent.
      return text + Format(N_("not started: the computer was on battery at %1$s%%, too low to write the display."),
                           {std::to_string(*r.battery)});
    case Result::kWriting:
      return text + Format(N_("interrupted during the download, image offset %1$s."),
                           {std::to_string(r.offset.value_or(0))});
    case Result::kFailed:
      break;
  }
  // The step is the record's own word for it (connect, agent, start, chunk,
  // end, restart), shown as it is written there.
  std::string failed = _("failed");
  // TRANSLATORS: "failed" with where: the step is a word of the record (connect, agent, start, chunk, end,
  // restart), not translated.
  if (r.step) failed = Format(N_("%1$s at step %2$s"), {failed, Shown(*r.step)});
  if (r.offset) failed = Format(N_("%1$s, image offset %2$s"), {failed, std::to_string(*r.offset)});
  if (r.status) failed = Format(N_("%1$s, status %2$s"), {failed, StatusHex(*r.status)});
  if (r.versionAfter) failed = Format(N_("%1$s, back with firmware %2$s"), {failed, Shown(*r.versionAfter)});
  return text + failed + ".";
}

int Print(const std::string& path, std::ostream& out, std::ostream& err) {
  if (path.empty()) {
    err << os::i18n::Format(N_("%1$s: no update history: neither XDG_STATE_HOME nor HOME is set"), {ProgramName()})
        << "\n";
    return 1;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno == ENOENT) {
      out << os::i18n::Format(N_("No firmware update has been recorded in %1$s."), {path}) << "\n";
      return 0;
    }
    err << os::i18n::Format(N_("%1$s: cannot read %2$s: %3$s"), {ProgramName(), path, std::strerror(errno)}) << "\n";
    return 1;
  }
  const auto attempts = ReadAttempts(file);
  if (file.bad()) {
    err << os::i18n::Format(N_("%1$s: cannot read %2$s"), {ProgramName(), path}) << "\n";
    return 1;
  }
  out << os::i18n::Format(N_("Firmware updates recorded in %1$s (times in UTC):"), {path}) << "\n";
  for (const Entry& entry : attempts) {
    if (entry.record) {
      out << Sentence(*entry.record) << "\n";
    } else {
      out << os::i18n::Format(N_("Line %1$s is not a record that can be read."), {std::to_string(entry.line)}) << "\n";
    }
  }
  return 0;
}

}  // namespace history
