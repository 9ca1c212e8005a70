#include "ui/text/text_backend.h"

#ifdef _WIN32
#include "ui/text/console_input_windows.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <map>
#include <utility>

#include "os/i18n.h"

namespace text {

namespace {

// What the back end last printed about one dialog, kept in CDialog::view.
// Changes are announced by comparing with it, so a text set again to the
// same value says nothing: a screen reader should only speak what is new.
struct View {
  bool shown = false;
  bool ended = false;
  std::string title;
  int defaultId = 0;
  int focusId = 0;
  std::map<int, std::pair<std::string, bool>> controls;  // id -> shown text, enabled
  std::map<int, int> positions;                          // progress bars: id -> percent
};

View* ViewOf(const ui::CDialog& dialog) { return static_cast<View*>(dialog.view.get()); }

View& EnsureView(ui::CDialog& dialog) {
  if (!dialog.view) dialog.view = std::make_shared<View>();
  return *ViewOf(dialog);
}

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

// What `wait` looks for a text in: the line as shown and, where it shows
// translations, the same line in English, so that a script works in every
// language.  Lines never hold a raw line break (it is escaped), and neither
// does a text waited for, so no match can span the two.
std::string MatchText(std::string_view line) {
  std::string source = os::i18n::ToSource(line);
  if (source == line) return Lower(line);
  return Lower(line) + '\n' + Lower(source);
}

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// A button label as a user would type it: no mnemonic markers, no trailing
// "..." (which only says that another window follows), any case.
std::string LabelKey(std::string_view label) {
  std::string key;
  for (char c : label) {
    if (c != '&') key += c;
  }
  key = Trim(key);
  if (key.size() >= 3 && key.compare(key.size() - 3, 3, "...") == 0) key = Trim(key.substr(0, key.size() - 3));
  return Lower(key);
}

bool IsButton(const ui::ControlTemplate& tpl) {
  return tpl.kind == ui::ControlKind::kPushButton || tpl.kind == ui::ControlKind::kDefPushButton;
}

std::string IdText(int id) { return id == -1 ? "-" : std::to_string(id); }

bool HasCancel(const ui::MessageBoxSpec& spec) { return (spec.style & 0x000F) == ui::MB_OKCANCEL; }

const char* AnswerName(int answer) { return answer == ui::IDCANCEL ? "Cancel" : "OK"; }

std::optional<int> ParseId(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::size_t start = text[0] == '-' ? 1 : 0;
  if (start == text.size()) return std::nullopt;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  return std::stoi(std::string(text));
}

// Splits "verb rest of line" into its verb (lower case) and the rest.
std::pair<std::string, std::string> SplitCommand(const std::string& line) {
  const auto space = line.find_first_of(" \t");
  if (space == std::string::npos) return {Lower(line), {}};
  return {Lower(line.substr(0, space)), Trim(line.substr(space + 1))};
}

// The commands are typed in English in every language; what they do is
// said in the user's.
struct HelpLine {
  const char* command;
  const char* what;
};
constexpr HelpLine kHelp[] = {
    {"press <label or id>", N_("press a button of the open dialog (or OK/Cancel of a message box)")},
    {"close", N_("close the open dialog, as Escape does; a message box is cancelled")},
    {"answer ok|cancel", N_("answer the message box that is up")},
    {"about", N_("open the About box from the main window's menu")},
    {"show", N_("say again what the open dialog or message box shows")},
    {"wait <text>", N_("hold the following commands until a line containing <text> appears")},
    {"help", N_("this list")},
};
constexpr std::size_t kHelpColumn = 21;

}  // namespace

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          // Octal rather than \x: an octal escape has a fixed length, so the
          // character after it can never be read as part of it.
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\%03o", static_cast<unsigned>(static_cast<unsigned char>(c)));
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

std::string ShownText(std::string_view text, bool noPrefix) {
  if (noPrefix) return std::string(text);
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        shown += '&';
        ++i;
      }
      continue;
    }
    shown += text[i];
  }
  return shown;
}

// ---- Construction and the reader thread -----------------------------------

TextBackend::TextBackend(std::istream& in, std::ostream& out) : in_(in), out_(out) {
#ifdef _WIN32
  // A blocked read of the standard input cannot be woken on Windows: the
  // reader looks for input in short, bounded waits and checks for shutdown
  // between them.
  if (&in == &std::cin) {
    reader_ = std::thread([this] {
      // Shutting down is not the end of the input: no "end of input" then.
      if (ReadStandardInput([this](std::string line) { Queue(std::move(line)); }, stopReading_)) QueueEnd();
    });
    return;
  }
#else
  if (&in == &std::cin && ::pipe2(stopPipe_, O_CLOEXEC) == 0) {
    reader_ = std::thread([this] { ReadDescriptor(STDIN_FILENO); });
    return;
  }
  stopPipe_[0] = stopPipe_[1] = -1;
#endif
  reader_ = std::thread([this] { ReadStream(); });
}

TextBackend::~TextBackend() {
  stopReading_ = true;
#ifndef _WIN32
  if (stopPipe_[1] >= 0) {
    const char stop = 1;
    while (::write(stopPipe_[1], &stop, 1) < 0 && errno == EINTR) {
    }
  }
#endif
  if (reader_.joinable()) reader_.join();
#ifndef _WIN32
  for (int& fd : stopPipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
#endif
}

void TextBackend::Queue(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // scripts saved with CR LF
  {
    os::MutexLock lock(mutex_);
    lines_.push_back(std::move(line));
  }
  cv_.notify_all();
}

void TextBackend::QueueEnd() {
  {
    os::MutexLock lock(mutex_);
    inputEnded_ = true;
  }
  cv_.notify_all();
}

void TextBackend::ReadStream() {
  std::string line;
  while (std::getline(in_, line)) Queue(line);
  QueueEnd();
}

#ifndef _WIN32
void TextBackend::ReadDescriptor(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // Shutting down: the input has not ended, so no "end of input" either.
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLNVAL) != 0) break;
    if (fds[0].revents == 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (got == 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      Queue(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) Queue(std::move(pending));
  QueueEnd();
}
#endif

void TextBackend::Wake() {
  {
    os::MutexLock lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

// ---- Output ----------------------------------------------------------------

void TextBackend::Print(const std::string& line) {
  out_ << line << '\n';
  out_.flush();
  const std::string lower = MatchText(line);
  if (waitFor_ && lower.find(*waitFor_) != std::string::npos) {
    // Met: a following wait looks only at what comes after this line.
    waitFor_.reset();
    sinceCommand_.clear();
    return;
  }
  constexpr std::size_t kRemembered = 1000;
  if (sinceCommand_.size() == kRemembered) sinceCommand_.pop_front();
  sinceCommand_.push_back(lower);
}

void TextBackend::Error(const std::string& what) { Print("error: " + what); }

std::vector<std::string> TextBackend::DescribeDialog(const ui::CDialog& dialog) const {
  std::vector<std::string> lines;
  lines.push_back("dialog " + std::to_string(dialog.TemplateId()) + " " + Quote(dialog.GetWindowText()));
  for (const ui::ControlState& control : dialog.Controls()) {
    const ui::ControlTemplate& tpl = control.tpl;
    if (tpl.kind == ui::ControlKind::kIcon) continue;  // says nothing in words
    const bool progress = tpl.kind == ui::ControlKind::kProgress;
    std::string line = IsButton(tpl) ? "  button " : progress ? "  progress " : "  text ";
    line += IdText(tpl.id) + " " + Quote(ShownText(control.text, tpl.noPrefix));
    if (progress) line += " " + std::to_string(control.position) + "%";
    if (!control.enabled) line += " disabled";
    if (IsButton(tpl) && tpl.id != -1 && tpl.id == dialog.GetDefID()) line += " default";
    lines.push_back(std::move(line));
  }
  // The window menu is listed too: it is how a user learns that "about" works.
  for (const auto& [commandId, itemText] : dialog.SystemMenuItems()) {
    lines.push_back("  menu " + std::to_string(commandId) + " " + Quote(ShownText(itemText)));
  }
  if (dialog.GetFocusID() != 0) lines.push_back("  focus " + IdText(dialog.GetFocusID()));
  return lines;
}

std::string TextBackend::DescribeBox(const ui::MessageBoxSpec& spec) const {
  const bool cancel = HasCancel(spec);
  const bool defaultCancel = cancel && (spec.style & ui::MB_DEFBUTTON2) != 0;
  const char* icon = "none";
  switch (spec.style & 0x00F0) {
    case ui::MB_ICONERROR: icon = "error"; break;
    case ui::MB_ICONWARNING: icon = "warning"; break;
    case ui::MB_ICONINFORMATION: icon = "information"; break;
    default: break;
  }
  const std::string caption = spec.caption.empty() ? ui::ApplicationName() : spec.caption;
  return "box " + Quote(caption) + " " + Quote(spec.text) + " buttons " + (cancel ? "OK,Cancel" : "OK") +
         " default " + (defaultCancel ? "Cancel" : "OK") + " icon " + icon;
}

std::vector<std::string> TextBackend::DescribeInnermost() const {
  if (modals_.empty()) return {};
  const Modal& top = modals_.back();
  if (top.box != nullptr) return {DescribeBox(top.box->spec)};
  return DescribeDialog(*top.dialog);
}

bool TextBackend::Announces(const ui::CDialog& dialog) const {
  const View* view = ViewOf(dialog);
  return view != nullptr && view->shown && !view->ended;
}

// ---- Dialog events ---------------------------------------------------------

void TextBackend::DialogCreated(ui::CDialog& dialog) { dialog.view = std::make_shared<View>(); }

void TextBackend::DialogShown(ui::CDialog& dialog) {
  View& view = EnsureView(dialog);
  view.shown = true;
  view.title = dialog.GetWindowText();
  view.defaultId = dialog.GetDefID();
  view.focusId = dialog.GetFocusID();
  view.controls.clear();
  for (const ui::ControlState& control : dialog.Controls()) {
    if (control.tpl.id != -1) {
      view.controls[control.tpl.id] = {ShownText(control.text, control.tpl.noPrefix), control.enabled};
      view.positions[control.tpl.id] = control.position;
    }
  }
  for (const std::string& line : DescribeDialog(dialog)) Print(line);
}

void TextBackend::DialogEnded(ui::CDialog& dialog, std::intptr_t result) {
  View& view = EnsureView(dialog);
  if (view.ended) return;
  view.ended = true;
  Print("end " + std::to_string(dialog.TemplateId()) + " " + Quote(dialog.GetWindowText()) + " result " +
        std::to_string(result));
}

void TextBackend::TitleChanged(ui::CDialog& dialog) {
  if (!Announces(dialog)) return;
  View& view = *ViewOf(dialog);
  if (view.title == dialog.GetWindowText()) return;
  view.title = dialog.GetWindowText();
  Print("title " + Quote(view.title));
}

void TextBackend::ControlChanged(ui::CDialog& dialog, int id) {
  if (!Announces(dialog)) return;
  const ui::ControlState* control = dialog.Control(id);
  if (control == nullptr || control->tpl.kind == ui::ControlKind::kIcon) return;
  auto& [shownText, enabled] = ViewOf(dialog)->controls[id];
  const std::string now = ShownText(control->text, control->tpl.noPrefix);
  if (now != shownText) {
    shownText = now;
    Print("text " + IdText(id) + " " + Quote(now));
  }
  if (control->enabled != enabled) {
    enabled = control->enabled;
    Print("enabled " + IdText(id) + (enabled ? " yes" : " no"));
  }
  int& position = ViewOf(dialog)->positions[id];
  if (control->tpl.kind == ui::ControlKind::kProgress && control->position != position) {
    position = control->position;
    Print("progress " + IdText(id) + " " + std::to_string(position) + "%");
  }
}

void TextBackend::DefaultChanged(ui::CDialog& dialog) {
  if (!Announces(dialog)) return;
  View& view = *ViewOf(dialog);
  if (view.defaultId == dialog.GetDefID()) return;
  view.defaultId = dialog.GetDefID();
  Print("default " + IdText(view.defaultId));
}

void TextBackend::FocusChanged(ui::CDialog& dialog) {
  if (!Announces(dialog)) return;
  View& view = *ViewOf(dialog);
  if (view.focusId == dialog.GetFocusID()) return;
  view.focusId = dialog.GetFocusID();
  Print("focus " + IdText(view.focusId));
}

void TextBackend::Repaint(ui::CDialog&) {}

void TextBackend::MenuItemAdded(ui::CDialog& dialog, ui::UINT commandId, const std::string& itemText) {
  if (!Announces(dialog)) return;
  Print("menu " + std::to_string(commandId) + " " + Quote(ShownText(itemText)));
}

void TextBackend::IconSet(ui::CDialog&, int) {}

void TextBackend::Say(ui::CDialog& dialog, const std::string& text) {
  if (Announces(dialog)) Print("say " + Quote(text));
}

// ---- Modal loops -----------------------------------------------------------

void TextBackend::RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) {
  Modal self;
  self.dialog = &dialog;
  Loop(self, ended);
}

int TextBackend::MessageBox(ui::CDialog*, const ui::MessageBoxSpec& spec) {
  Box box{spec, std::nullopt};
  Modal self;
  self.box = &box;
  Print(DescribeBox(spec));
  Loop(self, [&box] { return box.answer.has_value(); });
  return *box.answer;
}

void TextBackend::Loop(const Modal& window, const std::function<bool()>& done) {
  Modal self = window;
  self.serial = ++nextSerial_;
  modals_.push_back(self);
  // Pops on every way out, exceptions from a handler included, so that an
  // outer loop never sees a window that is gone.
  struct Pop {
    std::vector<Modal>& modals;
    ~Pop() { modals.pop_back(); }
  } pop{modals_};

  for (;;) {
    {
      os::MutexLock lock(mutex_);
      woken_ = false;  // whatever woke us is dispatched just below
    }
    ui::DispatchPending();
    if (done()) return;
    if (TakeCommand(self)) continue;
    if (ui::HasPending()) continue;
    WaitForWork();
  }
}

// No time-out: everything that gives the loop work sets its condition under
// the lock before notifying (a line, the end of input, a Wake for a post or
// a send), and the loop clears `woken_` before it dispatches, so nothing can
// slip in unseen.  An idle interface then costs no wake-ups at all.
void TextBackend::WaitForWork() {
  os::UniqueMutexLock lock(mutex_);
  const bool holding = waitFor_.has_value();
  cv_.wait(lock.Waitable(), [&]() REQUIRES(mutex_) {
    return woken_ || (!holding && (!lines_.empty() || (inputEnded_ && modals_.back().serial != endClosedSerial_)));
  });
}

bool TextBackend::TakeCommand(const Modal& self) {
  if (waitFor_) return false;
  const Modal& top = modals_.back();
  if (top.dialog != self.dialog || top.box != self.box) return false;

  std::optional<std::string> line;
  bool endNow = false;
  bool closeNow = false;
  {
    os::MutexLock lock(mutex_);
    if (!lines_.empty()) {
      line = std::move(lines_.front());
      lines_.pop_front();
    } else if (inputEnded_ && top.serial != endClosedSerial_) {
      endNow = endClosedSerial_ == 0;  // said once
      endClosedSerial_ = top.serial;
      closeNow = true;
    }
  }
  if (line) {
    Execute(*line);
    return true;
  }
  if (closeNow) {
    // Without further input nobody could ever answer what is up: each window
    // is closed once as it comes to the top, so the program comes to its end
    // instead of waiting for ever.  A window that refuses to close (its Cancel
    // is disabled while an update completes) is left to end by itself.
    if (endNow) Print("end of input");
    CloseInnermost();
    return true;
  }
  return false;
}

// ---- Commands --------------------------------------------------------------

void TextBackend::Execute(const std::string& rawLine) {
  const std::string line = Trim(rawLine);
  if (line.empty() || line[0] == '#') return;  // blank lines and script comments
  const auto [verb, argument] = SplitCommand(line);
  Box* box = modals_.back().box;
  if (verb != "wait") sinceCommand_.clear();  // what follows is this command's doing

  if (verb == "press") {
    if (argument.empty()) return Error(_("press what? give a button's label or id"));
    Press(argument);
  } else if (verb == "close") {
    CloseInnermost();
  } else if (verb == "answer") {
    if (box == nullptr) return Error(_("no message box is up"));
    const std::string key = Lower(argument);
    if (key == "ok") return Answer(*box, ui::IDOK);
    if (key == "cancel") {
      if (!HasCancel(box->spec)) return Error(_("this message box has only OK"));
      return Answer(*box, ui::IDCANCEL);
    }
    Error(_("answer ok or answer cancel"));
  } else if (verb == "about") {
    About();
  } else if (verb == "show") {
    for (const std::string& shown : DescribeInnermost()) Print(shown);
  } else if (verb == "wait") {
    if (argument.empty()) return Error(_("wait for what? give a text to wait for"));
    StartWait(argument);
  } else if (verb == "help") {
    Print(_("commands:"));
    for (const HelpLine& line : kHelp) {
      std::string command = line.command;
      command.resize(std::max(command.size() + 1, kHelpColumn), ' ');
      Print("  " + command + _(line.what));
    }
  } else {
    Error(os::i18n::Format(N_("unknown command %1$s; type help for the list"), {Quote(verb)}));
  }
}

void TextBackend::Press(const std::string& what) {
  const Modal& top = modals_.back();
  const std::string key = LabelKey(what);
  if (top.box != nullptr) {
    if (key == "ok") return Answer(*top.box, ui::IDOK);
    if (key == "cancel" && HasCancel(top.box->spec)) return Answer(*top.box, ui::IDCANCEL);
    return Error(os::i18n::Format(N_("no button %1$s in this message box"), {Quote(what)}));
  }

  ui::CDialog& dialog = *top.dialog;
  const ui::ControlState* found = nullptr;
  for (const ui::ControlState& control : dialog.Controls()) {
    // The label as shown, or its English source.
    if (IsButton(control.tpl) &&
        (LabelKey(control.text) == key || LabelKey(os::i18n::ToSource(control.text)) == key)) {
      found = &control;
      break;
    }
  }
  if (found == nullptr) {
    if (const auto id = ParseId(what)) {
      const ui::ControlState* control = dialog.Control(*id);
      if (control != nullptr && IsButton(control->tpl)) found = control;
    }
  }
  if (found == nullptr) return Error(os::i18n::Format(N_("no button %1$s in this dialog"), {Quote(what)}));
  const std::string label = ShownText(found->text, found->tpl.noPrefix);
  if (!found->enabled) return Error(os::i18n::Format(N_("button %1$s is disabled"), {Quote(label)}));
  // The control may be gone once the command has run: take its id first.
  const int id = found->tpl.id;
  dialog.Command(id);
}

void TextBackend::Answer(Box& box, int answer) {
  box.answer = answer;
  Print(std::string("answered ") + AnswerName(answer));
}

void TextBackend::CloseInnermost() {
  const Modal& top = modals_.back();
  if (top.box != nullptr) return Answer(*top.box, HasCancel(top.box->spec) ? ui::IDCANCEL : ui::IDOK);
  // The dialog refuses to close while its Cancel button is disabled; say so,
  // or the user would be left wondering whether the command arrived.
  const ui::ControlState* cancel = top.dialog->Control(ui::IDCANCEL);
  if (cancel != nullptr && !cancel->enabled) return Error(_("this dialog cannot be closed now"));
  top.dialog->Close();
}

void TextBackend::About() {
  if (modals_.back().box != nullptr) return Error(_("a message box is up; answer it first"));
  for (const Modal& modal : modals_) {
    if (modal.dialog == nullptr || modal.dialog->SystemMenuItems().empty()) continue;
    modal.dialog->SystemCommand(modal.dialog->SystemMenuItems().front().first);
    return;
  }
  Error(_("no window has a menu with an About item"));
}

void TextBackend::StartWait(const std::string& waitText) {
  const std::string key = Lower(waitText);
  // Already on screen, or already printed since the last command, counts:
  // the script cannot know how fast we were.
  for (const std::string& shown : DescribeInnermost()) {
    if (MatchText(shown).find(key) != std::string::npos) return;
  }
  for (auto printed = sinceCommand_.begin(); printed != sinceCommand_.end(); ++printed) {
    if (printed->find(key) != std::string::npos) {
      sinceCommand_.erase(sinceCommand_.begin(), printed + 1);  // a following wait looks past it
      return;
    }
  }
  waitFor_ = key;
}

}  // namespace text
