// The update history: every way an update attempt can end leaves exactly
// one record that says what happened; a history that cannot be written
// never harms the update; what the display sends cannot break the file or
// the terminal it is printed on.
#include <fcntl.h>
#include <poll.h>
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
// field of the one record fails.
std::string Expected(const Attempt& a) {
  const auto field = [](const char* value) { return value ? "\"" + std::string(value) + "\"" : std::string("null"); };
  std::string line = ",\"maker\":\"Orvanta\",\"model\":\"Vantor 3\",\"serial\":null,\"version_before\":" +
                     field(a.before) + ",\"version_after\":" + field(a.after) + ",\"image\":\"5.71\",\"result\":\"" +
                     a.outcome + "\"";
  if (std::string(a.outcome) == "failed") {
    line += ",\"step\":" + field(a.step) + ",\"offset\":" + (a.offset ? a.offset : "null") +
            ",\"status\":" + field(a.status);
  }
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
  ASSERT_EQ(lines.size(), 1u) << Transcript();
  // "{"time":"2026-12-08T17:05:21Z", then the fields.
  ASSERT_GT(lines[0].size(), 31u);
  EXPECT_EQ(lines[0].substr(0, 9), "{\"time\":\"");
  EXPECT_EQ(lines[0][28], 'Z') << lines[0];
  EXPECT_EQ(lines[0].substr(30), Expected(a));
  const auto record = history::ParseLine(lines[0]);
  ASSERT_TRUE(record.has_value()) << lines[0];
  EXPECT_EQ(history::FormatLine(*record), lines[0] + "\n") << "read back as written";
}

const std::function<void(HistoryRun&)> kWhole = [](HistoryRun& t) {
  t.Download();
  t.When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
};

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, HistoryRun,
    ::testing::Values(
        Attempt{"Done", nullptr, kWhole, 1, "done", "5.60", "5.71"},
        Attempt{"Refused", [](emu::DisplayConfig& c) { c.version = "4.70"; },
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(ReadyLine("4.70")), Press(IDC_UPDATE));
                  t.AnswerThenExit(kRefused, ui::IDOK);
                },
                2, "refused", "4.70", "4.70"},
        Attempt{"Declined", [](emu::DisplayConfig& c) { c.version = "5.71"; },
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(ReadyLine("5.71")), Press(IDC_UPDATE));
                  t.AnswerThenExit(kSame, ui::IDCANCEL);
                },
                2, "declined", "5.71", "5.71"},
        Attempt{"Cancelled", nullptr,
                [](HistoryRun& t) {
                  t.When(HistoryRun::StatusIs(kReady560), Press(IDC_UPDATE));
                  t.When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_CANCEL_DOWNLOAD));
                  t.When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); },
                         Press(ui::IDCANCEL));
                },
                2, "cancelled", "5.60", "5.60"},
        // The chunk at 8192 refused with an error code: the failure box's
        // status, the step and how far the image got.
        Attempt{"FailedWrite",
                [](emu::DisplayConfig& c) { c.refusedChunks[2] = {0x01, 0x00, 0x20, 0x00, 0x00, 0x01}; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed! (010020000001)", ui::IDOK);
                },
                2, "failed", "5.60", nullptr, "chunk", "8192", "010020000001"},
        Attempt{"FailedStart", [](emu::DisplayConfig& c) { c.refuseStart = true; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed!", ui::IDOK);
                },
                2, "failed", "5.60", nullptr, "start", nullptr, "ffffffffffff"},
        Attempt{"BackWithTheOldVersion", [](emu::DisplayConfig& c) { c.keepOldFirmware = true; },
                [](HistoryRun& t) {
                  t.Download();
                  t.AnswerThenExit("Firmware update failed! The Braille display came back", ui::IDOK);
                },
                2, "failed", "5.60", "5.60", "restart"},
        Attempt{"NotBack", [](emu::DisplayConfig& c) { c.restartAfterEnd = false; },
                [](HistoryRun& t) {
                  t.Unplug(0xEF);
                  t.Download();
                  t.AnswerThenExit("has not come back", ui::IDOK);
                },
                2, "not back", "5.60", nullptr}),
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
  EXPECT_NE(errors.find("cannot write the update history to " + blocker + "/state/dotvane/history.jsonl: Not a directory"),
            std::string::npos)
      << errors;
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

  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::string line;
  pollfd ready{fd, POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&ready, 1, 10000) == 1) {
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  EXPECT_TRUE(history::Flush(10000 * os::TimeScale::Divisor()));
  const auto record = history::ParseLine(line.substr(0, line.find('\n')));
  ASSERT_TRUE(record.has_value()) << line;
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
  EXPECT_NE(line.find(R"("maker":"Or\"van\\ta\u000a\u001b[2J")"), std::string::npos) << line;
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
