#include "app/history.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <utility>

#include "app/version_rules.h"
#include "os/i18n.h"
#include "os/thread_safety.h"
#include "os/sync.h"
#include "os/text_encoding.h"

namespace history {
namespace {

// ---- The few calls that differ on Windows ----------------------------------------

#ifdef _WIN32
constexpr int kNoInheritOrTerminal = _O_BINARY;  // handles are not inherited by default there
const char* ProgramName() { return "dotvane"; }
int MakeFolder(const char* path) { return _mkdir(path); }
int TruncateTo(int fd, off_t size) { return _chsize(fd, static_cast<long>(size)); }
void UtcTime(std::time_t now, std::tm* utc) { gmtime_s(utc, &now); }
#else
constexpr int kNoInheritOrTerminal = O_CLOEXEC | O_NOCTTY;
const char* ProgramName() { return program_invocation_short_name; }
int MakeFolder(const char* path) { return mkdir(path, 0700); }
int TruncateTo(int fd, off_t size) { return ftruncate(fd, size); }
void UtcTime(std::time_t now, std::tm* utc) { gmtime_r(&now, utc); }
#endif

// ---- JSON ----------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned minimum = 0;
  unsigned value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, value = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

// The texts come from the display: anything it sends must still make one
// valid line of JSON.  Bytes that are not UTF-8 are taken as Latin-1.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c >= 0x80) {
      if (const std::size_t n = Utf8Length(text, i)) {
        out.append(text, i, n);
        i += n;
        continue;
      }
      os::AppendUtf8(out, c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string Hex(const std::array<std::uint8_t, 6>& bytes) {
  char text[13];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

std::optional<std::array<std::uint8_t, 6>> FromHex(const std::string& text) {
  if (text.size() != 12 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return {};
  std::array<std::uint8_t, 6> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

// A value of a flat JSON object: a string, a whole number, or null (also
// used for true and false, which records never hold).
struct Value {
  enum class Kind { kString, kNumber, kNull } kind = Kind::kNull;
  std::string text;
  std::uint64_t number = 0;
};

// Reads the flat objects records are; anything else is refused, never
// guessed at.  The file may have been edited or cut short.
class FlatObjectReader {
 public:
  explicit FlatObjectReader(const std::string& text) : s_(text) {}

  std::optional<std::map<std::string, Value>> Read() {
    std::map<std::string, Value> fields;
    Space();
    if (!Take('{')) return {};
    Space();
    if (Take('}')) return End(fields);
    for (;;) {
      Space();
      std::string key;
      if (!String(&key)) return {};
      Space();
      if (!Take(':')) return {};
      Space();
      Value value;
      if (Peek() == '"') {
        value.kind = Value::Kind::kString;
        if (!String(&value.text)) return {};
      } else if (Peek() >= '0' && Peek() <= '9') {
        value.kind = Value::Kind::kNumber;
        if (!Number(&value.number)) return {};
      } else if (!Word("null") && !Word("true") && !Word("false")) {
        return {};
      }
      fields[key] = std::move(value);
      Space();
      if (Take('}')) return End(fields);
      if (!Take(',')) return {};
    }
  }

 private:
  std::optional<std::map<std::string, Value>> End(std::map<std::string, Value>& fields) {
    Space();
    if (i_ != s_.size()) return {};
    return std::move(fields);
  }
  char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c || i_ >= s_.size()) return false;
    ++i_;
    return true;
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
  }
  bool Word(const char* word) {
    const std::size_t n = std::strlen(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  bool Number(std::uint64_t* out) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
      if (++digits > 15) return false;  // records hold offsets, far below this
      value = value * 10 + static_cast<unsigned>(s_[i_++] - '0');
    }
    *out = value;
    return digits > 0;
  }
  bool Hex4(unsigned* out) {
    if (i_ + 4 > s_.size()) return false;
    unsigned value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    *out = value;
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    for (;;) {
      if (i_ >= s_.size()) return false;
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!Word("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          os::AppendUtf8(*out, code);
          break;
        }
        default:
          return false;
      }
    }
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

// ---- Writing -------------------------------------------------------------------

// Creates the folders above `path` that are missing, private to the user as
// the XDG base directories ask.
bool MakeParents(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string folder = path.substr(0, at);
    if (MakeFolder(folder.c_str()) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// One whole line with one write, or nothing: a write cut short is taken back,
// so that the file never holds half a record.  Returns 0 or an errno value.
int WriteLine(const std::string& path, const std::string& line) {
  if (!MakeParents(path)) return errno;
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | kNoInheritOrTerminal, 0600);
  if (fd < 0) return errno;
  struct stat before {};
  const bool sized = fstat(fd, &before) == 0;
  int error = 0;
  const ssize_t written = write(fd, line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    error = written < 0 ? errno : ENOSPC;
    if (written > 0 && sized && TruncateTo(fd, before.st_size) != 0) error = errno;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The one writer of this process.  Its state is shared with its thread, which
// is never joined: a write stuck on a hung file system must not hold up the
// program's end, and nothing it uses is destroyed beneath it.
struct WriterState {
  os::Mutex mutex;
  std::condition_variable_any wake;
  std::deque<std::pair<std::string, std::string>> queue GUARDED_BY(mutex);  // path, line
  os::Event drained{os::Event::Mode::kManual, true};
  bool started GUARDED_BY(mutex) = false;
};

std::shared_ptr<WriterState> Writer() {
  static const auto state = std::make_shared<WriterState>();
  return state;
}

void WriterLoop(std::shared_ptr<WriterState> state) {
  os::UniqueMutexLock lock(state->mutex);
  for (;;) {
    while (state->queue.empty()) {
      state->drained.Set();
      // Idle until a record comes: nothing waits on this thread but Flush,
      // whose own wait is bounded.
      state->wake.wait(lock.Waitable());
    }
    auto [path, line] = std::move(state->queue.front());
    state->queue.pop_front();
    lock.Unlock();
    if (path.empty()) {
      const std::string text = os::i18n::Format(
          N_("%1$s: cannot write the update history: neither XDG_STATE_HOME nor HOME is set"), {ProgramName()});
      std::fprintf(stderr, "%s\n", text.c_str());
    } else if (const int error = WriteLine(path, line)) {
      const std::string text = os::i18n::Format(N_("%1$s: cannot write the update history to %2$s: %3$s"),
                                                {ProgramName(), path, std::strerror(error)});
      std::fprintf(stderr, "%s\n", text.c_str());
    }
    lock.Lock();
  }
}

std::atomic<bool> gEnabled{true};

std::string Field(const std::optional<std::string>& value) { return value ? Quote(*value) : "null"; }

}  // namespace

const char* ResultName(Result result) {
  switch (result) {
    case Result::kDone: return "done";
    case Result::kRefused: return "refused";
    case Result::kDeclined: return "declined";
    case Result::kCancelled: return "cancelled";
    case Result::kFailed: return "failed";
    case Result::kNotBack: return "not back";
  }
  return "failed";
}

std::string FormatLine(const Record& r) {
  std::string line = "{\"time\":" + Quote(r.time) + ",\"maker\":" + Quote(r.maker) + ",\"model\":" + Quote(r.model) +
                     ",\"serial\":" + Field(r.serial) + ",\"version_before\":" + Field(r.versionBefore) +
                     ",\"version_after\":" + Field(r.versionAfter) + ",\"image\":" + Quote(r.image) +
                     ",\"result\":" + Quote(ResultName(r.result));
  if (r.result == Result::kFailed) {
    line += ",\"step\":" + Field(r.step);
    line += ",\"offset\":" + (r.offset ? std::to_string(*r.offset) : std::string("null"));
    line += ",\"status\":" + (r.status ? Quote(Hex(*r.status)) : std::string("null"));
  }
  return line + "}\n";
}

std::optional<Record> ParseLine(const std::string& line) {
  const auto fields = FlatObjectReader(line).Read();
  if (!fields) return {};
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto it = fields->find(key);
    if (it == fields->end() || it->second.kind != Value::Kind::kString) return {};
    return it->second.text;
  };
  Record r;
  const auto time = text("time");
  const auto result = text("result");
  if (!time || !result) return {};
  static const Result kResults[] = {Result::kDone,      Result::kRefused, Result::kDeclined,
                                    Result::kCancelled, Result::kFailed,  Result::kNotBack};
  bool known = false;
  for (Result candidate : kResults) {
    if (*result == ResultName(candidate)) r.result = candidate, known = true;
  }
  if (!known) return {};
  r.time = *time;
  r.maker = text("maker").value_or("");
  r.model = text("model").value_or("");
  r.serial = text("serial");
  r.versionBefore = text("version_before");
  r.versionAfter = text("version_after");
  r.image = text("image").value_or("");
  r.step = text("step");
  if (const auto it = fields->find("offset"); it != fields->end() && it->second.kind == Value::Kind::kNumber &&
                                              it->second.number <= UINT32_MAX) {
    r.offset = static_cast<std::uint32_t>(it->second.number);
  }
  if (const auto status = text("status")) r.status = FromHex(*status);
  return r;
}

std::string DefaultPath() {
  constexpr char kTail[] = "/dotvane/history.jsonl";
#ifdef _WIN32
  // The user's own application data, as Windows programs keep their state.
  const char* local = std::getenv("LOCALAPPDATA");
  return local != nullptr && local[0] != '\0' ? local + std::string(kTail) : std::string();
#else
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return state + std::string(kTail);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return home + std::string("/.local/state") + kTail;
#endif
}

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  UtcTime(now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void Append(const Record& record) {
  if (!gEnabled.load()) return;
  // The place is looked up here, on the caller's thread: the environment is
  // not the writer's to read while others may change it.
  std::string path = DefaultPath();
  std::string line = FormatLine(record);
  const auto state = Writer();
  {
    os::MutexLock lock(state->mutex);
    state->queue.emplace_back(std::move(path), std::move(line));
    state->drained.Reset();
    if (!state->started) {
      state->started = true;
      std::thread(WriterLoop, state).detach();
    }
  }
  state->wake.notify_one();
}

bool Flush(os::DWORD milliseconds) {
  return os::WaitForSingleObject(Writer()->drained, milliseconds) == os::WAIT_OBJECT_0;
}

void SetEnabled(bool enabled) { gEnabled.store(enabled); }

namespace {

// Texts from the display are shown as they are, except that control
// characters, which could move a terminal's cursor, are spelled out.
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
  if (r.status) failed = Format(N_("%1$s, status %2$s"), {failed, Hex(*r.status)});
  if (r.versionAfter) failed = Format(N_("%1$s, back with firmware %2$s"), {failed, Shown(*r.versionAfter)});
  return text + failed + ".";
}

}  // namespace

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
  out << os::i18n::Format(N_("Firmware updates recorded in %1$s (times in UTC):"), {path}) << "\n";
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (line.empty()) continue;
    if (const auto record = ParseLine(line)) {
      out << Sentence(*record) << "\n";
    } else {
      out << os::i18n::Format(N_("Line %1$s is not a record that can be read."), {std::to_string(number)}) << "\n";
    }
  }
  if (file.bad()) {
    err << os::i18n::Format(N_("%1$s: cannot read %2$s"), {ProgramName(), path}) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace history

// ---- The main window's attempt -----------------------------------------------

void CUpdateHistory::Begin(const Display& display, const FirmwareVersion& image) {
  m_record = {};
  m_record.maker = display.maker;
  m_record.model = display.model;
  if (!display.version.empty()) m_record.versionBefore = display.version;
  m_image = image;
  m_record.image = FormatFirmwareVersion(image);
  m_open = true;
  m_awaitingReturn = false;
}

void CUpdateHistory::Write(history::Result result) {
  m_record.result = result;
  m_record.time = history::Now();
  history::Append(m_record);
  m_open = false;
}

void CUpdateHistory::End(history::Result result) {
  if (!m_open) return;
  m_record.versionAfter = m_record.versionBefore;  // nothing was written
  Write(result);
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
