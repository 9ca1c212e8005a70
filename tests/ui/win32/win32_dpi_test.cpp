// The Win32 dialogs at the display's scale: every dialog of the program, at
// whatever DPI the Wine prefix says (tests/windows/dpi_run.sh runs them at
// 96 and 144), with every control inside the dialog and every text inside
// its control; and a dialog moved to a monitor with another DPI
// (WM_DPICHANGED) laid out again for it.  Skipped where no window can be
// made (no display).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/win32/win32_backend.h"

namespace {

// One window of a dialog as Windows shows it; defined after <windows.h>.
struct Measured {
  std::string className;
  std::string text;
  int id = 0;
  int x = 0, y = 0, width = 0, height = 0;  // in the dialog's client area
  int fontHeight = 0;                       // the font's cell height, pixels
  std::string cutOff;                       // why the text does not fit, or empty
};

struct Windows {
  static unsigned Dpi(void* window);
  static Measured Client(void* dialog);               // the dialog's client area
  static std::vector<Measured> Controls(void* dialog);  // its child windows, in z-order
  // As Windows sends it when the window moves from a monitor with `from`
  // to one with `to` DPI: the window's rectangle scaled.
  static void MoveToDpi(void* dialog, unsigned from, unsigned to);
};

constexpr ui::UINT kCheck = os::WM_APP + 7;

// A dialog of the program, from its template, that runs `check` inside its
// modal loop once it is up, then ends.
class Probe : public ui::CDialog {
 public:
  explicit Probe(int id) : CDialog(id) {}
  std::function<void(Probe&)> check;

 protected:
  ui::BOOL OnInitDialog() override {
    PostMessage(kCheck, 0, 0);
    return 1;
  }
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override {
    if (message != kCheck) return CDialog::OnAppMessage(message, wParam, lParam);
    check(*this);
    if (!HasEnded()) EndDialog(0);
    return 0;
  }
};

class Win32DpiTest : public testing::Test {
 protected:
  void SetUp() override {
    backend_ = win32ui::MakeWin32Backend();
    if (!backend_) GTEST_SKIP() << "no window can be made here (no display)";
    ui::SetBackend(backend_.get());
  }
  void TearDown() override {
    if (backend_) ui::SetBackend(nullptr);
  }
  std::unique_ptr<ui::Backend> backend_;
};

void ExpectNothingCutOff(void* dialog, const std::string& what) {
  const Measured client = Windows::Client(dialog);
  for (const Measured& control : Windows::Controls(dialog)) {
    const std::string name = what + ": " + control.className + " " + std::to_string(control.id) + " \"" +
                             control.text + "\"";
    EXPECT_GE(control.x, 0) << name;
    EXPECT_GE(control.y, 0) << name;
    EXPECT_LE(control.x + control.width, client.width) << name << " leaves the dialog";
    EXPECT_LE(control.y + control.height, client.height) << name << " leaves the dialog";
    EXPECT_EQ(control.cutOff, "") << name;
  }
}

// The texts each dialog shows, the longest of each control among them: a
// text that fits at one scale must fit at every other.
struct DialogCase {
  int id;
  std::vector<std::pair<int, std::vector<std::string>>> texts;  // control id, texts it shows
};

const std::vector<DialogCase>& Dialogs() {
  static const std::vector<DialogCase> dialogs{
      {100, {{1001, {"1.0.2.2"}}}},
      {102,
       {{1013,
         {"Orvanta, Vantor 3 Braille display, current Firmware Version 5.60. Ready to update firmware.",
          "Orvanta, Vantor 3 Braille display, updated to Firmware Version 5.71. Waiting for the Braille "
          "display to restart with its new firmware. This takes at most 2 minutes.",
          "Orvanta, Vantor 3 Braille display, current Firmware Version 5.60. The firmware update failed. "
          "Unplug the Braille display and plug it in again to try again.",
          "Orvanta, Vantor 3 Braille display, current Firmware Version 5.71. The update firmware is an older "
          "version than the current firmware."}}}},
      {129, {{1011, {"DO NOT unplug Braille display during update!", "Downloading firmware..."}}}},
      {131, {{1012, {"Please plug a Vantor 3 Braille display into a USB port."}}}},
  };
  return dialogs;
}

// With DOTVANE_DPI_REPORT set, each dialog's geometry is appended there
// for dpi_run.sh to compare between scales: "<dialog> <class> <id> <width>
// <height> <font height>", the dialog itself as class "dialog".
void Report(int dialogId, void* window) {
  const char* path = std::getenv("DOTVANE_DPI_REPORT");
  if (path == nullptr || *path == '\0') return;
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) return;
  const Measured client = Windows::Client(window);
  std::fprintf(file, "%d dialog 0 %d %d %d\n", dialogId, client.width, client.height, client.fontHeight);
  int index = 0;
  for (const Measured& control : Windows::Controls(window)) {
    // Controls without an id are told apart by their place.
    std::fprintf(file, "%d %s %d.%d %d %d %d\n", dialogId, control.className.c_str(), control.id, index++,
                 control.width, control.height, control.fontHeight);
  }
  std::fclose(file);
}

TEST_F(Win32DpiTest, EveryDialogHoldsItsTextsAtThisScale) {
  for (const DialogCase& dialogCase : Dialogs()) {
    Probe probe(dialogCase.id);
    bool checked = false;
    probe.check = [&](Probe& d) {
      void* window = win32ui::Win32Backend::WindowOf(d);
      ASSERT_NE(window, nullptr);
      const std::string at = "dialog " + std::to_string(dialogCase.id) + " at " +
                             std::to_string(Windows::Dpi(window)) + " dpi";
      ExpectNothingCutOff(window, at);
      Report(dialogCase.id, window);
      for (const auto& [id, texts] : dialogCase.texts) {
        for (const std::string& text : texts) {
          d.SetDlgItemText(id, text);
          ExpectNothingCutOff(window, at);
        }
      }
      checked = true;
    };
    probe.DoModal();
    EXPECT_TRUE(checked) << dialogCase.id;
  }
}

// Moved to a monitor at 1.5 times the DPI, the download dialog, its
// buttons and its font grow 1.5 times and its texts still fit; moved back,
// it is laid out to the pixel as it was made (the same dialog units as
// Windows' own MapDialogRect).
TEST_F(Win32DpiTest, ADialogMovedToAnotherDpiIsLaidOutForIt) {
  Probe probe(129);
  bool checked = false;
  probe.check = [&](Probe& d) {
    void* window = win32ui::Win32Backend::WindowOf(d);
    ASSERT_NE(window, nullptr);
    const unsigned dpi = Windows::Dpi(window);
    const Measured client = Windows::Client(window);
    const std::vector<Measured> before = Windows::Controls(window);

    Windows::MoveToDpi(window, dpi, dpi * 3 / 2);
    const Measured grownClient = Windows::Client(window);
    // The suggested rectangle is the whole window scaled; Windows scales
    // the frame with it, a message sent here does not.
    EXPECT_GE(grownClient.width, client.width * 1.45);
    EXPECT_GE(grownClient.height, client.height * 1.45);
    const std::vector<Measured> grown = Windows::Controls(window);
    ASSERT_EQ(grown.size(), before.size());
    for (std::size_t i = 0; i < grown.size(); ++i) {
      const std::string name = grown[i].className + " " + std::to_string(grown[i].id);
      EXPECT_NEAR(grown[i].width, before[i].width * 1.5, before[i].width * 0.05 + 1) << name;
      EXPECT_NEAR(grown[i].height, before[i].height * 1.5, before[i].height * 0.06 + 1) << name;
      EXPECT_NEAR(grown[i].fontHeight, before[i].fontHeight * 1.5, before[i].fontHeight * 0.1 + 1) << name;
    }
    ExpectNothingCutOff(window, "at " + std::to_string(dpi * 3 / 2) + " dpi");

    Windows::MoveToDpi(window, dpi * 3 / 2, dpi);
    const std::vector<Measured> back = Windows::Controls(window);
    ASSERT_EQ(back.size(), before.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
      const std::string name = back[i].className + " " + std::to_string(back[i].id);
      EXPECT_EQ(back[i].x, before[i].x) << name;
      EXPECT_EQ(back[i].y, before[i].y) << name;
      EXPECT_EQ(back[i].width, before[i].width) << name;
      EXPECT_EQ(back[i].height, before[i].height) << name;
      EXPECT_EQ(back[i].fontHeight, before[i].fontHeight) << name;
    }
    checked = true;
  };
  probe.DoModal();
  EXPECT_TRUE(checked);
}

}  // namespace

#include <windows.h>

namespace {

HWND H(void* window) { return static_cast<HWND>(window); }

std::string TextOf(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

int FontHeightOf(HWND window) {
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
  const HDC dc = GetDC(window);
  const HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return metrics.tmHeight;
}

// Why the window's text does not fit inside it, or empty: a static text
// wraps at its width and must not need more lines than its height holds; a
// button's one line must fit inside its frame.
std::string CutOff(HWND window, const std::string& className, const RECT& client) {
  const std::string text = TextOf(window);
  if (text.empty() || (className != "Static" && className != "Button")) return {};
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  if (className == "Static" && (style & SS_TYPEMASK) == SS_ICON) return {};
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
  const HDC dc = GetDC(window);
  const HGDIOBJ old = SelectObject(dc, font);
  RECT need = client;
  const bool isStatic = className == "Static";
  UINT format = DT_CALCRECT | DT_EXPANDTABS | (isStatic ? DT_WORDBREAK : DT_SINGLELINE);
  if (isStatic && (style & SS_NOPREFIX) != 0) format |= DT_NOPREFIX;
  if (!isStatic) need.right = need.left + 10000;  // its natural width
  DrawTextA(dc, text.c_str(), -1, &need, format);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  // A button draws its text inside its 3-pixel frame with a focus rectangle.
  const int margin = isStatic ? 0 : 4;
  const int width = need.right - need.left + 2 * margin;
  const int height = need.bottom - need.top + (isStatic ? 0 : 2 * margin);
  if (width > client.right || height > client.bottom) {
    return "needs " + std::to_string(width) + "x" + std::to_string(height) + " pixels, has " +
           std::to_string(client.right) + "x" + std::to_string(client.bottom);
  }
  return {};
}

unsigned Windows::Dpi(void* window) {
  const HDC dc = GetDC(H(window));
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(H(window), dc);
  return static_cast<unsigned>(dpi);
}

Measured Windows::Client(void* dialog) {
  RECT client{};
  GetClientRect(H(dialog), &client);
  Measured measured;
  measured.className = "dialog";
  measured.text = TextOf(H(dialog));
  measured.width = client.right;
  measured.height = client.bottom;
  measured.fontHeight = FontHeightOf(H(dialog));
  return measured;
}

std::vector<Measured> Windows::Controls(void* dialog) {
  std::vector<Measured> controls;
  for (HWND child = GetWindow(H(dialog), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    char name[64] = {};
    GetClassNameA(child, name, sizeof name);
    RECT box{};
    GetWindowRect(child, &box);
    MapWindowPoints(nullptr, H(dialog), reinterpret_cast<POINT*>(&box), 2);
    RECT client{};
    GetClientRect(child, &client);
    Measured measured;
    measured.className = name;
    measured.text = TextOf(child);
    measured.id = GetDlgCtrlID(child);
    measured.x = box.left;
    measured.y = box.top;
    measured.width = box.right - box.left;
    measured.height = box.bottom - box.top;
    measured.fontHeight = FontHeightOf(child);
    measured.cutOff = CutOff(child, measured.className, client);
    controls.push_back(measured);
  }
  return controls;
}

void Windows::MoveToDpi(void* dialog, unsigned from, unsigned to) {
  const int dpi = static_cast<int>(to);
  const int now = static_cast<int>(from);
  RECT box{};
  GetWindowRect(H(dialog), &box);
  // Scaled as Windows scales it, about the window's top left corner.
  RECT suggested{box.left, box.top, box.left + MulDiv(box.right - box.left, dpi, now),
                 box.top + MulDiv(box.bottom - box.top, dpi, now)};
  SendMessageA(H(dialog), WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(&suggested));
}

}  // namespace
