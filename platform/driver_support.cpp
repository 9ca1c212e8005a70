#include "platform/driver_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace os::drv {

namespace {

// The registries whose listeners this thread is running, innermost last: a
// listener that removes a listener must not wait for its own call to end.
thread_local std::vector<const ListenerRegistry*> tlBroadcasting;

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

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
  if (std::find(tlBroadcasting.begin(), tlBroadcasting.end(), this) != tlBroadcasting.end()) return;
  ended_.wait(lock.Waitable(), [&] { return entry->active == 0; });
}

void ListenerRegistry::Broadcast(UINT eventType, const std::string& path) {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    os::MutexLock lock(mutex_);
    for (auto& [id, e] : entries_) entries.push_back(e);
  }
  tlBroadcasting.push_back(this);
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
  tlBroadcasting.pop_back();
}

}  // namespace os::drv
