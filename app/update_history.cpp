#include "app/update_history.h"

#include <cstdio>
#include <random>

#include "app/history/writer.h"
#include "app/history/path.h"
#include "app/version_rules.h"

namespace {

// Ties an attempt's records together; two programs may write one history.
std::string NewAttemptId() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
  return text;
}

}  // namespace

void CUpdateHistory::Begin(const Display& display, const FirmwareVersion& image) {
  m_record = {};
  m_record.maker = display.maker;
  m_record.model = display.model;
  if (!display.version.empty()) m_record.versionBefore = display.version;
  m_image = image;
  m_record.image = FormatFirmwareVersion(image);
  m_open = true;
  m_awaitingReturn = false;
  m_quarters = 0;
}

void CUpdateHistory::Write(history::Result result) {
  m_record.result = result;
  m_record.time = history::Now();
  history::Append(m_record);
  m_open = false;
}

void CUpdateHistory::WriteAt(std::uint32_t offset) {
  history::Record writing = m_record;
  writing.result = history::Result::kWriting;
  writing.time = history::Now();
  writing.offset = offset;
  history::Append(writing);
}

void CUpdateHistory::End(history::Result result, std::optional<int> battery) {
  if (!m_open) return;
  m_record.versionAfter = m_record.versionBefore;  // nothing was written
  m_record.battery = battery;
  Write(result);
}

void CUpdateHistory::WriteBegun() {
  if (!m_open) return;
  m_record.attempt = NewAttemptId();
  WriteAt(0);
  history::Flush(history::kWriteBegunFlushMs);
}

void CUpdateHistory::WriteProgress(std::uint64_t accepted, std::uint64_t length) {
  if (!m_open || !m_record.attempt || length == 0 || accepted > length) return;
  const std::uint64_t quarters = accepted * 4 / length;
  if (quarters <= m_quarters) return;
  m_quarters = quarters;
  WriteAt(static_cast<std::uint32_t>(accepted));
}

void CUpdateHistory::DownloadEnded(bool written, const DownloadReport& report) {
  if (!m_open) return;
  if (written) {
    m_awaitingReturn = true;
    return;
  }
  if (report.step == DownloadStep::kNone) {
    m_record.versionAfter = m_record.versionBefore;
    Write(history::Result::kCancelled);
    return;
  }
  m_record.step = DownloadStepName(report.step);
  if (report.step == DownloadStep::kChunk || report.step == DownloadStep::kEnd) m_record.offset = report.offset;
  m_record.status = report.status;
  Write(history::Result::kFailed);
}

void CUpdateHistory::Back(const Display& display) {
  if (!m_awaitingReturn) return;
  m_awaitingReturn = false;
  m_record.maker = display.maker;
  m_record.model = display.model;
  m_record.versionAfter = display.version;
  // The same comparison the window makes before it says the update completed.
  if (IsOlderThan(ReadDisplayVersion(display.version), m_image)) {
    m_record.step = "restart";
    Write(history::Result::kFailed);
  } else {
    Write(history::Result::kDone);
  }
}

void CUpdateHistory::NotBack() {
  if (!m_awaitingReturn || !m_open) return;
  Write(history::Result::kNotBack);
}
