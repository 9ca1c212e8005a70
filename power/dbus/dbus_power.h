// The power back end on Linux, over the system bus (GDBus): a logind
// inhibitor lock holds the computer, UPower's display device tells the
// supply.  Where there is no system bus, no logind or no UPower it holds
// nothing or knows nothing, says so in the trace, and the update goes on.
#pragma once

#include "power/power.h"

namespace dbuspower {

// What the lock blocks: the high-level actions and, because the lid and the
// keys ignore those by default, their low-level handling too.
inline constexpr char kInhibitWhat[] =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch";
inline constexpr char kInhibitWho[] = "Dotvane";
inline constexpr char kInhibitMode[] = "block";
// Bound on connecting to the bus and on each call.
inline constexpr int kCallTimeoutMs = 3000;

class DbusPower final : public power::Backend {
 public:
  DbusPower() = default;
  ~DbusPower() override;
  DbusPower(const DbusPower&) = delete;
  DbusPower& operator=(const DbusPower&) = delete;

  void Hold(const std::string& why, void* window) override;
  void Release() override;
  power::Supply ReadSupply() override;

 private:
  int lock_ = -1;  // logind's descriptor: the lock lives while it is open
};

// Installs DbusPower for its lifetime.
class ScopedDbusPower {
 public:
  ScopedDbusPower() : install_(power_) {}

 private:
  DbusPower power_;
  power::ScopedBackend install_;
};

}  // namespace dbuspower
