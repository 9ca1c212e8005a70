// dotvane: brings the display's firmware up to the version it carries.
// It reads no command line and no settings.
#include "app/backend_choice.h"

int main() { return RunDotvane(); }
