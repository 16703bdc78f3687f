#pragma once
// Hit-testing of input-courier: which on-screen window would receive a press at a
// point, ignoring the windows of the agent-overlay program beside this executable.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/geometry.hpp"

namespace quorl::courier {

struct WindowInfo {
  int64_t id = 0;
  int32_t pid = -1;  // -1 when the window's client is unknown; such a window is never the target's
  int64_t layer = 0;
  double alpha = 1.0;
  Rect bounds;
};

// On-screen windows, front-most first (from the X11 window list; empty without a display).
std::vector<WindowInfo> onScreenWindows();

bool pressable(const WindowInfo& w);

// Whether a process is the overlay (its canonical executable path equals decorationPath()).
bool isDecoration(pid_t pid);

// The topmost pressable, non-overlay window containing the point.
std::optional<WindowInfo> ownerAt(Point p, const std::vector<WindowInfo>& windows);

}  // namespace quorl::courier
