// A history file, which the user may edit, read back: the input as one line
// into the record reader (ParseLine), and as a whole file into the reading
// of attempts and their sentences.  A record read is written again as one
// line of valid JSON that reads back to the same line; no sentence holds a
// control character a terminal would act on.
#include <cstdint>
#include <sstream>
#include <string>

#include "app/history/attempts.h"
#include "app/history/print.h"
#include "app/history/record.h"
#include "fuzz_check.h"
#include "os/text_encoding.h"

namespace {

void CheckShown(const std::string& sentence) {
  for (const char c : sentence) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_CHECK(u >= 0x20 && u != 0x7F);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (const auto record = history::ParseLine(input)) {
    const std::string line = history::FormatLine(*record);
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    FUZZ_CHECK(os::Utf8OrLatin1(line) == line);
    const auto again = history::ParseLine(line.substr(0, line.size() - 1));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(history::FormatLine(*again) == line);
    CheckShown(history::Sentence(*record));
  }
  std::istringstream file(input);
  for (const history::Entry& entry : history::ReadAttempts(file)) {
    FUZZ_CHECK(entry.line > 0);
    if (entry.record) CheckShown(history::Sentence(*entry.record));
  }
  return 0;
}
