// Dialog templates, strings and the version block, read from the program's
// compiled-in resources.
//
// The templates are small RC-like text files rather than binary DLGTEMPLATE
// records: they are written and reviewed by hand, and the build embeds them
// unchanged.  Each line holds one statement:
//
//   DIALOG <id> <cx> <cy>
//   CAPTION "<title>"
//   FONT <points> "<face>"
//   STYLE [SYSMENU] [MINIMIZEBOX] [APPWINDOW]
//   <KIND> <id> "<text>" <x> <y> <cx> <cy> [TABSTOP] [NOPREFIX]
//
// with KIND one of PUSHBUTTON, DEFPUSHBUTTON, LTEXT, CTEXT, RTEXT, ICON, PROGRESS
// (a progress bar, 0 to 100; its text is its accessible name).
// '#' outside a quoted text starts a comment; quoted texts know the escapes
// \" and \\ only.  The bytes come straight out of the executable, so the
// parser trusts nothing: every malformed line is refused with its number.

#include <charconv>
#include <cstddef>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/i18n.h"
#include "ui/ui.h"

namespace ui {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits one line (without its line break) into words and quoted texts.
// Returns false with `error` set when the line cannot be split.
bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& error) {
  std::size_t at = 0;
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (at < line.size()) {
    const char c = line[at];
    if (isSpace(c)) {
      ++at;
      continue;
    }
    if (c == '#') break;
    Token token;
    if (c == '"') {
      token.quoted = true;
      ++at;
      bool closed = false;
      while (at < line.size()) {
        const char d = line[at++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\') {
          if (at == line.size() || (line[at] != '"' && line[at] != '\\')) {
            error = "unknown escape in quoted text (only \\\" and \\\\)";
            return false;
          }
          token.text += line[at++];
          continue;
        }
        if (d == '\0') {
          error = "NUL byte in quoted text";
          return false;
        }
        token.text += d;
      }
      if (!closed) {
        error = "unterminated quoted text";
        return false;
      }
      // `"a"b` is almost certainly a missing escape, not two tokens.
      if (at < line.size() && !isSpace(line[at]) && line[at] != '#') {
        error = "quoted text must be followed by a blank";
        return false;
      }
    } else {
      while (at < line.size() && !isSpace(line[at]) && line[at] != '#') {
        if (line[at] == '"' || static_cast<unsigned char>(line[at]) < 0x20) {
          error = "unexpected character in word";
          return false;
        }
        token.text += line[at++];
      }
    }
    tokens.push_back(std::move(token));
  }
  return true;
}

// Dialog-unit fields are 16-bit signed in the Windows record; nothing real
// comes near that, so the same bound serves as a sanity check here.
constexpr int kMaxUnits = 32767;

bool ParseInt(const Token& token, int low, int high, int& value) {
  if (token.quoted || token.text.empty()) return false;
  const char* first = token.text.data();
  const char* last = first + token.text.size();
  int parsed = 0;
  const auto [end, ec] = std::from_chars(first, last, parsed);
  if (ec != std::errc() || end != last || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

struct ControlKindWord {
  std::string_view word;
  ControlKind kind;
  Align align;
};

constexpr ControlKindWord kControlKinds[] = {
    {"PUSHBUTTON", ControlKind::kPushButton, Align::kLeft},
    {"DEFPUSHBUTTON", ControlKind::kDefPushButton, Align::kLeft},
    {"LTEXT", ControlKind::kText, Align::kLeft},
    {"CTEXT", ControlKind::kText, Align::kCenter},
    {"RTEXT", ControlKind::kText, Align::kRight},
    {"ICON", ControlKind::kIcon, Align::kLeft},
    {"PROGRESS", ControlKind::kProgress, Align::kLeft},
};

class TemplateParser {
 public:
  std::optional<DialogTemplate> Parse(std::string_view text, std::string* error) {
    int lineNumber = 0;
    while (!text.empty()) {
      ++lineNumber;
      const std::size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!ParseLine(line)) return Fail(error, lineNumber);
    }
    if (!haveDialog_) {
      error_ = "no DIALOG statement";
      return Fail(error, 0);
    }
    return std::move(dialog_);
  }

 private:
  std::nullopt_t Fail(std::string* error, int lineNumber) {
    if (error) *error = lineNumber > 0 ? "line " + std::to_string(lineNumber) + ": " + error_ : error_;
    return std::nullopt;
  }

  bool ParseLine(std::string_view line) {
    std::vector<Token> tokens;
    if (!Tokenize(line, tokens, error_)) return false;
    if (tokens.empty()) return true;
    if (tokens[0].quoted) return Error("a statement starts with a keyword");
    const std::string& keyword = tokens[0].text;

    if (keyword == "DIALOG") return ParseDialog(tokens);
    if (!haveDialog_) return Error("DIALOG must come first");
    if (keyword == "CAPTION") return ParseCaption(tokens);
    if (keyword == "FONT") return ParseFont(tokens);
    if (keyword == "STYLE") return ParseStyle(tokens);
    for (const ControlKindWord& kind : kControlKinds) {
      if (keyword == kind.word) return ParseControl(tokens, kind);
    }
    return Error("unknown statement '" + keyword + "'");
  }

  bool Error(std::string message) {
    error_ = std::move(message);
    return false;
  }

  // CAPTION, FONT and STYLE describe the dialog as a whole: a second one
  // would silently override the first, so it is refused.
  bool Once(const std::string& keyword) {
    if (!seen_.insert(keyword).second) return Error(keyword + " given twice");
    return true;
  }

  bool ParseDialog(const std::vector<Token>& t) {
    if (haveDialog_) return Error("DIALOG given twice");
    if (t.size() != 4) return Error("expected DIALOG <id> <cx> <cy>");
    if (!ParseInt(t[1], 1, 65535, dialog_.id)) return Error("dialog id must be 1 to 65535");
    if (!ParseInt(t[2], 1, kMaxUnits, dialog_.cx) || !ParseInt(t[3], 1, kMaxUnits, dialog_.cy)) {
      return Error("dialog size must be positive dialog units");
    }
    haveDialog_ = true;
    return true;
  }

  bool ParseCaption(const std::vector<Token>& t) {
    if (!Once("CAPTION")) return false;
    if (t.size() != 2 || !t[1].quoted) return Error("expected CAPTION \"<title>\"");
    dialog_.title = t[1].text;
    return true;
  }

  bool ParseFont(const std::vector<Token>& t) {
    if (!Once("FONT")) return false;
    if (t.size() != 3 || !t[2].quoted) return Error("expected FONT <points> \"<face>\"");
    if (!ParseInt(t[1], 1, 72, dialog_.pointSize)) return Error("font size must be 1 to 72 points");
    if (t[2].text.empty()) return Error("font face is empty");
    dialog_.font = t[2].text;
    return true;
  }

  // A STYLE line lists every style the dialog has; what it leaves out is off.
  bool ParseStyle(const std::vector<Token>& t) {
    if (!Once("STYLE")) return false;
    dialog_.systemMenu = dialog_.minimizeBox = dialog_.appWindow = false;
    for (std::size_t i = 1; i < t.size(); ++i) {
      const std::string& word = t[i].text;
      if (t[i].quoted) return Error("STYLE takes words, not quoted texts");
      if (word == "SYSMENU") {
        dialog_.systemMenu = true;
      } else if (word == "MINIMIZEBOX") {
        dialog_.minimizeBox = true;
      } else if (word == "APPWINDOW") {
        dialog_.appWindow = true;
      } else {
        return Error("unknown style '" + word + "'");
      }
    }
    return true;
  }

  bool ParseControl(const std::vector<Token>& t, const ControlKindWord& kind) {
    if (t.size() < 7 || !t[2].quoted) {
      return Error("expected " + std::string(kind.word) + " <id> \"<text>\" <x> <y> <cx> <cy> [TABSTOP] [NOPREFIX]");
    }
    ControlTemplate control;
    control.kind = kind.kind;
    control.align = kind.align;
    control.text = t[2].text;
    if (!ParseInt(t[1], -1, 65535, control.id)) return Error("control id must be -1 (none) or 0 to 65535");
    if (!ParseInt(t[3], 0, kMaxUnits, control.x) || !ParseInt(t[4], 0, kMaxUnits, control.y) ||
        !ParseInt(t[5], 0, kMaxUnits, control.cx) || !ParseInt(t[6], 0, kMaxUnits, control.cy)) {
      return Error("control position and size must be 0 to 32767 dialog units");
    }
    for (std::size_t i = 7; i < t.size(); ++i) {
      if (!t[i].quoted && t[i].text == "TABSTOP") {
        control.tabStop = true;
      } else if (!t[i].quoted && t[i].text == "NOPREFIX") {
        control.noPrefix = true;
      } else {
        return Error("unknown control flag '" + t[i].text + "'");
      }
    }
    // Controls are looked up by id: two with the same one would make the
    // second unreachable.
    if (control.id != -1 && !controlIds_.insert(control.id).second) {
      return Error("control id " + std::to_string(control.id) + " given twice");
    }
    if (control.kind == ControlKind::kIcon) {
      int icon = 0;
      if (!ParseInt(Token{control.text, false}, 1, 65535, icon)) return Error("an ICON's text is its resource number");
    }
    dialog_.controls.push_back(std::move(control));
    return true;
  }

  DialogTemplate dialog_;
  bool haveDialog_ = false;
  std::set<std::string> seen_;
  std::set<int> controlIds_;
  std::string error_;
};

std::string_view AsText(std::span<const unsigned char> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string ResourceName(int id) { return "#" + std::to_string(id); }

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(std::string_view text, std::string* error) {
  return TemplateParser().Parse(text, error);
}

std::optional<DialogTemplate> LoadDialogTemplate(const os::ResourceModule& module, int id) {
  const auto bytes = module.Find(ResourceName(id), "DIALOG");
  if (!bytes) return std::nullopt;
  auto dialog = ParseDialogTemplate(AsText(*bytes), nullptr);
  // A template filed under the wrong number is a build mistake; showing it
  // as the asked-for dialog would hide it.
  if (!dialog || dialog->id != id) return std::nullopt;
  // The templates are written in English; every back end shows them in the
  // user's language (tools/po_extract.py puts their texts in the catalogue).
  dialog->title = std::string(os::i18n::Translate(dialog->title.c_str()));
  for (ControlTemplate& control : dialog->controls) {
    if (control.kind != ControlKind::kIcon) control.text = std::string(os::i18n::Translate(control.text.c_str()));
  }
  return dialog;
}

std::string LoadString(const os::ResourceModule& module, int id) {
  const auto bytes = module.Find(ResourceName(id), "STRING");
  if (!bytes) return {};
  std::string_view text = AsText(*bytes);
  // Editors like to end files with a line break; it is not part of the text.
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  return os::i18n::Translate(std::string(text).c_str());
}

// The version block is "key=value" lines, the key being the full query path
// (such as "\StringFileInfo\040904e4\ProductVersion").  Lines starting with
// '#' are comments.
std::optional<std::string> VerQueryValue(const os::ResourceModule& module, std::string_view path) {
  const auto bytes = module.Find("#1", "VERSION");
  if (!bytes || path.empty()) return std::nullopt;
  std::string_view text = AsText(*bytes);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with('#')) continue;
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos && line.substr(0, equals) == path) {
      return std::string(line.substr(equals + 1));
    }
  }
  return std::nullopt;
}

}  // namespace ui
