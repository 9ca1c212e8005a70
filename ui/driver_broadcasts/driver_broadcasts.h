// The one place where the driver layer meets the window system: the
// arrivals and removals of displays that the installed driver reports
// become the window system's device broadcasts.  The programs call it at
// start-up, and so do the tests whose windows follow displays.
#pragma once

namespace ui {

// Installs the driver layer as the window system's device-event source
// (ui::SetDeviceEventSource).  Each registration for broadcasts then
// listens to the driver installed at that moment (os::CurrentDriver), once
// per driver: a driver installed since (a test's fresh driver) gets a
// listener of its own, and one left behind went away with its driver.
// Calling it again changes nothing.  Any thread.
void ConnectDriverBroadcasts();

}  // namespace ui
