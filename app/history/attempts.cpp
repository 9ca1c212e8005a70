#include "app/history/attempts.h"

#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "app/history/writer.h"
#include "os/sync.h"

namespace history {

std::vector<Entry> ReadAttempts(std::istream& in) {
  std::vector<Entry> entries;
  std::map<std::string, std::size_t> writing;  // an attempt under way: where it stands
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    auto record = ParseLine(line);
    if (record && record->result == Result::kWriting) {
      const std::string key = record->attempt.value_or("");
      if (const auto it = writing.find(key); it != writing.end()) {
        // Progress: how far it got, at the place it began.
        entries[it->second].record->offset = record->offset;
        continue;
      }
      writing[key] = entries.size();
    } else if (record && record->attempt) {
      // Its end: the attempt stands here, not where it began.
      if (const auto it = writing.find(*record->attempt); it != writing.end()) {
        entries[it->second].record.reset();
        entries[it->second].line = 0;
        writing.erase(it);
      }
    }
    entries.push_back({number, std::move(record)});
  }
  std::erase_if(entries, [](const Entry& e) { return e.line == 0; });
  return entries;
}

namespace {

bool SameDisplay(const Record& a, const Record& b) {
  return a.maker == b.maker && a.model == b.model && (!a.serial || !b.serial || *a.serial == *b.serial);
}

struct Lookup {
  os::Event done{os::Event::Mode::kManual};
  std::optional<Record> found;  // written before done is set, read after
};

}  // namespace

std::optional<Record> InterruptedAttempt(const std::string& path, const Record& display, os::DWORD milliseconds) {
  if (!Enabled() || path.empty()) return {};
  // Read on a thread of its own, never joined: a history on a hung file
  // system must not hang the window.
  const auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, path, display, milliseconds] {
    // Records this program queued come first: the answer is about them too.
    Flush(milliseconds);
    std::ifstream file(path, std::ios::binary);
    const auto entries = ReadAttempts(file);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (!it->record || !SameDisplay(*it->record, display)) continue;
      if (it->record->result == Result::kWriting) lookup->found = it->record;
      break;
    }
    lookup->done.Set();
  }).detach();
  if (os::WaitForSingleObject(lookup->done, milliseconds) != os::WAIT_OBJECT_0) return {};
  return lookup->found;
}

}  // namespace history
