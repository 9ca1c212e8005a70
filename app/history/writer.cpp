#include "app/history/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "app/history/path.h"
#include "os/i18n.h"
#include "os/sync.h"
#include "os/thread_safety.h"

namespace history {
namespace {

// ---- The few calls that differ on Windows ----------------------------------------

#ifdef _WIN32
constexpr int kNoInheritOrTerminal = _O_BINARY;  // handles are not inherited by default there
int MakeFolder(const char* path) { return _mkdir(path); }
int TruncateTo(int fd, off_t size) { return _chsize(fd, static_cast<long>(size)); }
int Sync(int fd) { return _commit(fd); }
#else
constexpr int kNoInheritOrTerminal = O_CLOEXEC | O_NOCTTY;
int MakeFolder(const char* path) { return mkdir(path, 0700); }
int TruncateTo(int fd, off_t size) { return ftruncate(fd, size); }
int Sync(int fd) { return fsync(fd); }
#endif

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
// so that the file never holds half a record.  The line is on disk when this
// returns 0 (a power cut must not lose the record that a write began);
// otherwise the errno value.
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
  } else if (Sync(fd) != 0 && errno != EINVAL) {  // EINVAL: a file that cannot be synced, such as a FIFO
    error = errno;
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
  // Neither joined nor detached, and never destroyed: the thread lives as
  // long as the process.  Detached, under Wine's threads library it was seen
  // to vanish with records still queued (3 runs of 40 of the version-rule
  // scenarios, one of them hung at its end), and none since.
  std::thread* thread GUARDED_BY(mutex) = nullptr;
};

std::shared_ptr<WriterState> Writer() {
  static const auto state = std::make_shared<WriterState>();
  return state;
}

// What went wrong, once: a write records several lines, and a history that
// cannot take the first will not take the others.
void Report(const std::string& problem, std::string* reported) {
  if (problem == *reported) return;
  *reported = problem;
  if (!problem.empty()) std::fprintf(stderr, "%s\n", problem.c_str());
}

void WriterLoop(std::shared_ptr<WriterState> state) {
  std::string reported;
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
      Report(os::i18n::Format(N_("%1$s: cannot write the update history: neither XDG_STATE_HOME nor HOME is set"),
                              {ProgramName()}),
             &reported);
    } else if (const int error = WriteLine(path, line)) {
      Report(os::i18n::Format(N_("%1$s: cannot write the update history to %2$s: %3$s"),
                              {ProgramName(), path, std::strerror(error)}),
             &reported);
    } else {
      Report("", &reported);
    }
    lock.Lock();
  }
}

std::atomic<bool> gEnabled{true};

}  // namespace

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
    if (state->thread == nullptr) state->thread = new std::thread(WriterLoop, state);
  }
  state->wake.notify_one();
}

bool Flush(os::DWORD milliseconds) {
  return os::WaitForSingleObject(Writer()->drained, milliseconds) == os::WAIT_OBJECT_0;
}

void SetEnabled(bool enabled) { gEnabled.store(enabled); }
bool Enabled() { return gEnabled.load(); }

}  // namespace history
