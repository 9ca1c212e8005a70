#include "protocol/download_report.h"

const char* DownloadStepName(DownloadStep step) {
  switch (step) {
    case DownloadStep::kNone: return "none";
    case DownloadStep::kConnect: return "connect";
    case DownloadStep::kAgent: return "agent";
    case DownloadStep::kStart: return "start";
    case DownloadStep::kChunk: return "chunk";
    case DownloadStep::kEnd: return "end";
  }
  return "unknown";
}
