#include "app/display_arrival.h"

#include <cctype>
#include <string>

#include "display/display_class.h"

bool IsDisplayBroadcast(const ui::DeviceBroadcast* record) {
  if (record == nullptr || record->deviceType != ui::DBT_DEVTYP_DEVICEINTERFACE) return false;
  std::string name = record->name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name.find(kVendorIdMatchText) != std::string::npos;
}
