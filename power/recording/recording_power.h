// A power back end that holds nothing and reports the supply it is given,
// and remembers every call: for tests and the in-process demo.
#pragma once

#include <string>
#include <vector>

#include "os/thread_safety.h"
#include "power/power.h"

namespace recpower {

class RecordingPower final : public power::Backend {
 public:
  void Hold(const std::string& why, void* window) override;
  void Release() override;
  power::Supply ReadSupply() override;

  // What ReadSupply answers from now on (unknown at first).
  void SetSupply(const power::Supply& supply);
  // The calls so far: "hold <why>", "release", "read".
  std::vector<std::string> Calls() const;
  // Whether a hold is taken now.
  bool Held() const;

 private:
  mutable os::Mutex mutex_;
  power::Supply supply_ GUARDED_BY(mutex_);
  std::vector<std::string> calls_ GUARDED_BY(mutex_);
  bool held_ GUARDED_BY(mutex_) = false;
};

}  // namespace recpower
