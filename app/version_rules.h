// The version rules of the update command: how the display's version text
// is read, which versions are of the newer generation, and when one version
// is older than another.  The main window applies them before an update and
// again to the display that comes back from one.
#pragma once

#include <string>

#include "image/firmware_image.h"

// The display's version as read from its INFO text: the first character
// as the major (a digit, else 0), the third and fourth as the minor, read
// as a number the way atoi reads one ("5.7" gives 7; a text of one or two
// characters gives 0).  No test is made that the text has the form d.dd.
FirmwareVersion ReadDisplayVersion(const std::string& text);
// `version` is below `than`.
bool IsOlderThan(const FirmwareVersion& version, const FirmwareVersion& than);
// 4.71 to 4.99, and every 5.xx.
bool IsNewGeneration(const FirmwareVersion& version);
