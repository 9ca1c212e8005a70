#include "app/backend_choice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "app/dotvane_app.h"
#include "os/i18n.h"
#include "ui/driver_broadcasts/driver_broadcasts.h"
#include "ui/text/text_backend.h"
#ifdef DOTVANE_HAVE_WX
#include "ui/wx/wx_backend.h"
#endif
#ifdef DOTVANE_HAVE_WIN32UI
#include "ui/win32/win32_backend.h"
#endif

namespace {

#if defined(DOTVANE_HAVE_WX) || defined(DOTVANE_HAVE_WIN32UI)
constexpr bool kHaveGraphicalBackend = true;
#else
constexpr bool kHaveGraphicalBackend = false;  // built without wxWidgets
#endif

// The graphical back end, or nothing when it cannot open the display.
std::unique_ptr<ui::Backend> MakeGraphicalBackend() {
#if defined(DOTVANE_HAVE_WX)
  return wxui::MakeWxBackend();
#elif defined(DOTVANE_HAVE_WIN32UI)
  return win32ui::MakeWin32Backend();
#else
  return nullptr;
#endif
}

// The name the program was started by, for its messages and window titles.
const char* ProgramName() {
#ifdef _WIN32
  return "dotvane";  // Windows keeps no short name of its own for the C library to give
#else
  return program_invocation_short_name;
#endif
}

bool GraphicalDisplayAvailable() {
#ifdef _WIN32
  return true;  // Windows always has one; MakeWin32Backend() finds out if it cannot be used
#else
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
#endif
}

}  // namespace

std::unique_ptr<ui::Backend> MakeBackend() {
  const char* forced = std::getenv("DOTVANE_UI");
  const std::string_view choice = forced == nullptr ? "" : forced;
  bool graphical = kHaveGraphicalBackend && GraphicalDisplayAvailable();
  if (choice == "text") {
    graphical = false;
  } else if (choice == "gui") {
    graphical = kHaveGraphicalBackend;  // tried even without DISPLAY: it fails cleanly and says so
    if (!kHaveGraphicalBackend) {
      std::cerr << os::i18n::Format(
                       N_("%1$s: the graphical interface is not part of this build; using the text interface"),
                       {ProgramName()})
                << "\n";
    }
  } else if (!choice.empty()) {
    std::cerr << os::i18n::Format(N_("%1$s: DOTVANE_UI must be \"text\" or \"gui\", not \"%2$s\"; ignoring it"),
                                  {ProgramName(), choice})
              << "\n";
  }
  if (graphical) {
    if (auto backend = MakeGraphicalBackend()) return backend;
    std::cerr << os::i18n::Format(N_("%1$s: cannot open the graphical display; using the text interface"),
                                  {ProgramName()})
              << "\n";
  }
  return std::make_unique<text::TextBackend>(std::cin, std::cout);
}

int RunDotvane() {
  ui::SetApplicationName(ProgramName());
  ui::ConnectDriverBroadcasts();
  auto backend = MakeBackend();
  ui::SetBackend(backend.get());
  CDotvaneApp app;
  const std::intptr_t result = app.InitInstance();
  ui::SetBackend(nullptr);
  return ExitStatusFor(result);
}
