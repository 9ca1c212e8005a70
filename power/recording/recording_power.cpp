#include "power/recording/recording_power.h"

namespace recpower {

void RecordingPower::Hold(const std::string& why, void*) {
  os::MutexLock lock(mutex_);
  held_ = true;
  calls_.push_back("hold " + why);
}

void RecordingPower::Release() {
  os::MutexLock lock(mutex_);
  held_ = false;
  calls_.push_back("release");
}

power::Supply RecordingPower::ReadSupply() {
  os::MutexLock lock(mutex_);
  calls_.push_back("read");
  return supply_;
}

void RecordingPower::SetSupply(const power::Supply& supply) {
  os::MutexLock lock(mutex_);
  supply_ = supply;
}

std::vector<std::string> RecordingPower::Calls() const {
  os::MutexLock lock(mutex_);
  return calls_;
}

bool RecordingPower::Held() const {
  os::MutexLock lock(mutex_);
  return held_;
}

}  // namespace recpower
