// The main window's current update attempt, from "Update Firmware..." to its
// outcome: exactly one end record per attempt, and before the image is
// sent, records that a write has begun and how far it got, so that an
// attempt cut short by a power cut or a killed program is never forgotten.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/history/record.h"
#include "image/firmware_image.h"
#include "protocol/download_report.h"

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
  // The download is about to send the first request: records that a write
  // has begun, and waits (at most history::kWriteBegunFlushMs) until that
  // is on disk.  Called on the download's thread.
  void WriteBegun();
  // The display holds `accepted` bytes of the image's `length`: recorded
  // each time another quarter of the image is reached.  Called on the
  // download's thread.
  void WriteProgress(std::uint64_t accepted, std::uint64_t length);
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
  void WriteAt(std::uint32_t offset);

  history::Record m_record;
  FirmwareVersion m_image;
  bool m_open = false;           // an attempt without its record yet
  bool m_awaitingReturn = false;  // the image was written; the display has not identified itself
  std::uint64_t m_quarters = 0;   // quarters of the image recorded as written
};
