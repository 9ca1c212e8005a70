#include "platform/driver.h"

#include <atomic>

namespace os {

namespace {
std::atomic<Driver*> g_driver{nullptr};
}

void SetDriver(Driver* driver) { g_driver.store(driver); }
Driver* CurrentDriver() { return g_driver.load(); }

}  // namespace os
