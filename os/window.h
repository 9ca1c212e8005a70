// The messaging seam between worker threads and the user-interface thread.
//
// A window's handlers run on the user-interface thread.  Other threads reach
// them by posting (queued, no wait) or by sending with a time-out (the sender
// blocks until the handler has returned or the time-out has passed).  The
// window-system back ends implement this; tests use small recording targets.
#pragma once

#include <cstdint>
#include <memory>

#include "os/types.h"

namespace os {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr UINT WM_APP = 0x8000;
inline constexpr UINT SMTO_NORMAL = 0x0000;

class Window {
 public:
  virtual ~Window() = default;

  // Runs the handler for `message` on the window's thread and waits for it,
  // at most `timeoutMs`.  Returns non-zero when the handler ran to its end
  // within the time-out.  A send whose time-out passed before its handler
  // started is never handled later.  `keepAlive`, when given, owns whatever
  // wParam or lParam point to; the window keeps it until the handler has
  // returned or has been abandoned, so a handler that starts just before the
  // sender gives up still reads valid data.
  virtual LRESULT SendMessageTimeout(UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                                     LRESULT* result, std::shared_ptr<const void> keepAlive = nullptr) = 0;

  virtual BOOL PostMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

using HWND = Window*;

}  // namespace os
