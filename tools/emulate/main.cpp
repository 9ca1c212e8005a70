// dotvane-emulate: attaches emulated displays as USB devices (umockdev) and
// runs a command against them, so that a real program reaches the display
// through the real libusb.  Ends with the command's exit status.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_display.h"
#include "display/vendor_requests.h"
#include "os/command_line.h"
#include "os/text_encoding.h"
#include "tools/emulate/usb_testbed.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__)
// umockdev hands the node name to its worker thread through GLib, whose
// locks are futexes ThreadSanitizer cannot see: the worker's g_strdup() of it
// and umockdev's later free() then look like a race.  Reports involving
// g_strdup() are exempt; this program never copies shared data with it.
extern "C" const char* __tsan_default_suppressions() { return "race:g_strdup\n"; }
#endif

namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";
// Set in the environment of the re-executed testbed, never passed on.
constexpr char kReexecMarker[] = "DOTVANE_EMULATE_UNDER_PRELOAD";

constexpr int kUsageError = 2;
constexpr int kSetupError = 125;
constexpr int kCannotExecute = 126;
constexpr int kNotFound = 127;

struct Options {
  emu::DisplayConfig config;
  std::vector<std::string> refusedChunks;
  bool noInEndpoint = false;
  int plugDelayMs = 0;
  int unplugAtMs = -1;
  int replugAtMs = -1;
  int unplugAtChunk = -1;
  std::string unplugAtRequest;  // hex request code
  int unaskedKeys = 0;
  bool secondDisplay = false;
  int restartLeaveMs = 50;
  int restartReturnMs = 500;
  bool noRestart = false;
  std::string logFile;
  std::vector<std::string> command;

  // What a display may say, and how a kernel may refuse (AddDisplayVoiceOptions).
  std::vector<std::string> queryAnswer;  // hex, one IN transfer each
  std::vector<std::string> sendAt;       // MS:HEX
  std::string otherDevice;               // VID:PID, hex
  int unplugSecondAtMs = -1;
  int replugSecondAtMs = -1;
  bool claimed = false;
  bool noPermission = false;
  struct Timed {
    int ms;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Timed> unasked;  // parsed from sendAt
  std::optional<std::pair<std::uint16_t, std::uint16_t>> otherIds;  // parsed from otherDevice
};

bool ParseHexStatus(const std::string& text, emu::Status* status) {
  if (text.size() != 2 * status->size()) return false;
  for (std::size_t i = 0; i < status->size(); ++i) {
    const std::string byte = text.substr(2 * i, 2);
    if (byte.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    (*status)[i] = static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16));
  }
  return true;
}

// Returns an error message, or nothing when every entry is N:HEXSTATUS.
std::optional<std::string> ApplyRefusedChunks(const std::vector<std::string>& entries, emu::DisplayConfig* config) {
  for (const std::string& entry : entries) {
    const auto colon = entry.find(':');
    emu::Status status{};
    if (colon == std::string::npos || colon == 0 ||
        entry.find_first_not_of("0123456789") < colon || colon > 9 ||
        !ParseHexStatus(entry.substr(colon + 1), &status)) {
      return "--refuse-chunk " + entry + ": expected N:HEXSTATUS, e.g. 2:00001F000001";
    }
    config->refusedChunks[std::stoi(entry.substr(0, colon))] = status;
  }
  return std::nullopt;
}

// ---- Saying anything a display can, and refusing as a kernel does ----------

// Hexadecimal bytes, two digits each ("80300000..."); false for anything else.
bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes) {
  if (text.empty() || text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bytes->push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return true;
}

void AddDisplayVoiceOptions(os::CommandLine& app, Options* o) {
  app.Values("--query-answer", o->queryAnswer,
             "Answer the Query with these bytes instead of the INFO answer, whatever they say (any packet "
             "type, header and checksum); repeatable, one IN transfer each, e.g. 8130000000...")
      .TypeName("HEX");
  app.Values("--send-at", o->sendAt,
             "Send these bytes unasked, as one IN transfer, MS after the command started; repeatable, "
             "e.g. 2000:01020010")
      .TypeName("MS:HEX");
  app.Value("--other-device", o->otherDevice,
            "Also attach a device of another vendor with these ids (hex), e.g. 046D:C52B")
      .TypeName("VID:PID");
  app.Value("--unplug-second-at", o->unplugSecondAtMs,
            "Remove the second display for good MS after the command started")
      .TypeName("MS")
      .NotNegative()
      .Needs("--second-display");
  app.Value("--replug-second-at", o->replugSecondAtMs,
            "With --unplug-second-at: plug the second display in again MS after the command started")
      .TypeName("MS")
      .NotNegative()
      .Needs("--unplug-second-at");
  app.Flag("--claimed", o->claimed,
           "Another program has claimed the displays' interface: every claim fails with EBUSY, as the "
           "kernel refuses a second program");
  app.Flag("--no-permission", o->noPermission,
           "The user may not open the displays' nodes: opening them fails with EACCES");
}

// Returns an error message, or nothing when every value is well formed.
std::optional<std::string> ApplyDisplayVoiceOptions(Options* o) {
  for (const std::string& answer : o->queryAnswer) {
    std::vector<std::uint8_t> bytes;
    if (!ParseHexBytes(answer, &bytes)) return "--query-answer " + answer + ": expected hexadecimal bytes";
    o->config.queryAnswer.push_back(std::move(bytes));
  }
  for (const std::string& entry : o->sendAt) {
    const auto colon = entry.find(':');
    Options::Timed timed{};
    if (colon == std::string::npos || colon == 0 || colon > 9 ||
        entry.find_first_not_of("0123456789") < colon || !ParseHexBytes(entry.substr(colon + 1), &timed.bytes)) {
      return "--send-at " + entry + ": expected MS:HEX, e.g. 2000:01020010";
    }
    timed.ms = std::stoi(entry.substr(0, colon));
    o->unasked.push_back(std::move(timed));
  }
  if (!o->otherDevice.empty()) {
    std::vector<std::uint8_t> vid, pid;
    const auto colon = o->otherDevice.find(':');
    if (colon != 4 || o->otherDevice.size() != 9 || !ParseHexBytes(o->otherDevice.substr(0, 4), &vid) ||
        !ParseHexBytes(o->otherDevice.substr(5), &pid)) {
      return "--other-device " + o->otherDevice + ": expected VID:PID in hexadecimal, e.g. 046D:C52B";
    }
    o->otherIds = std::pair{static_cast<std::uint16_t>(vid[0] << 8 | vid[1]),
                            static_cast<std::uint16_t>(pid[0] << 8 | pid[1])};
  }
  return std::nullopt;
}

// The timed events of those options, on the main context: unasked bytes
// and the second display leaving and coming back.  Removes what has not
// fired yet when it goes.
class TimedVoice {
 public:
  TimedVoice(const Options& o, emu::UsbTestbed& testbed, const std::shared_ptr<emu::EmulatedDisplay>& first) {
    for (const Options::Timed& timed : o.unasked) {
      After(timed.ms, [first, bytes = timed.bytes] { first->SendUnasked(bytes); });
    }
    if (o.unplugSecondAtMs >= 0) {
      const bool comesBack = o.replugSecondAtMs >= 0;
      After(o.unplugSecondAtMs, [&testbed, comesBack] { comesBack ? testbed.Detach(1) : testbed.Unplug(1); });
      if (comesBack) After(o.replugSecondAtMs, [&testbed] { testbed.Plug(1); });
    }
  }
  ~TimedVoice() {
    for (guint id : sources_) {
      if (GSource* source = g_main_context_find_source_by_id(nullptr, id)) g_source_destroy(source);
    }
  }
  TimedVoice(const TimedVoice&) = delete;
  TimedVoice& operator=(const TimedVoice&) = delete;

 private:
  void After(int ms, std::function<void()> fn) {
    sources_.push_back(g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(ms),
        [](gpointer p) -> gboolean {
          (*static_cast<std::function<void()>*>(p))();
          return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(fn)), [](gpointer p) { delete static_cast<std::function<void()>*>(p); }));
  }
  std::vector<guint> sources_;
};

// ---- Parsing -----------------------------------------------------------------

// What the display says and how it answers the download.
void AddDisplayOptions(os::CommandLine& app, Options* o) {
  app.Value("--manufacturer", o->config.manufacturer, "Manufacturer text of the INFO answer")
      .ShowDefault();
  app.Value("--model", o->config.model, "Model text of the INFO answer").ShowDefault();
  app.Value("--version", o->config.version, "Firmware version text of the INFO answer").ShowDefault();
  app.Value("--suffix", o->config.suffix, "Suffix text of the INFO answer (default: none)");
  app.Flag("--accept-agent", o->config.acceptAgent,
           "Accept the agent load (default: the first agent request is refused)");
  app.Values("--refuse-chunk", o->refusedChunks,
             "Refuse chunk request N (0-based, counted since the start request) and answer HEXSTATUS "
             "(6 bytes) to the next status request; repeatable, e.g. 2:00001F000001")
      .TypeName("N:HEXSTATUS");
  app.Flag("--split-info", o->config.splitInfo, "The INFO answer arrives in two IN transfers");
  app.Value("--unasked-keys", o->unaskedKeys,
            "Send N key packets (01 02 00 10), one IN transfer each, before every INFO answer")
      .TypeName("N")
      .Range(0, 100000);
  app.Flag("--keep-old-firmware", o->config.keepOldFirmware,
           "After an accepted end of transfer the display restarts with its old firmware version");
  app.Flag("--status-fails", o->config.statusFails, "Status requests (DE) are refused");
  app.Value("--chunk-delay", o->config.chunkAcceptMs,
            "The display takes MS to answer each chunk request (DC), as writing its flash does; "
            "below the host's 5000 ms bound on a request")
      .Range(0, 4000);
}

// How the display sits on the bus: when it comes and goes, and restarts.
void AddBusOptions(os::CommandLine& app, Options* o) {
  app.Flag("--no-in-endpoint", o->noInEndpoint, "The display has no bulk IN endpoint 0x81");
  app.Value("--plug-delay", o->plugDelayMs, "Plug the displays in MS after the command started")
      .TypeName("MS")
      .NotNegative();
  app.Value("--unplug-at", o->unplugAtMs, "Remove the (first) display for good MS after the command started")
      .TypeName("MS")
      .NotNegative();
  app.Value("--replug-at", o->replugAtMs,
            "With --unplug-at: plug the display in again MS after the command started, as a user would")
      .TypeName("MS")
      .NotNegative()
      .Needs("--unplug-at");
  app.Value("--unplug-at-chunk", o->unplugAtChunk,
            "Remove the (first) display for good when chunk request N (0-based, counted since the start "
            "request) arrives; that request fails")
      .TypeName("N")
      .NotNegative();
  app.Value("--unplug-at-request", o->unplugAtRequest,
            "Remove the (first) display for good when the first control request with this code (hex: A0 "
            "for the agent, DF for the start, EF for the end of transfer) arrives; that request fails")
      .TypeName("HEX")
      .Check([](const std::string& text) {
        return text.size() >= 1 && text.size() <= 2 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos
                   ? std::string()
                   : std::string("expected one hex byte, such as DF");
      });
  app.Flag("--second-display", o->secondDisplay, "Attach a second display, serial EMU0002");
  app.Value("--restart-leave", o->restartLeaveMs,
            "After an accepted end of transfer, the display leaves the bus after MS")
      .TypeName("MS")
      .NotNegative()
      .ShowDefault();
  app.Value("--restart-return", o->restartReturnMs, "...and comes back MS after it left")
      .TypeName("MS")
      .NotNegative()
      .ShowDefault();
  app.Flag("--no-restart", o->noRestart, "The display stays on the bus after an accepted end of transfer");
}

// Parses the options before "--"; what follows it is the command.  Returns
// an exit status when the program should end right away.
std::optional<int> ParseOptions(int argc, char** argv, Options* o) {
  int split = argc;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      split = i;
      break;
    }
  }
  for (int i = split + 1; i < argc; ++i) o->command.emplace_back(argv[i]);

  os::CommandLine app{
      "Attaches one or two emulated braille displays as USB devices (umockdev) and runs a command against "
      "them, so that it reaches the display through the real libusb. Ends with the command's exit status.",
      "dotvane-emulate", os::CommandLine::Errors::kParser};
  app.Footer(
      "After the options: -- COMMAND [ARGS...]. COMMAND defaults to dotvane (looked for next to dotvane-emulate, in the build tree's app folder, then on "
      "PATH). It runs with LD_PRELOAD and UMOCKDEV_DIR set, so libusb sees only the emulated displays.\n"
      "Exit status: the command's; 128+N when it died of signal N; 2 for bad options; 125 when the testbed "
      "could not be set up; 126/127 when the command could not be run / found.");
  AddDisplayOptions(app, o);
  AddBusOptions(app, o);
  app.Value("--log", o->logFile, "Write every request a display got to FILE, one JSON object per line")
      .TypeName("FILE");
  AddDisplayVoiceOptions(app, o);
  if (const auto status = app.Parse(split, argv)) return status;
  if (auto error = ApplyRefusedChunks(o->refusedChunks, &o->config)) {
    std::fprintf(stderr, "dotvane-emulate: %s\n", error->c_str());
    return kUsageError;
  }
  if (auto error = ApplyDisplayVoiceOptions(o)) {
    std::fprintf(stderr, "dotvane-emulate: %s\n", error->c_str());
    return kUsageError;
  }
  o->config.hasInPipe = !o->noInEndpoint;
  o->config.restartAfterEnd = !o->noRestart;
  o->config.unaskedShortPackets.assign(static_cast<std::size_t>(o->unaskedKeys), {0x01, 0x02, 0x00, 0x10});
  return std::nullopt;
}

bool UnderPreload() {
  const char* marker = std::getenv(kReexecMarker);
  const char* preload = std::getenv("LD_PRELOAD");
  return marker != nullptr && preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// umockdev only sends uevents from a process under its preload, so the
// testbed runs itself again with it.  The command inherits the preload.
int ReexecUnderPreload(char** argv) {
  std::string preload = kPreload;
  if (const char* existing = std::getenv("LD_PRELOAD"); existing != nullptr && *existing != '\0') {
    // An AddressSanitizer runtime named there must stay first.
    preload = std::string(existing) + ":" + kPreload;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  // AddressSanitizer builds (of this program or of the command) would refuse
  // to start with the preload ahead of their runtime.
  std::string asan = "verify_asan_link_order=0";
  if (const char* existing = std::getenv("ASAN_OPTIONS"); existing != nullptr && *existing != '\0') {
    asan = std::string(existing) + ":" + asan;
  }
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv(kReexecMarker, "1", 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "dotvane-emulate: cannot run itself under %s: %s\n", kPreload, std::strerror(errno));
  return kSetupError;
}

std::string ExecutableDir() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The default command: the dotvane built alongside, else the one on PATH.
std::string DefaultCommand() {
  const std::string dir = ExecutableDir();
  for (const std::string& candidate : {dir + "/dotvane", dir + "/../../app/dotvane"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "dotvane";
}

// One JSON object per line for every request a display got.
class RequestLog {
 public:
  explicit RequestLog(FILE* file) : file_(file) {}
  ~RequestLog() {
    if (file_ != nullptr) std::fclose(file_);
  }

  // `outcome`, when given, is what the program got instead of the display's
  // answer (the display left at that request): the request is then not
  // accepted.
  void Write(const std::string& serial, const emu::RecordedRequest& r, const char* outcome = nullptr) {
    nlohmann::ordered_json line;
    switch (r.kind) {
      case emu::RecordedRequest::Kind::kBulkOut: line["kind"] = "bulk-out"; break;
      case emu::RecordedRequest::Kind::kControlIn: line["kind"] = "control-in"; break;
      case emu::RecordedRequest::Kind::kControlOut: line["kind"] = "control-out"; break;
    }
    if (r.kind != emu::RecordedRequest::Kind::kBulkOut) {
      line["request"] = emu::Hex({r.request});
      line["value"] = r.value;
      line["index"] = r.index;
    }
    line["length"] = r.length;
    line["data"] = emu::Hex(r.data);
    line["accepted"] = r.accepted && outcome == nullptr;
    if (outcome != nullptr) line["outcome"] = outcome;
    // The serial is the display's own text: any byte that is not UTF-8 is
    // taken as Latin-1, so that the line stays valid JSON.
    line["serial"] = os::Utf8OrLatin1(serial);
    const std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), file_);
    std::fflush(file_);
  }

 private:
  std::mutex mutex_;
  FILE* file_;
};

// Counts chunk requests since the last accepted start request, to remove
// the display when a given one arrives.
class ChunkTrigger {
 public:
  explicit ChunkTrigger(int target) : target_(target) {}
  // True exactly once: when request number `target` arrives.
  bool Observe(const emu::RecordedRequest& r) {
    if (r.kind != emu::RecordedRequest::Kind::kControlOut) return false;
    std::lock_guard lock(mutex_);
    if (r.request == kRequestStartTransfer && r.accepted) count_ = 0;
    if (r.request != kRequestChunk || fired_) return false;
    if (count_++ != target_) return false;
    fired_ = true;
    return true;
  }

 private:
  std::mutex mutex_;
  int target_;
  int count_ = 0;
  bool fired_ = false;
};

// Fires once, on the first control request with the given code.
class RequestTrigger {
 public:
  explicit RequestTrigger(int request) : request_(request) {}
  bool Observe(const emu::RecordedRequest& r) {
    if (r.kind == emu::RecordedRequest::Kind::kBulkOut || r.request != request_) return false;
    return !fired_.exchange(true);
  }

 private:
  int request_;
  std::atomic<bool> fired_{false};
};

std::atomic<pid_t> gChild{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// SIGINT and SIGTERM go on to the command; the testbed ends when it does.
// A terminal's interrupt already reached the command (same process group),
// so only signals sent to this process alone are passed on.
void ForwardSignal(int sig, siginfo_t* info, void*) {
  const pid_t child = gChild.load();
  if (child <= 0) {
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  if (info != nullptr && info->si_code == SI_KERNEL) return;
  kill(child, sig);
}

void InstallSignalForwarding() {
  struct sigaction action {};
  action.sa_sigaction = ForwardSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Starts the command in this process group (not a session leader, so the
// pty nodes never become its controlling terminal).
int Spawn(const std::vector<std::string>& command, pid_t* pid) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kReexecMarker, std::strlen(kReexecMarker)) == 0 && (*e)[std::strlen(kReexecMarker)] == '=') {
      continue;
    }
    env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = command;
  std::vector<char*> argvp;
  for (auto& s : args) argvp.push_back(s.data());
  argvp.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int rc = posix_spawnp(pid, argvp[0], nullptr, &attr, argvp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  return rc;
}

struct RunState {
  GMainLoop* loop = nullptr;
  int status = 0;
};

// The displays of the options on the testbed, each request they get logged
// and watched for the request a display is to leave at.
std::vector<std::shared_ptr<emu::EmulatedDisplay>> AttachDisplays(const Options& options, emu::UsbTestbed& testbed,
                                                                  RequestLog* log, ChunkTrigger& chunkTrigger,
                                                                  RequestTrigger& requestTrigger) {
  std::vector<std::shared_ptr<emu::EmulatedDisplay>> displays;
  displays.push_back(std::make_shared<emu::EmulatedDisplay>(options.config));
  if (options.secondDisplay) {
    emu::DisplayConfig second = options.config;
    second.serial = "EMU0002";
    displays.push_back(std::make_shared<emu::EmulatedDisplay>(second));
  }
  const emu::UsbAccess access{options.claimed, options.noPermission};
  for (std::size_t i = 0; i < displays.size(); ++i) {
    const std::size_t slot = testbed.AddDisplay(displays[i], access);
    const std::string serial = displays[i]->Config().serial;
    const bool unplugAtChunk = i == 0 && options.unplugAtChunk >= 0;
    const bool unplugAtRequest = i == 0 && !options.unplugAtRequest.empty();
    if (log == nullptr && !unplugAtChunk && !unplugAtRequest) continue;
    displays[i]->SetRequestObserver([&testbed, &chunkTrigger, &requestTrigger, log, serial, slot, unplugAtChunk,
                                     unplugAtRequest](const emu::RecordedRequest& r) {
      // The display may have taken the request, but the program gets "no
      // device" for it: the log says what happened on the bus.
      if ((unplugAtChunk && chunkTrigger.Observe(r)) || (unplugAtRequest && requestTrigger.Observe(r))) {
        testbed.UnplugSoon(slot);
        if (log != nullptr) log->Write(serial, r, "no-device");
      } else if (log != nullptr) {
        log->Write(serial, r);
      }
    });
  }

  // A device of another vendor sits on the bus beside the displays.
  if (options.otherIds) {
    emu::DisplayConfig other;
    other.vendorId = options.otherIds->first;
    other.productId = options.otherIds->second;
    other.serial = "OTHER01";
    displays.push_back(std::make_shared<emu::EmulatedDisplay>(other));
    testbed.AddDisplay(displays.back());
  }
  return displays;
}

// Runs the command to its end, with the displays' timed comings and goings;
// its exit status.
int RunCommand(const Options& options, emu::UsbTestbed& testbed, const std::function<void()>& plugAll) {
  InstallSignalForwarding();
  pid_t pid = 0;
  if (const int rc = Spawn(options.command, &pid); rc != 0) {
    std::fprintf(stderr, "dotvane-emulate: cannot run %s: %s\n", options.command[0].c_str(), std::strerror(rc));
    return rc == ENOENT ? kNotFound : kCannotExecute;
  }
  RunState run;
  run.loop = g_main_loop_new(nullptr, FALSE);
  gChild.store(pid);
  std::function<void()> plugLater = plugAll;
  const bool comesBack = options.replugAtMs >= 0;
  std::function<void()> unplugLater = [&testbed, comesBack] {
    if (comesBack) {
      testbed.Detach(0);
    } else {
      testbed.Unplug(0);
    }
  };
  std::function<void()> replugLater = [&testbed] { testbed.Plug(0); };
  auto once = [](gpointer p) -> gboolean {
    (*static_cast<std::function<void()>*>(p))();
    return G_SOURCE_REMOVE;
  };
  if (options.plugDelayMs > 0) g_timeout_add(static_cast<guint>(options.plugDelayMs), once, &plugLater);
  if (options.unplugAtMs >= 0) g_timeout_add(static_cast<guint>(options.unplugAtMs), once, &unplugLater);
  if (comesBack) g_timeout_add(static_cast<guint>(options.replugAtMs), once, &replugLater);
  g_child_watch_add(
      pid,
      [](GPid, gint status, gpointer p) {
        auto* state = static_cast<RunState*>(p);
        state->status = status;
        g_main_loop_quit(state->loop);
      },
      &run);
  g_main_loop_run(run.loop);
  gChild.store(0);
  // Timers still pending refer to this scope.
  while (g_source_remove_by_user_data(&plugLater)) {
  }
  while (g_source_remove_by_user_data(&unplugLater)) {
  }
  while (g_source_remove_by_user_data(&replugLater)) {
  }
  g_main_loop_unref(run.loop);
  if (WIFEXITED(run.status)) return WEXITSTATUS(run.status);
  if (WIFSIGNALED(run.status)) return 128 + WTERMSIG(run.status);
  return kSetupError;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto exit = ParseOptions(argc, argv, &options)) return *exit;
  if (!UnderPreload()) return ReexecUnderPreload(argv);
  if (options.command.empty()) options.command.push_back(DefaultCommand());

  std::unique_ptr<RequestLog> log;
  if (!options.logFile.empty()) {
    FILE* file = std::fopen(options.logFile.c_str(), "w");
    if (file == nullptr) {
      std::fprintf(stderr, "dotvane-emulate: cannot write %s: %s\n", options.logFile.c_str(), std::strerror(errno));
      return kSetupError;
    }
    log = std::make_unique<RequestLog>(file);
  }

  emu::UsbTestbed testbed({options.restartLeaveMs, options.restartReturnMs});
  ChunkTrigger chunkTrigger(options.unplugAtChunk);
  RequestTrigger requestTrigger(options.unplugAtRequest.empty() ? -1 : std::stoi(options.unplugAtRequest, nullptr, 16));
  const auto displays = AttachDisplays(options, testbed, log.get(), chunkTrigger, requestTrigger);
  int exitStatus = 0;
  {
    TimedVoice voice(options, testbed, displays.front());
    auto plugAll = [&testbed, count = displays.size()] {
      for (std::size_t i = 0; i < count; ++i) testbed.Plug(i);
    };
    if (options.plugDelayMs == 0) plugAll();
    exitStatus = RunCommand(options, testbed, plugAll);
  }
  for (auto& display : displays) display->SetRequestObserver(nullptr);
  return exitStatus;
}
