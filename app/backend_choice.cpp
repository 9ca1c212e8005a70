#include "app/backend_choice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/dotvane_app.h"
#include "platform/text/text_backend.h"

std::unique_ptr<ui::Backend> MakeBackend() {
  // The graphical back end is not part of this build yet: every choice
  // comes to the text back end.
  return std::make_unique<text::TextBackend>(std::cin, std::cout);
}

int RunDotvane() {
  ui::SetApplicationName(program_invocation_short_name);
  auto backend = MakeBackend();
  ui::SetBackend(backend.get());
  CDotvaneApp app;
  const std::intptr_t result = app.InitInstance();
  ui::SetBackend(nullptr);
  return ExitStatusFor(result);
}
