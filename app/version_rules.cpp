#include "app/version_rules.h"

#include <cctype>
#include <cstdlib>

FirmwareVersion ReadDisplayVersion(const std::string& text) {
  FirmwareVersion version;
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) version.major = text[0] - '0';
  if (text.size() > 2) version.minor = std::atoi(text.substr(2, 2).c_str());
  return version;
}

bool IsOlderThan(const FirmwareVersion& version, const FirmwareVersion& than) {
  return version.major < than.major || (version.major == than.major && version.minor < than.minor);
}

bool IsNewGeneration(const FirmwareVersion& version) {
  return version.major == 5 || (version.major == 4 && version.minor > 70);
}
