#include "app/end_requests.h"

#include <condition_variable>
#include <cstdlib>

#include "app/history.h"
#include "os/thread_safety.h"

#ifdef _WIN32
#include <windows.h>
// Ours is os::Window's member, not the A/W macro.
#undef PostMessage
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "os/thread.h"
#endif

namespace endreq {
namespace {

struct State {
  os::Mutex mutex;
  os::Window* owner GUARDED_BY(mutex) = nullptr;
  Stage stage GUARDED_BY(mutex) = Stage::kIdle;
  std::condition_variable_any changed;  // the stage changed
};

State& Shared() {
  static State state;
  return state;
}

// What a request comes to, on whichever thread takes it in.  Holding the
// lock throughout, no attempt can begin between the decision and the end.
void Dispatch(int request) {
  State& state = Shared();
  os::MutexLock lock(state.mutex);
  if (state.owner == nullptr || state.stage == Stage::kIdle) EndAsRequested(request);
  state.owner->PostMessage(WM_END_REQUESTED, static_cast<os::WPARAM>(request), 0);
}

#ifdef _WIN32

// Windows calls this on a thread of its own, not in a signal's context.
// After a close, logoff or shutdown event the process is ended as soon as
// the handler returns (or when the system's own time-out is up): the
// handler holds on while the update finishes, as long as the system lets it.
constexpr DWORD kCloseHoldMs = 180000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Dispatch(static_cast<int>(event));
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      Dispatch(static_cast<int>(event));
      State& state = Shared();
      os::UniqueMutexLock lock(state.mutex);
      state.changed.wait_for(lock.Waitable(), std::chrono::milliseconds(kCloseHoldMs),
                             [&]() NO_THREAD_SAFETY_ANALYSIS { return state.stage == Stage::kIdle; });
      return FALSE;
    }
    default:
      return FALSE;
  }
}

#else

constexpr std::array kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr unsigned char kStopByte = 0;  // no signal has the number 0

// Set before the handlers are installed and cleared only after they are
// taken away again.
int g_pipe[2] = {-1, -1};
std::array<struct sigaction, kSignals.size()> g_previous;
std::unique_ptr<os::Thread> g_forwarder;

// Nothing but write(2) and errno: both async-signal-safe.  A full pipe
// drops the request; enough of them are already waiting to be read.
extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
  errno = saved;
}

#endif

}  // namespace

#ifdef _WIN32

ScopedEndRequests::ScopedEndRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
ScopedEndRequests::~ScopedEndRequests() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

#else

ScopedEndRequests::ScopedEndRequests() {
  if (::pipe2(g_pipe, O_CLOEXEC) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;  // the signals keep their usual effect
  }
  ::fcntl(g_pipe[1], F_SETFL, ::fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
  const int readEnd = g_pipe[0];
  // Waits for nothing but the next request, or the stop byte the
  // destructor writes; the destructor joins it.
  g_forwarder = os::Thread::Create([readEnd]() -> os::DWORD {
    for (;;) {
      unsigned char number = kStopByte;
      const ssize_t got = ::read(readEnd, &number, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1 || number == kStopByte) return 0;
      Dispatch(number);
    }
  });
  if (!g_forwarder) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &g_previous[i]);
}

ScopedEndRequests::~ScopedEndRequests() {
  if (g_forwarder) {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
    const unsigned char stop = kStopByte;
    // The pipe cannot be full of requests for long: the forwarder drains it.
    while (::write(g_pipe[1], &stop, 1) != 1 && (errno == EINTR || errno == EAGAIN)) {
    }
    g_forwarder->Wait(os::INFINITE);
    g_forwarder.reset();
  }
  for (int& end : g_pipe) {
    if (end >= 0) ::close(end);
    end = -1;
  }
}

#endif

void SetOwner(os::Window* owner) {
  State& state = Shared();
  {
    os::MutexLock lock(state.mutex);
    state.owner = owner;
    if (owner == nullptr) state.stage = Stage::kIdle;
  }
  state.changed.notify_all();
}

void SetStage(Stage stage) {
  State& state = Shared();
  {
    os::MutexLock lock(state.mutex);
    state.stage = stage;
  }
  state.changed.notify_all();
}

Stage CurrentStage() {
  State& state = Shared();
  os::MutexLock lock(state.mutex);
  return state.stage;
}

void EndAsRequested(int request) {
  history::Flush(history::kExitFlushMs);
#ifdef _WIN32
  (void)request;
  // What the system's own handler does with Ctrl-C.
  ExitProcess(STATUS_CONTROL_C_EXIT);
#else
  ::signal(request, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, request);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(request);
  // A signal whose default is to carry on would otherwise leave us here.
  std::_Exit(128 + request);
#endif
}

}  // namespace endreq
