// A window-system back end that presents nothing, for tests and fuzz
// targets that drive dialogs from their own modal loop.  It remembers a
// wake-up from the core until the loop waits for it.  Header-only, so that
// programs without GoogleTest can use it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ui/ui.h"

namespace test {

class SilentBackend : public ui::Backend {
 public:
  void DialogCreated(ui::CDialog&) override {}
  void DialogShown(ui::CDialog&) override {}
  void DialogEnded(ui::CDialog&, std::intptr_t) override {}
  void TitleChanged(ui::CDialog&) override {}
  void ControlChanged(ui::CDialog&, int) override {}
  void DefaultChanged(ui::CDialog&) override {}
  void FocusChanged(ui::CDialog&) override {}
  void Repaint(ui::CDialog&) override {}
  void MenuItemAdded(ui::CDialog&, ui::UINT, const std::string&) override {}
  void IconSet(ui::CDialog&, int) override {}

  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    wake_.notify_all();
  }

 protected:
  // Until the core wakes the loop, `limit` at most; takes the wake-up.
  void WaitForWake(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, limit, [this] { return woken_; });
    woken_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

}  // namespace test
