// Resources compiled into the executable, found by name and type.
//
// Names and types are texts.  Numbered resources (dialog templates, strings,
// icons, the version block) use the name "#<number>", and the standard
// types use their Windows names ("DIALOG", "STRING", "ICON", "VERSION").
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace os {

struct ResourceEntry {
  const char* name;
  const char* type;
  const unsigned char* data;
  std::size_t size;
};

class ResourceModule {
 public:
  explicit ResourceModule(std::span<const ResourceEntry> entries) : entries_(entries) {}

  // The running program's own resources (generated at build time).
  static const ResourceModule& Self();

  // The bytes of the resource with this name and type, where they lie;
  // nothing when there is no such resource.  A resource of size 0 is found
  // with an empty span.
  std::optional<std::span<const unsigned char>> Find(std::string_view name, std::string_view type) const;

 private:
  std::span<const ResourceEntry> entries_;
};

}  // namespace os
