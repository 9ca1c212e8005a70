// dotvane: brings the display's firmware up to the version it carries.
// Without options it runs the update, as it always has.  Its options print
// and leave before any window opens or any USB device is touched.
//
// This help is also the source of the manual page's options and exit
// statuses (cmake/manpage.py); the rest of the page is dotvane.1.in here.
#include <iostream>
#include <string>

#include "app/backend_choice.h"
#include "app/end_requests.h"
#include "app/history.h"
#include "image/firmware_image.h"
#ifdef _WIN32
#include "driver/win32/win32_driver.h"
#include "power/win32/win32_power.h"
#else
#include "driver/libusb/libusb_driver.h"
#include "power/dbus/dbus_power.h"
#endif
#include "os/command_line.h"
#include "os/i18n.h"
#include "os/resources.h"
#include "ui/text/parent_console.h"

namespace {

// The program's version and the firmware version it carries.
std::string VersionText() {
  ImageStream image;
  FirmwareVersion version;
  if (LoadFirmwareImage(os::ResourceModule::Self(), "IIC_UPDATE", "IIC", image, version) ||
      LoadFirmwareImage(os::ResourceModule::Self(), "BIN_UPDATE", "BIN", image, version)) {
    return os::i18n::Format(N_("dotvane %1$s, firmware image %2$s"), {DOTVANE_VERSION, FormatFirmwareVersion(version)});
  }
  return os::i18n::Format(N_("dotvane %1$s"), {DOTVANE_VERSION});
}

}  // namespace

int main(int argc, char** argv) {
  // Options print to the console the program was started from (on Windows
  // a program with windows has none of its own); without options it opens
  // its windows and needs none.
  if (argc > 1) text::UseParentConsole();
  os::i18n::Init();
  os::CommandLine options{
      _("Updates the firmware of an Orvanta USB braille display to the version this program carries. It finds "
      "the display, shows its maker, model and firmware version, applies the version rules, writes the image, "
      "waits for the display to restart and reports its new version. Without options it opens its window, or, "
      "when no graphical display is available, runs as lines of plain text in the terminal."),
      "dotvane", os::CommandLine::Errors::kWithUsage};
  // CLI11's own words in the help; the option names and the program's name stay as they are typed.
  options.HelpWords(_("Usage"), _("OPTIONS"), _("Options"), _("Print this help message and exit"));
  options.Footer(
      _("Exit status: 0 after a completed update (the updated display identified itself with the new version and "
      "\"Download Done\" was shown), and after --help, --version or --history; 1 in every other case (Exit, "
      "Cancel at the plug-in prompt, no firmware image or a damaged one, an update that failed or whose display "
      "did not come back, also when the program was asked to end during it, a history that cannot be read); 2 for "
      "bad options. Ended by a signal outside an update, the program ends as that signal ends it (128 plus the "
      "signal's number, in the shell)."));
  options.VersionFlag("--version", VersionText,
                      _("Print the program's version and the firmware version it carries, and exit"));
  bool showHistory = false;
  options.Flag("--history", showHistory,
               _("Print the update history (every update attempt: when, which display, the versions, how it "
                 "ended) and exit"));
  if (const auto status = options.Parse(argc, argv)) return *status;
  if (showHistory) return history::Print(history::DefaultPath(), std::cout, std::cerr);

  // Real displays: discovery, transfers and the arrival and removal
  // broadcasts the windows follow, through libusb or, on Windows, through
  // the display maker's driver.  The computer is held through a write, and
  // its supply read before one, through logind and UPower or Windows' own
  // calls.
#ifdef _WIN32
  win32drv::ScopedWin32Driver driver;
  win32power::ScopedWin32Power power;
#else
  usbdrv::ScopedLibusbDriver usb;
  dbuspower::ScopedDbusPower power;
#endif
  // A request to end the program that comes during a firmware write waits
  // for the write (and the display's restart) to finish.
  endreq::ScopedEndRequests endRequests;
  const int status = RunDotvane();
  // The last record may still be on its way; it never holds the update up,
  // and only briefly the program's end.
  history::Flush(history::kExitFlushMs);
  return status;
}
