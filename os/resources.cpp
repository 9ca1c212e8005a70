#include "os/resources.h"

namespace os {

std::optional<std::span<const unsigned char>> ResourceModule::Find(std::string_view name,
                                                                   std::string_view type) const {
  // A handful of entries at most, looked up once at start-up: a linear scan
  // keeps the table a plain array that the build can generate.
  for (const ResourceEntry& entry : entries_) {
    if (name == entry.name && type == entry.type) {
      return std::span<const unsigned char>(entry.data, entry.size);
    }
  }
  return std::nullopt;
}

}  // namespace os
