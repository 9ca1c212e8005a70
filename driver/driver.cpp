#include "driver/driver.h"

#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/driver_trace.h"

namespace os {

namespace {
std::atomic<Driver*> g_driver{nullptr};
std::atomic<std::uint64_t> g_generation{0};

// With the trace asked for, each driver installed is wrapped in a tracer.
// A tracer may still be in use on another thread when the next driver is
// installed, so every one is kept until the process ends.
Driver* Traced(Driver* driver) {
  if (driver == nullptr || !TraceRequested() || dynamic_cast<TracingDriver*>(driver) != nullptr) return driver;
  static std::mutex mutex;
  static std::vector<std::unique_ptr<TracingDriver>> tracers;
  std::lock_guard lock(mutex);
  tracers.push_back(std::make_unique<TracingDriver>(*driver, std::cerr));
  return tracers.back().get();
}
}  // namespace

void SetDriver(Driver* driver) {
  g_driver.store(Traced(driver));
  g_generation.fetch_add(1);
}
Driver* CurrentDriver() { return g_driver.load(); }
std::uint64_t DriverGeneration() { return g_generation.load(); }

}  // namespace os
