// Where the last firmware download stopped, kept by the link so that the
// update history can say why a download failed without the link's return
// values or its failure box changing.
#pragma once

#include <array>
#include <cstdint>

enum class DownloadStep : std::uint8_t {
  kNone,     // no download since the report was cleared
  kConnect,  // there was no connection to download over
  kAgent,    // loading the agent into the display's controller
  kStart,    // the start-of-transfer request
  kChunk,    // writing the image, or resuming after a refused chunk
  kEnd,      // the end-of-transfer request
};

// The step's name as the history writes it.
const char* DownloadStepName(DownloadStep step);

struct DownloadReport {
  DownloadStep step = DownloadStep::kNone;
  // Image offset of the chunk being written (or resumed from) in kChunk and
  // kEnd: how far the image got.
  std::uint32_t offset = 0;
  // The display's status bytes as the link last read them, the ones the
  // failure box shows.
  std::array<std::uint8_t, 6> status = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
};
