#include "power/power.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace power {

namespace {

class NullBackend final : public Backend {
 public:
  void Hold(const std::string&, void*) override {}
  void Release() override {}
  Supply ReadSupply() override { return {}; }
};

NullBackend g_null;
std::atomic<Backend*> g_current{&g_null};
std::atomic<int> g_holds{0};

}  // namespace

bool TooLowToWrite(const Supply& supply) {
  return supply.known && supply.onBattery && !supply.charging && supply.percent &&
         *supply.percent < kMinBatteryPercent;
}

Backend& Current() { return *g_current.load(); }

ScopedBackend::ScopedBackend(Backend& backend) : previous_(g_current.exchange(&backend)) {}

ScopedBackend::~ScopedBackend() { g_current.store(previous_); }

KeepRunning::KeepRunning(void* window) : backend_(Current()) {
  // The system shows it to whoever tries to shut down: in their language.
  backend_.Hold(_(kHoldReason), window);
  g_holds.fetch_add(1);
}

KeepRunning::~KeepRunning() {
  g_holds.fetch_sub(1);
  backend_.Release();
}

bool IsHeld() { return g_holds.load() > 0; }

// The same switch as the driver's trace; the line names the power part.
void Trace(const std::string& text) {
  const char* trace = std::getenv("DOTVANE_TRACE");
  if (trace == nullptr || std::strcmp(trace, "1") != 0) return;
  std::cerr << "dotvane-trace power " << text << std::endl;
}

}  // namespace power
