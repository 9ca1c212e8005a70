// dotvane: brings the display's firmware up to the version it carries.
// It reads no command line and no settings.
#include "app/backend_choice.h"
#ifdef _WIN32
#include "platform/win32/win32_driver.h"
#else
#include "platform/libusb/libusb_driver.h"
#endif

int main() {
  // Real displays: discovery, transfers and the arrival and removal
  // broadcasts the windows follow, through libusb or, on Windows, through
  // the display maker's driver.
#ifdef _WIN32
  win32drv::ScopedWin32Driver driver;
#else
  usbdrv::ScopedLibusbDriver usb;
#endif
  return RunDotvane();
}
