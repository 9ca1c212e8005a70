// A window-system back end for scenario tests: it plays the user from a
// script of rules and keeps a transcript of everything the dialogs show.
//
// A rule is a predicate and an action.  Inside every modal loop and every
// message-box loop, whenever the queue has been dispatched and is idle, the
// rules are looked at in order and the first one whose predicate holds
// fires; each rule fires at most once.  Actions press buttons, close the
// innermost dialog, answer the box that is up, pick a window-menu item or
// run any code (plugging or unplugging a display, injecting a packet).
//
// All loops share one real-time deadline.  When it passes, the back end
// reports a test failure with the transcript and closes every dialog and box
// it is running, so a scenario that goes wrong ends instead of hanging.
//
// Everything but Wake runs on the user-interface thread (the test's thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/ui.h"

namespace test {

struct UiEvent {
  enum class Kind {
    kCreated,     // text: title
    kShown,
    kEnded,       // value: result
    kTitle,       // text
    kText,        // control, text
    kEnabled,     // control, value: 0 or 1
    kProgress,    // control, value: percent
    kDefault,     // value: default button id
    kFocus,       // value: active control id
    kMenuItem,    // value: command id, text
    kIcon,        // value: icon id
    kSay,         // text
    kBox,         // text, caption, style
    kAnswer,      // value: IDOK or IDCANCEL
    kPress,       // control  (the script's actions from here on)
    kClose,
    kSysCommand,  // value: command id
    kAction,      // text: the action's label
  };
  Kind kind = Kind::kAction;
  int dialog = 0;  // template id; 0 for boxes and script actions outside dialogs
  int control = 0;
  std::intptr_t value = 0;
  std::string text;
  std::string caption;
  ui::UINT style = 0;
  std::string line;  // the event as one transcript line
};

// What a rule's predicate and action see.
class ScriptedBackend;

class Scene {
 public:
  ScriptedBackend* backend = nullptr;
  ui::CDialog* dialog = nullptr;         // innermost dialog, if any
  bool shown = false;                    // it has been shown
  const ui::MessageBoxSpec* box = nullptr;  // the box whose loop is innermost, if any
  const std::vector<UiEvent>* events = nullptr;

  // The dialog `templateId` is innermost and shown, and no box is up over it.
  bool Up(int templateId) const;
  // A box is up whose text contains `fragment`.
  bool BoxUp(std::string_view fragment) const;
  // Some transcript line contains `fragment`.
  bool Seen(std::string_view fragment) const;
  // Text of a control of the innermost dialog ("" without one).
  std::string Text(int control) const;

  // Set by an action to answer the box.
  std::optional<int> answer;
};

using Predicate = std::function<bool(const Scene&)>;
using Action = std::function<void(Scene&)>;

// Actions.
Action Press(int control);     // CDialog::Command on the innermost dialog
Action CloseDialog();          // CDialog::Close on the innermost dialog
Action SysCommand(ui::UINT id);  // CDialog::SystemCommand on the innermost dialog
Action Answer(int result);     // answers the box that is up
Action Do(std::string label, std::function<void()> what);

class ScriptedBackend : public ui::Backend {
 public:
  explicit ScriptedBackend(std::chrono::milliseconds limit = std::chrono::seconds(20));
  ~ScriptedBackend() override;

  void When(Predicate predicate, Action action);
  // A box with only an OK button that no rule answers is answered OK.
  void AutoAnswerOk(bool on) { autoOk_ = on; }

  const std::vector<UiEvent>& Events() const { return events_; }
  std::vector<std::string> Lines() const;
  std::string Transcript() const;  // the lines, one a line
  std::vector<UiEvent> Boxes() const;
  bool Seen(std::string_view fragment) const;
  // Rules that never fired, by their index in order of When.
  std::vector<std::size_t> UnfiredRules() const;
  bool TimedOut() const { return expired_; }

  // Adds an event to the transcript (its line is made when it has none).
  void Record(UiEvent event);

  // ui::Backend
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
  struct Rule {
    Predicate predicate;
    Action action;
    bool fired = false;
  };
  struct Open {
    ui::CDialog* dialog;
    bool shown = false;
    std::vector<ui::ControlState> controls;  // as last reported
  };

  // Dispatches the queue, then fires one rule if the queue was idle;
  // false when neither happened.
  bool Step(const ui::MessageBoxSpec* box, std::optional<int>* answer);
  // Waits for a wake, at most a short poll and never past the deadline.
  void Wait();
  bool PastDeadline() const;
  void Expire();
  Open* Find(const ui::CDialog& dialog);

  const std::chrono::steady_clock::time_point deadline_;
  std::vector<Rule> rules_;
  bool autoOk_ = false;
  bool expired_ = false;
  std::vector<UiEvent> events_;
  std::vector<Open> open_;  // dialogs between DialogCreated and DialogEnded, innermost last

  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

// Installs a back end for the life of the object.
class ScopedBackend {
 public:
  explicit ScopedBackend(ui::Backend& backend) { ui::SetBackend(&backend); }
  ~ScopedBackend() { ui::SetBackend(nullptr); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;
};

}  // namespace test
