#include "driver/driver_support.h"

#include "os/text_compare.h"

#include <cstdio>
#include <vector>

namespace os::drv {

namespace {

// The registries whose listeners this thread is running, as a chain of
// frames on its stack, innermost first: a listener that removes a listener
// must not wait for its own call to end.  A plain pointer, not a container:
// MinGW's emulated TLS may free a thread_local before its destructor runs.
struct BroadcastFrame {
  const ListenerRegistry* registry;
  const BroadcastFrame* outer;
};
thread_local const BroadcastFrame* tlBroadcasting = nullptr;

bool IsBroadcasting(const ListenerRegistry* registry) {
  for (const BroadcastFrame* frame = tlBroadcasting; frame != nullptr; frame = frame->outer) {
    if (frame->registry == registry) return true;
  }
  return false;
}

}  // namespace

std::string InterfacePath(std::uint16_t vendorId, std::uint16_t productId, const std::string& instance,
                          const GUID& interfaceClass) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "\\\\?\\USB#VID_%04X&PID_%04X#", unsigned{vendorId}, unsigned{productId});
  return prefix + instance + "#" + GuidToString(interfaceClass);
}

std::optional<OpenTarget> ParseOpenPath(const std::string& path) {
  const std::string separator = kPipeSeparator;
  const auto at = path.rfind(separator);
  if (at == std::string::npos) return OpenTarget{path, Target::kControl};
  const std::string pipe = path.substr(at + separator.size());
  if (SameText(pipe, kPipeOutName)) return OpenTarget{path.substr(0, at), Target::kOutPipe};
  if (SameText(pipe, kPipeInName)) return OpenTarget{path.substr(0, at), Target::kInPipe};
  return std::nullopt;
}

int ListenerRegistry::Add(DeviceChangeListener listener) {
  auto entry = std::make_shared<Entry>();
  entry->fn = std::move(listener);
  os::MutexLock lock(mutex_);
  const int id = nextId_++;
  entries_.emplace(id, std::move(entry));
  return id;
}

void ListenerRegistry::Remove(int id) {
  os::UniqueMutexLock lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  auto entry = it->second;
  entry->removed = true;
  entries_.erase(it);
  if (IsBroadcasting(this)) return;
  ended_.wait(lock.Waitable(), [&] { return entry->active == 0; });
}

void ListenerRegistry::Broadcast(UINT eventType, const std::string& path) {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    os::MutexLock lock(mutex_);
    for (auto& [id, e] : entries_) entries.push_back(e);
  }
  const BroadcastFrame frame{this, tlBroadcasting};
  tlBroadcasting = &frame;
  for (auto& e : entries) {
    {
      os::MutexLock lock(mutex_);
      if (e->removed) continue;
      ++e->active;
    }
    e->fn(eventType, path);
    {
      os::MutexLock lock(mutex_);
      --e->active;
    }
    ended_.notify_all();
  }
  tlBroadcasting = frame.outer;
}

}  // namespace os::drv
