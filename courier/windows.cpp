#include "courier/windows.hpp"

#include <unistd.h>

#include <cmath>

#include "platform/x11/connection.hpp"
#include "platform/x11/windows.hpp"
#include "shared/process_start.hpp"

namespace quorl::courier {

std::vector<WindowInfo> onScreenWindows() {
  std::vector<WindowInfo> out;
  auto conn = x11::shared();
  if (!conn) return out;
  platform::SnapshotOptions options;
  options.details = false;  // titles, classes and desktops play no part in hit-testing
  auto records = platform::snapshotWindows(*conn, options);
  out.reserve(records.size());
  for (const auto& r : records) {
    // A window whose client is unknown (pid -1) is kept: it still lies on top of
    // whatever is below it, so it can own a point and make the target covered.
    // Its pid never equals a target's, so it is never taken for the target's window.
    out.push_back(WindowInfo{static_cast<int64_t>(r.id), r.pid, r.layer, r.alpha, r.bounds});
  }
  return out;
}

bool pressable(const WindowInfo& w) {
  // Written so that a NaN alpha (every comparison false) is not pressable.
  if (!(w.alpha > 0)) return false;
  if (w.layer < 0 || w.layer >= 1000) return false;
  if (w.layer >= 18 && w.layer <= 25) return false;
  return w.bounds.width > 4 && w.bounds.height > 4;
}

bool isDecoration(pid_t pid) {
  const auto& overlay = decorationPath();
  if (!overlay) return false;
  if (pid == getpid()) return false;
  if (pid <= 0) return false;
  auto path = executablePath(pid);  // already canonical when realpath succeeds
  return path && *path == *overlay;
}

std::optional<WindowInfo> ownerAt(Point p, const std::vector<WindowInfo>& windows) {
  for (const auto& w : windows) {
    if (!pressable(w) || !w.bounds.contains(p)) continue;
    if (isDecoration(w.pid)) continue;
    return w;
  }
  return std::nullopt;
}

}  // namespace quorl::courier
