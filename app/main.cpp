// dotvane: brings the display's firmware up to the version it carries.
// It reads no command line and no settings.
#include "app/backend_choice.h"
#include "platform/libusb/libusb_driver.h"

int main() {
  // Real displays, through libusb: discovery, transfers and the arrival
  // and removal broadcasts the windows follow.
  usbdrv::ScopedLibusbDriver usb;
  return RunDotvane();
}
