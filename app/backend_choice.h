// Which window-system back end the program runs on.
#pragma once

#include <memory>

#include "ui/ui.h"

// DOTVANE_UI=text forces the text back end, DOTVANE_UI=gui the graphical
// one; otherwise the graphical one where a display is available, the text
// one everywhere else.
std::unique_ptr<ui::Backend> MakeBackend();

// Runs the application on the chosen back end, its windows following the
// installed driver's arrivals and removals, and returns the exit status.
int RunDotvane();
