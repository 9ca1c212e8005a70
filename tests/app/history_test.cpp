// The update history: every way an update attempt can end leaves exactly
// one record that says what happened; a history that cannot be written
// never harms the update; what the display sends cannot break the file or
// the terminal it is printed on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "scenario_fixture.h"

namespace {

using namespace scenario;

struct Attempt {
  const char* name;
  std::function<void(emu::DisplayConfig&)> display;
  // The user's part, given the fixture (and its display once plugged).
  std::function<void(class HistoryRun&)> script;
  std::intptr_t result;
  // Fields of the one record; nullptr for a field that must be null.
  const char* outcome;
  const char* before;
  const char* after;
  // The offsets of the records that said the write began and how far it
  // got, before the end record; empty when nothing was written.
  const char* written;
  const char* step = nullptr;
  const char* offset = nullptr;
  const char* status = nullptr;
};

void PrintTo(const Attempt& a, std::ostream* out) { *out << a.name; }

class HistoryRun : public Scenario, public ::testing::WithParamInterface<Attempt> {
 public:
  using Scenario::StatusIs;
  using Scenario::When;
  void SetUp() override {
    // The restart bound is long in real time; the time scale shortens it.
    if (std::string(GetParam().name) == "NotBack") os::TimeScale::SetDivisor(1000);
  }
  void Download() {
    When(StatusIs(ReadyLine(display_->Config().version)), Press(IDC_UPDATE));
    When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  }
  // After a box was answered, the user leaves.
  void AnswerThenExit(const char* box, int answer) {
    When([box](const Scene& s) { return s.BoxUp(box); }, Answer(answer));
    When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("answer"); }, Press(ui::IDCANCEL));
  }
  void Unplug(std::uint8_t request) {
    display_->SetRequestObserver([this, request](const emu::RecordedRequest& r) {
      if (r.kind != emu::RecordedRequest::Kind::kBulkOut && r.request == request) driver_->Unplug(path_);
    });
  }
};

// Each line is checked whole, field by field, so that a wrong value in any
// field of the one end record fails.
std::string Expected(const Attempt& a, const std::optional<std::string>& attempt) {
  const auto field = [](const char* value) { return value ? "\"" + std::string(value) + "\"" : std::string("null"); };
  std::string line = ",\"maker\":\"Orvanta\",\"model\":\"Vantor 3\",\"serial\":null,\"version_before\":" +
                     field(a.before) + ",\"version_after\":" + field(a.after) + ",\"image\":\"5.71\",\"result\":\"" +
                     a.outcome + "\"";
  if (std::string(a.outcome) == "failed") {
    line += ",\"step\":" + field(a.step) + ",\"offset\":" + (a.offset ? a.offset : "null") +
            ",\"status\":" + field(a.status);
  }
  if (attempt) line += ",\"attempt\":\"" + *attempt + "\"";
  return line + "}";
}

TEST_P(HistoryRun, LeavesExactlyOneTrueRecord) {
  const Attempt& a = GetParam();
  emu::DisplayConfig config;
  if (a.display) a.display(config);
  Plug(config);
  a.script(*this);
  EXPECT_EQ(Run(), a.result) << Transcript();

  const auto lines = state_.Lines();
  ASSERT_FALSE(lines.empty()) << Transcript();
  const std::string& end = lines.back();
  const auto record = history::ParseLine(end);
  ASSERT_TRUE(record.has_value()) << end;
  EXPECT_EQ(history::FormatLine(*record), end + "\n") << "read back as written";
  // Before it, only the write's own records, of the same attempt.
  std::string written;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto w = history::ParseLine(lines[i]);
    ASSERT_TRUE(w && w->result == history::Result::kWriting && w->offset) << lines[i];
    EXPECT_EQ(w->attempt, record->attempt) << lines[i];
    EXPECT_EQ(w->versionBefore, record->versionBefore) << lines[i];
    written += (written.empty() ? "" : " ") + std::to_string(*w->offset);
  }
  EXPECT_EQ(written, a.written);
  EXPECT_EQ(record->attempt.has_value(), !written.empty()) << end;
  // "{"time":"2026-12-08T17:05:21Z", then the fields.
  ASSERT_GT(end.size(), 31u);
  EXPECT_EQ(end.substr(0, 9), "{\"time\":\"");
  EXPECT_EQ(end[28], 'Z') << end;
  EXPECT_EQ(end.substr(30), Expected(a, record->attempt));
}

const std::function<void(HistoryRun&)> kWhole = [](HistoryRun& t) {
  t.Download();
  t.When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
};

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, HistoryRun,
    ::testing::Values(
        Attempt{"Done", nullptr, kWhole, 1, "done", "5.60", "5.71", "0 16384 28672 40960 49904"},
        Attempt{"Refused", [](emu::DisplayConfig& c) { c.version = "4.70"; },
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(ReadyLine("4.70")), Press(IDC_UPDATE));
                  t.AnswerThenExit(kRefused, ui::IDOK);
                },
                2, "refused", "4.70", "4.70", ""},
        Attempt{"Declined", [](emu::DisplayConfig& c) { c.version = "5.71"; },
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(ReadyLine("5.71")), Press(IDC_UPDATE));
                  t.AnswerThenExit(kSame, ui::IDCANCEL);
                },
                2, "declined", "5.71", "5.71", ""},
        Attempt{"Cancelled", nullptr,
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(kReady560), Press(IDC_UPDATE));
                  t.When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_CANCEL_DOWNLOAD));
                  t.When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); },
                         Press(ui::IDCANCEL));
                },
                2, "cancelled", "5.60", "5.60", ""},
        // The chunk at 8192 refused with an error code: the failure box's
        // status, the step and how far the image got.
        Attempt{"FailedWrite",
                [](emu::DisplayConfig& c) { c.refusedChunks[2] = {0x01, 0x00, 0x20, 0x00, 0x00, 0x01}; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed! (010020000001)", ui::IDOK);
                },
                2, "failed", "5.60", nullptr, "0", "chunk", "8192", "010020000001"},
        Attempt{"FailedStart", [](emu::DisplayConfig& c) { c.refuseStart = true; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed!", ui::IDOK);
                },
                2, "failed", "5.60", nullptr, "0", "start", nullptr, "ffffffffffff"},
        Attempt{"BackWithTheOldVersion", [](emu::DisplayConfig& c) { c.keepOldFirmware = true; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed! The Braille display came back", ui::IDOK);
                },
                2, "failed", "5.60", "5.60", "0 16384 28672 40960 49904", "restart"},
        Attempt{"NotBack", [](emu::DisplayConfig& c) { c.restartAfterEnd = false; },
                [](HistoryRun& t) {
                  t.Unplug(0xEF);
                  t.Download();
                  t.AnswerThenExit("has not come back", ui::IDOK);
                },
                2, "not back", "5.60", nullptr, "0 16384 28672 40960 49904"}),
    [](const auto& info) { return std::string(info.param.name); });

// A state folder that cannot be made: the update goes on to "Download
// Done" and its success, and the failed write is told on standard error.
TEST_F(Scenario, AnUnwritableHistoryLeavesTheUpdateUnharmed) {
  const std::string blocker = state_.Folder() + "/not-a-folder";
  std::ofstream(blocker) << "a file where the state folder would go\n";
  state_.Point(blocker + "/state");
  Plug();
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
  testing::internal::CaptureStderr();
  const std::intptr_t result = Run();
  history::Flush(10000 * os::TimeScale::Divisor());
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 1) << Transcript();
  EXPECT_EQ(backend_.Boxes().size(), 1u) << Transcript();
  const std::string problem =
      "cannot write the update history to " + blocker + "/state/dotvane/history.jsonl: Not a directory";
  EXPECT_NE(errors.find(problem), std::string::npos) << errors;
  EXPECT_EQ(errors.find(problem), errors.rfind(problem)) << "said once for the attempt's records: " << errors;
}

// A history whose write never returns (a hung network file system, played
// by a FIFO nobody reads): the update still runs to "Download Done" and its
// success, and the record arrives whole once the file takes it.
TEST_F(Scenario, AHistoryThatBlocksNeverHoldsUpTheUpdate) {
  const std::string fifo = state_.Folder() + "/dotvane/history.jsonl";
  ASSERT_EQ(mkdir((state_.Folder() + "/dotvane").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Plug();
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
  EXPECT_EQ(Run(), 1) << Transcript();
  EXPECT_FALSE(history::Flush(0)) << "the writer is held in the FIFO's open";

  // Each record opens the FIFO anew: it is read until the end record came.
  // (The window's look for an interrupted attempt may have read a record
  // of its own: it opened the FIFO too.)
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::string text;
  for (int waited = 0; text.find("\"result\":\"done\"") == std::string::npos && waited < 10000; waited += 10) {
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else {
      usleep(10000);  // between two records: no writer has it open
    }
  }
  EXPECT_TRUE(history::Flush(10000 * os::TimeScale::Divisor()));
  close(fd);
  const auto first = history::ParseLine(text.substr(0, text.find('\n')));
  ASSERT_TRUE(first.has_value()) << text;
  EXPECT_EQ(first->result, history::Result::kWriting);
  text.pop_back();
  const auto record = history::ParseLine(text.substr(text.rfind('\n') + 1));
  ASSERT_TRUE(record.has_value()) << text;
  EXPECT_EQ(record->result, history::Result::kDone);
  EXPECT_EQ(record->versionAfter, "5.71");
}

// ---- The file and its reading --------------------------------------------------

// Texts from the display end up in the file and on the user's terminal:
// quotes, control characters and bytes that are not UTF-8 must neither
// break the line nor reach the terminal raw.
TEST(HistoryFile, HostileDisplayTextsStayOneLineAndPrintHarmlessly) {
  history::Record r;
  r.time = "2026-12-08T17:05:21Z";
  r.maker = "Or\"van\\ta\n\x1b[2J";
  r.model = "Vantor \xff\xc3\xa9 3";  // a stray byte, then a real é
  r.versionBefore = "5.60";
  r.image = "5.71";
  r.result = history::Result::kFailed;
  r.step = "chunk";
  r.offset = 49152;
  r.status = {{0x01, 0x00, 0xC0, 0x00, 0x00, 0x01}};
  const std::string line = history::FormatLine(r);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
  EXPECT_NE(line.find(R"("maker":"Or\"van\\ta\n\u001b[2J")"), std::string::npos) << line;
  EXPECT_NE(line.find("\"model\":\"Vantor \xc3\xbf\xc3\xa9 3\""), std::string::npos) << "0xFF read as Latin-1";
  // A record cut short (a full disk, a crash) is never read as one; the
  // whole line reads back as written.
  const std::string whole = line.substr(0, line.size() - 1);
  for (std::size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(history::ParseLine(whole.substr(0, n))) << n;
  const auto back = history::ParseLine(whole);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(history::FormatLine(*back), line);

  char folder[] = "/tmp/dotvane-history-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/history.jsonl";
  std::ofstream(path) << line << "{\"time\":\"2026-12-08T18:00:00Z\",\"result\":\"explod" << "\n"
                      << "\n"
                      << R"({"time":"2026-12-08T18:01:00Z","maker":"Orvanta","model":"Vantor 3","serial":null,)"
                      << R"("version_before":"5.60","version_after":"5.71","image":"5.71","result":"done"})" << "\n";
  std::ostringstream out, err;
  EXPECT_EQ(history::Print(path, out, err), 0);
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(out.str(),
            "Firmware updates recorded in " + path + " (times in UTC):\n"
            "2026-12-08T17:05:21Z: Or\"van\\ta\\x0a\\x1b[2J Vantor \xc3\xbf\xc3\xa9 3, firmware 5.60, image 5.71: "
            "failed at step chunk, image offset 49152, status 0100c0000001.\n"
            "Line 2 is not a record that can be read.\n"
            "2026-12-08T18:01:00Z: Orvanta Vantor 3, firmware 5.60, image 5.71: done, now 5.71.\n");

  std::ostringstream none;
  EXPECT_EQ(history::Print(std::string(folder) + "/missing.jsonl", none, err), 0);
  EXPECT_EQ(none.str(), "No firmware update has been recorded in " + std::string(folder) + "/missing.jsonl.\n");
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

constexpr char kHead[] = R"({"time":"2026-12-08T17:05:21Z","maker":"Orvanta","model":"Vantor 3","serial":null,)";

// Every kind of line the history held before writes were recorded, exactly
// as it was written then, reads and prints as it did; written again, each
// line is the same bytes.
TEST(HistoryFile, LinesWrittenBeforeWritesWereRecordedReadAsBefore) {
  struct Line {
    std::string json;
    const char* printed;
  };
  const std::string tail = "2026-12-08T17:05:21Z: Orvanta Vantor 3, firmware ";
  const Line lines[] = {
      {R"("version_before":"5.60","version_after":"5.71","image":"5.71","result":"done"})", "5.60, image 5.71: done, now 5.71."},
      {R"("version_before":"4.70","version_after":"4.70","image":"5.71","result":"refused"})",
       "4.70, image 5.71: refused: this firmware version cannot be updated."},
      {R"("version_before":"5.71","version_after":"5.71","image":"5.71","result":"declined"})",
       "5.71, image 5.71: declined: the user kept the version the display has."},
      {R"("version_before":null,"version_after":null,"image":"5.71","result":"cancelled"})",
       "unknown, image 5.71: cancelled before the download started."},
      {R"("version_before":"5.60","version_after":null,"image":"5.71","result":"failed","step":"chunk","offset":8192,"status":"010020000001"})",
       "5.60, image 5.71: failed at step chunk, image offset 8192, status 010020000001."},
      {R"("version_before":"5.60","version_after":null,"image":"5.71","result":"failed","step":"start","offset":null,"status":"ffffffffffff"})",
       "5.60, image 5.71: failed at step start, status ffffffffffff."},
      {R"("version_before":"5.60","version_after":"5.60","image":"5.71","result":"failed","step":"restart","offset":null,"status":null})",
       "5.60, image 5.71: failed at step restart, back with firmware 5.60."},
      {R"("version_before":"5.60","version_after":null,"image":"5.71","result":"not back"})",
       "5.60, image 5.71: not back: the display did not identify itself after the download."},
  };
  for (const Line& line : lines) {
    const std::string json = kHead + line.json;
    const auto record = history::ParseLine(json);
    ASSERT_TRUE(record.has_value()) << json;
    EXPECT_EQ(history::Sentence(*record), tail + line.printed);
    EXPECT_EQ(history::FormatLine(*record), json + "\n");
  }
  // Texts as that writer escaped them: control characters and DEL as \u,
  // UTF-8 as it is, a serial number.
  const auto escaped = history::ParseLine(
      "{\"time\":\"2026-12-08T17:05:21Z\",\"maker\":\"Or\\u001b[2J\",\"model\":\"V\xc3\xa9\\u007f\\u000a\","
      "\"serial\":\"EMU\\\"1\",\"version_before\":\"5.60\",\"version_after\":\"5.71\",\"image\":\"5.71\","
      "\"result\":\"done\"}");
  ASSERT_TRUE(escaped.has_value());
  EXPECT_EQ(history::Sentence(*escaped), "2026-12-08T17:05:21Z: Or\\x1b[2J V\xc3\xa9\\x7f\\x0a, serial EMU\"1, "
                                         "firmware 5.60, image 5.71: done, now 5.71.");
  // Hostile records are refused whole, as they were.
  for (const char* hostile : {R"("result":"done","offset":-1})", R"("result":"done","offset":1.5})",
                              R"("result":"done","offset":1234567890123456})", R"("result":"done","step":{}})",
                              R"("result":"done","step":[]})", R"("result":"exploded"})", R"("result":"done"}x)",
                              R"("result":"done","step":"\ud800"})"}) {
    EXPECT_FALSE(history::ParseLine(R"({"time":"2026-12-08T17:05:21Z",)" + std::string(hostile))) << hostile;
  }
}

// A write that never ended (its program killed, the power cut) is told as
// interrupted, with how far it got, where it began; a write that ended is
// told once, by its end.  The window asks about the display's last attempt.
TEST(HistoryFile, AWriteThatNeverEndedIsInterrupted) {
  const auto writing = [](const char* time, const char* model, const char* attempt, int offset) {
    return "{\"time\":\"" + std::string(time) + "\",\"maker\":\"Orvanta\",\"model\":\"" + model +
           "\",\"serial\":null,\"version_before\":\"5.60\",\"version_after\":null,\"image\":\"5.71\","
           "\"result\":\"writing\",\"offset\":" + std::to_string(offset) + ",\"attempt\":\"" + attempt + "\"}\n";
  };
  char folder[] = "/tmp/dotvane-history-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/history.jsonl";
  std::ofstream(path) << writing("2026-12-08T17:00:00Z", "Vantor 3", "a1", 0)
                      << writing("2026-12-08T17:00:09Z", "Vantor 3", "a1", 16384)
                      << writing("2026-12-08T17:01:00Z", "Vantor 5", "b2", 0)
                      << R"({"time":"2026-12-08T17:01:30Z","maker":"Orvanta","model":"Vantor 5","serial":null,)"
                      << R"("version_before":"5.60","version_after":null,"image":"5.71","result":"failed",)"
                      << R"("step":"chunk","offset":4096,"status":"010010000001","attempt":"b2"})" << "\n"
                      << writing("2026-12-08T17:00:18Z", "Vantor 3", "a1", 28672);
  std::ostringstream out, err;
  EXPECT_EQ(history::Print(path, out, err), 0);
  EXPECT_EQ(out.str(),
            "Firmware updates recorded in " + path + " (times in UTC):\n"
            "2026-12-08T17:00:00Z: Orvanta Vantor 3, firmware 5.60, image 5.71: interrupted during the download, "
            "image offset 28672.\n"
            "2026-12-08T17:01:30Z: Orvanta Vantor 5, firmware 5.60, image 5.71: failed at step chunk, image offset "
            "4096, status 010010000001.\n");

  history::Record vantor3;
  vantor3.maker = "Orvanta";
  vantor3.model = "Vantor 3";
  vantor3.serial = "EMU0001";  // the records do not know it: the same display
  const auto interrupted = history::InterruptedAttempt(path, vantor3, 10000);
  ASSERT_TRUE(interrupted.has_value());
  EXPECT_EQ(interrupted->offset, 28672u);
  history::Record vantor5 = vantor3;
  vantor5.model = "Vantor 5";
  EXPECT_FALSE(history::InterruptedAttempt(path, vantor5, 10000)) << "its last attempt ended";
  // Once a later attempt of the display ends, the interrupted one is past.
  std::ofstream(path, std::ios::app) << kHead
                                     << R"("version_before":"5.60","version_after":"5.60","image":"5.71",)"
                                     << R"("result":"cancelled"})" << "\n";
  EXPECT_FALSE(history::InterruptedAttempt(path, vantor3, 10000));
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

using namespace scenario;

// The window shows a display whose last update was cut short: it says so,
// and offers the update; once another attempt was made, it no longer does.
class InterruptedBefore : public Scenario {
 protected:
  void SetUp() override {
    os::TimeScale::SetDivisor(1);  // the history is read in real time
    ASSERT_EQ(mkdir((state_.Folder() + "/dotvane").c_str(), 0700), 0);
    std::ofstream(state_.Folder() + "/dotvane/history.jsonl")
        << kHead << R"("version_before":"5.60","version_after":null,"image":"5.71","result":"writing",)"
        << R"("offset":49904,"attempt":"a1"})" << "\n";
  }
};

TEST_F(InterruptedBefore, TheWindowSaysTheDisplaysLastUpdateWasInterrupted) {
  Plug();
  const std::string interrupted =
      "Orvanta, Vantor 3 Braille display, current Firmware Version 5.60. The last firmware update of this Braille "
      "display was interrupted before it finished. Ready to update firmware.";
  When(StatusIs(interrupted), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_CANCEL_DOWNLOAD));
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2) << Transcript();
}

// Cut short in its restart, the attempt had written the image: the display
// has its version, and there is nothing to tell.
TEST_F(InterruptedBefore, ADisplayWithTheImagesVersionIsNotToldOfIt) {
  emu::DisplayConfig config;
  config.version = "5.71";
  Plug(config);
  When(StatusIs(ReadyLine("5.71")), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2) << Transcript();
}

}  // namespace
