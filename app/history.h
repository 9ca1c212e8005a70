// The update history: one JSON Lines record for every update attempt, in
// $XDG_STATE_HOME/dotvane/history.jsonl, so that whoever supports the user
// can read afterwards what was tried and how it ended.
//
// Writing it must never delay, block or fail an update: records are handed
// to a writer thread of their own, and a record that cannot be written is
// reported on standard error and dropped.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "image/firmware_image.h"
#include "os/types.h"
#include "protocol/download_report.h"

namespace history {

enum class Result { kDone, kRefused, kDeclined, kCancelled, kFailed, kNotBack, kLowBattery };
// "done", "refused", "declined", "cancelled", "failed", "not back", "low battery".
const char* ResultName(Result result);

struct Record {
  std::string time;  // UTC, ISO 8601 to the second
  std::string maker;
  std::string model;
  std::optional<std::string> serial;         // when the display's serial number is known
  std::optional<std::string> versionBefore;  // as the display reported it before the attempt
  std::optional<std::string> versionAfter;   // as it reported it afterwards; nothing when not known
  std::string image;                         // the version that was offered, "5.71"
  Result result = Result::kFailed;
  // For a failure: the step that failed ("agent", "chunk", ... or "restart"
  // for a display back with the old version), how far the image got, and
  // the six status bytes of the failure box.
  std::optional<std::string> step;
  std::optional<std::uint32_t> offset;
  std::optional<std::array<std::uint8_t, 6>> status;
  // For "low battery": the battery's charge in percent when the write was not started.
  std::optional<int> battery;
};

// The record as one line of JSON, ending in "\n".
std::string FormatLine(const Record& record);
// The record read back from one line; nothing when the line is not one.
std::optional<Record> ParseLine(const std::string& line);
// The history file: $XDG_STATE_HOME/dotvane/history.jsonl, or
// ~/.local/state/dotvane/history.jsonl when XDG_STATE_HOME is unset, empty
// or relative; empty when there is no home either.
std::string DefaultPath();
// Now, UTC, as records give it.
std::string Now();

// Queues the record for the writer thread; returns at once.
void Append(const Record& record);
// Waits up to `milliseconds` (through the time scale) for every queued
// record to be written or given up; true when none is left.
bool Flush(os::DWORD milliseconds);
// How long the program waits for the history on its way out.
inline constexpr os::DWORD kExitFlushMs = 2000;
// The in-process demo updates emulated displays: their attempts are not
// the user's history.
void SetEnabled(bool enabled);

// Prints the history at `path` for a person to read.  0 when it was read
// (or there is none yet), 1 when it could not be.
int Print(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace history

// The main window's current update attempt, from "Update Firmware..." to its
// outcome: exactly one record per attempt.
class CUpdateHistory {
 public:
  // The display as the main window knows it: maker, model and version text
  // (empty when it has not said).
  struct Display {
    std::string maker;
    std::string model;
    std::string version;
  };
  // The user chose "Update Firmware..." for this display and image.
  void Begin(const Display& display, const FirmwareVersion& image);
  // The version rules refused the display, the user declined the warning,
  // or the battery was too low to start (`battery`: its charge in percent).
  void End(history::Result result, std::optional<int> battery = std::nullopt);
  // The download dialog ended: with the image written the record waits for
  // the display's return; otherwise the link's report says whether a
  // download failed or none was started (cancelled).
  void DownloadEnded(bool written, const DownloadReport& report);
  // The display identified itself after the image was written.
  void Back(const Display& display);
  // It did not within the restart bound.  Should it come back later, its
  // return is recorded too.
  void NotBack();

 private:
  void Write(history::Result result);

  history::Record m_record;
  FirmwareVersion m_image;
  bool m_open = false;           // an attempt without its record yet
  bool m_awaitingReturn = false;  // the image was written; the display has not identified itself
};
