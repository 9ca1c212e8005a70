// The text back end: the whole user interface as plain lines on a stream,
// driven by commands read one per line.
//
// It is meant for a screen-reader user on a text console and for scripts.
// Every event is one line of plain words, printed when it happens; there are
// no cursor movements, colours or redraws, so a screen reader reads exactly
// what is new.  The line format is stable (docs/text-interface.md): scripts
// may match it.
//
// Threads: every ui::Backend call except Wake() comes from the user-interface
// thread, and so does all output.  A reader thread owned by the back end reads
// the input and queues its lines; the modal loops take them on the
// user-interface thread, one at a time, and only for the innermost modal
// window (a dialog, or a message box while one is up).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os/thread_safety.h"
#include "ui/ui.h"

namespace text {

class TextBackend : public ui::Backend {
 public:
  // Reads commands from `in` and writes events to `out`, flushing each line.
  // std::cin is read through file descriptor 0 so that the back end can stop
  // its reader while the terminal is still open; any other stream is read
  // until its end, which it must reach before the back end is destroyed.
  TextBackend(std::istream& in, std::ostream& out);
  ~TextBackend() override;
  TextBackend(const TextBackend&) = delete;
  TextBackend& operator=(const TextBackend&) = delete;

  void DialogCreated(ui::CDialog& dialog) override;
  void DialogShown(ui::CDialog& dialog) override;
  void DialogEnded(ui::CDialog& dialog, std::intptr_t result) override;

  void TitleChanged(ui::CDialog& dialog) override;
  void ControlChanged(ui::CDialog& dialog, int id) override;
  void DefaultChanged(ui::CDialog& dialog) override;
  void FocusChanged(ui::CDialog& dialog) override;
  void Repaint(ui::CDialog& dialog) override;
  void MenuItemAdded(ui::CDialog& dialog, ui::UINT commandId, const std::string& text) override;
  void IconSet(ui::CDialog& dialog, int iconId) override;
  void Say(ui::CDialog& dialog, const std::string& text) override;

  void RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) override;
  int MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) override;

  void Wake() override;

 private:
  struct Box {
    ui::MessageBoxSpec spec;
    std::optional<int> answer;
  };
  // One open modal window; exactly one of the two is set.  Both live on the
  // stack of the loop that pushed them.
  struct Modal {
    ui::CDialog* dialog = nullptr;
    Box* box = nullptr;
    std::uint64_t serial = 0;  // set when its loop starts; tells windows apart
  };

  // Lines that go to `out`, in order.
  void Print(const std::string& line);
  std::vector<std::string> DescribeDialog(const ui::CDialog& dialog) const;
  std::string DescribeBox(const ui::MessageBoxSpec& spec) const;
  std::vector<std::string> DescribeInnermost() const;
  // Whether changes to `dialog` are to be printed now: after it was shown
  // and before it ended.  Changes made while it initialises are left out,
  // because the listing printed when it is shown carries its final state.
  bool Announces(const ui::CDialog& dialog) const;

  // The loop shared by dialogs and message boxes.
  void Loop(const Modal& self, const std::function<bool()>& done);
  // Takes one queued command for `self`, if it is the innermost modal window
  // and no `wait` is holding the input, and carries it out.
  bool TakeCommand(const Modal& self);
  void WaitForWork();

  void Execute(const std::string& line);
  void Press(const std::string& what);
  void Answer(Box& box, int answer);
  void CloseInnermost();
  void About();
  void StartWait(const std::string& text);
  void Error(const std::string& what);

  // Reader thread bodies.
  void ReadStream();
  void ReadDescriptor(int fd);
  void Queue(std::string line);
  void QueueEnd();

  std::istream& in_;
  std::ostream& out_;

  // Shared with the reader thread and with Wake() callers.
  os::Mutex mutex_;
  std::condition_variable_any cv_;
  std::deque<std::string> lines_ GUARDED_BY(mutex_);
  bool inputEnded_ GUARDED_BY(mutex_) = false;
  bool woken_ GUARDED_BY(mutex_) = false;

  // User-interface thread only.
  std::vector<Modal> modals_;  // outermost first
  std::optional<std::string> waitFor_;  // lower case; holds the input while set
  // Lines printed since the last command other than `wait` was carried out
  // (the latest ones, lower case): a wait is met by what that command has
  // already brought about, however fast it came.
  std::deque<std::string> sinceCommand_;
  // After the end of input, each window is closed once as it becomes the
  // innermost: the last one so closed.
  std::uint64_t endClosedSerial_ = 0;
  std::uint64_t nextSerial_ = 0;

  int stopPipe_[2] = {-1, -1};  // wakes the descriptor reader for shutdown
  std::atomic<bool> stopReading_{false};  // ... and, on Windows, ends its bounded waits
  std::thread reader_;
};

// The quoting used for every text on an output line: double quotes around,
// and C escapes for quote, backslash and control characters.
std::string Quote(std::string_view text);
// A control's text as shown: "&&" becomes "&" and a single "&" (the keyboard
// mnemonic marker) is dropped, unless the control shows "&" as it is.
std::string ShownText(std::string_view text, bool noPrefix = false);

}  // namespace text
