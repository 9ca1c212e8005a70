// One record of the update history: what it holds, and its line of JSON.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace history {

// How an attempt ended, or kWriting for the records of a write under way:
// an attempt with writing records and no end record was interrupted (a
// power cut, a crash, a killed program).
enum class Result { kDone, kRefused, kDeclined, kCancelled, kFailed, kNotBack, kWriting, kLowBattery };
// "done", "refused", "declined", "cancelled", "failed", "not back", "writing", "low battery".
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
  std::optional<std::uint32_t> offset;  // also of a writing record: how much of the image the display holds
  std::optional<std::array<std::uint8_t, 6>> status;
  // Ties the writing records and the end record of one attempt together;
  // nothing for an attempt that never began to write.
  std::optional<std::string> attempt;
  // For "low battery": the battery's charge in percent when the write was not started.
  std::optional<int> battery;
};

// Status bytes as records and sentences give them: "0100c0000001".
std::string StatusHex(const std::array<std::uint8_t, 6>& bytes);

// The record as one line of JSON, ending in "\n".  Texts that are not
// UTF-8 (they come from the display) are taken as Latin-1.
std::string FormatLine(const Record& record);
// The record read back from one line; nothing when the line is not one.
// The file may have been edited or cut short: anything but a flat object
// of texts, whole numbers, true, false and null is refused whole.
std::optional<Record> ParseLine(const std::string& line);

}  // namespace history
