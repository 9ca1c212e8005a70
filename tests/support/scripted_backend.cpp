#include "scripted_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace test {

namespace {

using Kind = UiEvent::Kind;

// Re-checks the rules this often even when nothing wakes the loop, so that a
// predicate on state outside the queue (the emulated display's) is seen.
constexpr std::chrono::milliseconds kPoll{10};

UiEvent Ev(Kind kind, int dialog = 0, int control = 0, std::intptr_t value = 0, std::string text = {}) {
  UiEvent e;
  e.kind = kind;
  e.dialog = dialog;
  e.control = control;
  e.value = value;
  e.text = std::move(text);
  return e;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Hex(std::uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%zX", static_cast<std::size_t>(value));
  return buffer;
}

std::string LineFor(const UiEvent& e) {
  const std::string d = std::to_string(e.dialog);
  const std::string c = d + "/" + std::to_string(e.control);
  const std::string v = std::to_string(e.value);
  switch (e.kind) {
    case Kind::kCreated: return "created " + d + " " + Quoted(e.text);
    case Kind::kShown: return "shown " + d;
    case Kind::kEnded: return "ended " + d + " = " + v;
    case Kind::kTitle: return "title " + d + " " + Quoted(e.text);
    case Kind::kText: return "text " + c + " " + Quoted(e.text);
    case Kind::kProgress: return "progress " + c + " " + v;
    case Kind::kEnabled: return "enabled " + c + " " + v;
    case Kind::kDefault: return "default " + d + " " + v;
    case Kind::kFocus: return "focus " + d + " " + v;
    case Kind::kMenuItem: return "menu " + d + " " + Hex(static_cast<std::uintptr_t>(e.value)) + " " + Quoted(e.text);
    case Kind::kIcon: return "icon " + d + " " + v;
    case Kind::kSay: return "say " + d + " " + Quoted(e.text);
    case Kind::kBox: return "box " + Quoted(e.caption) + " " + Hex(e.style) + " " + Quoted(e.text);
    case Kind::kAnswer: return "answer " + v;
    case Kind::kPress: return "> press " + c;
    case Kind::kClose: return "> close " + d;
    case Kind::kSysCommand: return "> syscommand " + d + " " + Hex(static_cast<std::uintptr_t>(e.value));
    case Kind::kAction: return "> " + e.text;
  }
  return "?";
}

// Acts on the innermost dialog, which a rule must have made sure exists.
Action OnDialog(Kind kind, int control, std::intptr_t value, void (*act)(ui::CDialog&, int, std::intptr_t)) {
  return [=](Scene& s) {
    if (s.dialog == nullptr) {
      ADD_FAILURE() << "script action with no dialog up";
      return;
    }
    UiEvent e = Ev(kind);
    e.dialog = s.dialog->TemplateId();
    e.control = control;
    e.value = value;
    s.backend->Record(std::move(e));
    act(*s.dialog, control, value);
  };
}

}  // namespace

// ---- Scene and actions ------------------------------------------------------

bool Scene::Up(int templateId) const {
  return dialog != nullptr && shown && box == nullptr && dialog->TemplateId() == templateId;
}

bool Scene::BoxUp(std::string_view fragment) const {
  return box != nullptr && box->text.find(fragment) != std::string::npos;
}

bool Scene::Seen(std::string_view fragment) const {
  return std::any_of(events->begin(), events->end(),
                     [&](const UiEvent& e) { return e.line.find(fragment) != std::string::npos; });
}

std::string Scene::Text(int control) const { return dialog ? dialog->GetDlgItemText(control) : std::string(); }

Action Press(int control) {
  return OnDialog(Kind::kPress, control, 0, [](ui::CDialog& d, int id, std::intptr_t) { d.Command(id); });
}

Action CloseDialog() {
  return OnDialog(Kind::kClose, 0, 0, [](ui::CDialog& d, int, std::intptr_t) { d.Close(); });
}

Action SysCommand(ui::UINT id) {
  return OnDialog(Kind::kSysCommand, 0, id,
                  [](ui::CDialog& d, int, std::intptr_t v) { d.SystemCommand(static_cast<ui::UINT>(v)); });
}

Action Answer(int result) {
  return [result](Scene& s) {
    if (s.box == nullptr) {
      ADD_FAILURE() << "script answers a box, but none is up";
      return;
    }
    s.answer = result;
  };
}

Action Do(std::string label, std::function<void()> what) {
  return [label = std::move(label), what = std::move(what)](Scene& s) {
    UiEvent e = Ev(Kind::kAction);
    e.text = label;
    s.backend->Record(std::move(e));
    what();
  };
}

// ---- ScriptedBackend --------------------------------------------------------

ScriptedBackend::ScriptedBackend(std::chrono::milliseconds limit)
    : deadline_(std::chrono::steady_clock::now() + limit) {}

ScriptedBackend::~ScriptedBackend() = default;

void ScriptedBackend::When(Predicate predicate, Action action) {
  rules_.push_back({std::move(predicate), std::move(action)});
}

void ScriptedBackend::Record(UiEvent event) {
  if (event.line.empty()) event.line = LineFor(event);
  events_.push_back(std::move(event));
}

std::vector<std::string> ScriptedBackend::Lines() const {
  std::vector<std::string> lines;
  for (const auto& e : events_) lines.push_back(e.line);
  return lines;
}

std::string ScriptedBackend::Transcript() const {
  std::string text;
  for (const auto& e : events_) text += e.line + "\n";
  return text;
}

std::vector<UiEvent> ScriptedBackend::Boxes() const {
  std::vector<UiEvent> boxes;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(boxes),
               [](const UiEvent& e) { return e.kind == Kind::kBox; });
  return boxes;
}

bool ScriptedBackend::Seen(std::string_view fragment) const {
  Scene scene;
  scene.events = &events_;
  return scene.Seen(fragment);
}

std::vector<std::size_t> ScriptedBackend::UnfiredRules() const {
  std::vector<std::size_t> unfired;
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    if (!rules_[i].fired) unfired.push_back(i);
  }
  return unfired;
}

ScriptedBackend::Open* ScriptedBackend::Find(const ui::CDialog& dialog) {
  auto it = std::find_if(open_.rbegin(), open_.rend(), [&](const Open& o) { return o.dialog == &dialog; });
  return it == open_.rend() ? nullptr : &*it;
}

void ScriptedBackend::DialogCreated(ui::CDialog& dialog) {
  open_.push_back({&dialog, false, dialog.Controls()});
  Record(Ev(Kind::kCreated, dialog.TemplateId(), 0, 0, dialog.GetWindowText()));
}

void ScriptedBackend::DialogShown(ui::CDialog& dialog) {
  if (Open* o = Find(dialog)) o->shown = true;
  Record(Ev(Kind::kShown, dialog.TemplateId()));
}

void ScriptedBackend::DialogEnded(ui::CDialog& dialog, std::intptr_t result) {
  Record(Ev(Kind::kEnded, dialog.TemplateId(), 0, result));
  auto it = std::find_if(open_.rbegin(), open_.rend(), [&](const Open& o) { return o.dialog == &dialog; });
  if (it != open_.rend()) open_.erase(std::next(it).base());
}

void ScriptedBackend::TitleChanged(ui::CDialog& dialog) {
  Record(Ev(Kind::kTitle, dialog.TemplateId(), 0, 0, dialog.GetWindowText()));
}

void ScriptedBackend::ControlChanged(ui::CDialog& dialog, int id) {
  const ui::ControlState* now = dialog.Control(id);
  if (now == nullptr) return;
  ui::ControlState* before = nullptr;
  if (Open* o = Find(dialog)) {
    auto it = std::find_if(o->controls.begin(), o->controls.end(),
                           [&](const ui::ControlState& c) { return c.tpl.id == id; });
    if (it != o->controls.end()) before = &*it;
  }
  if (before == nullptr || before->text != now->text) {
    Record(Ev(Kind::kText, dialog.TemplateId(), id, 0, now->text));
  }
  if (before == nullptr || before->enabled != now->enabled) {
    Record(Ev(Kind::kEnabled, dialog.TemplateId(), id, now->enabled ? 1 : 0));
  }
  if (before == nullptr || before->position != now->position) {
    Record(Ev(Kind::kProgress, dialog.TemplateId(), id, now->position));
  }
  if (before != nullptr) *before = *now;
}

void ScriptedBackend::DefaultChanged(ui::CDialog& dialog) {
  Record(Ev(Kind::kDefault, dialog.TemplateId(), 0, dialog.GetDefID()));
}

void ScriptedBackend::FocusChanged(ui::CDialog& dialog) {
  Record(Ev(Kind::kFocus, dialog.TemplateId(), 0, dialog.GetFocusID()));
}

void ScriptedBackend::Say(ui::CDialog& dialog, const std::string& text) {
  Record(Ev(Kind::kSay, dialog.TemplateId(), 0, 0, text));
}

void ScriptedBackend::Repaint(ui::CDialog&) {}

void ScriptedBackend::MenuItemAdded(ui::CDialog& dialog, ui::UINT commandId, const std::string& text) {
  Record(Ev(Kind::kMenuItem, dialog.TemplateId(), 0, commandId, text));
}

void ScriptedBackend::IconSet(ui::CDialog& dialog, int iconId) {
  Record(Ev(Kind::kIcon, dialog.TemplateId(), 0, iconId));
}

bool ScriptedBackend::Step(const ui::MessageBoxSpec* box, std::optional<int>* answer) {
  {
    std::lock_guard lock(mutex_);
    woken_ = false;
  }
  if (ui::DispatchPending()) return true;

  Scene scene;
  scene.backend = this;
  scene.box = box;
  scene.events = &events_;
  if (!open_.empty()) {
    scene.dialog = open_.back().dialog;
    scene.shown = open_.back().shown;
  }
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    if (rules_[i].fired || !rules_[i].predicate(scene)) continue;
    rules_[i].fired = true;
    // A copy: the action may run nested loops, and even add rules.
    const Action action = rules_[i].action;
    action(scene);
    if (scene.answer && answer != nullptr) *answer = scene.answer;
    return true;
  }
  if (box != nullptr && autoOk_ && (box->style & 0xF) == ui::MB_OK) {
    *answer = ui::IDOK;
    return true;
  }
  return false;
}

bool ScriptedBackend::PastDeadline() const { return std::chrono::steady_clock::now() >= deadline_; }

void ScriptedBackend::Wait() {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, std::min(deadline_, std::chrono::steady_clock::now() + kPoll), [this] { return woken_; });
}

void ScriptedBackend::Expire() {
  if (expired_) return;
  expired_ = true;
  ADD_FAILURE() << "scenario did not finish in time; transcript so far:\n" << Transcript();
}

void ScriptedBackend::RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) {
  while (!ended()) {
    if (expired_) {
      Record(Ev(Kind::kClose, dialog.TemplateId()));
      dialog.Close();
      ui::DispatchPending();
      if (!ended()) dialog.EndDialog(ui::IDCANCEL);
      break;
    }
    if (!Step(nullptr, nullptr)) Wait();
    // Checked on every turn: a queue that never empties keeps Step busy and
    // Wait uncalled, and the scenario must still end at its deadline.
    if (PastDeadline()) Expire();
  }
}

int ScriptedBackend::MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) {
  UiEvent e = Ev(Kind::kBox, owner ? owner->TemplateId() : 0);
  e.text = box.text;
  e.caption = box.caption;
  e.style = box.style;
  Record(std::move(e));
  std::optional<int> answer;
  while (!answer) {
    if (expired_) {
      answer = (box.style & 0xF) == ui::MB_OK ? ui::IDOK : ui::IDCANCEL;
      break;
    }
    if (!Step(&box, &answer)) Wait();
    if (PastDeadline()) Expire();
  }
  Record(Ev(Kind::kAnswer, 0, 0, *answer));
  return *answer;
}

void ScriptedBackend::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

}  // namespace test
