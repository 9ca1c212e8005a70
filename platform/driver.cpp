#include "platform/driver.h"

#include <atomic>

namespace os {

namespace {
std::atomic<Driver*> g_driver{nullptr};
std::atomic<std::uint64_t> g_generation{0};
}  // namespace

void SetDriver(Driver* driver) {
  g_driver.store(driver);
  g_generation.fetch_add(1);
}
Driver* CurrentDriver() { return g_driver.load(); }
std::uint64_t DriverGeneration() { return g_generation.load(); }

}  // namespace os
