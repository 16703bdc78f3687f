#pragma once
// The platform operations the service's logic needs, behind one narrow interface:
// the clock, capabilities, processes, the user's hardware input, the window list,
// the key tables and event delivery.  The service runs on realCourierPlatform();
// unit tests drive the same logic with a recording fake.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "courier/deliver.hpp"
#include "courier/keys.hpp"
#include "courier/windows.hpp"
#include "platform/geometry.hpp"

namespace quorl::courier {

// Kinds of the user's hardware events whose age the guard watches.
enum class UserEvent { leftDown, rightDown, otherDown, keyDown, wheel };

class CourierPlatform {
 public:
  virtual ~CourierPlatform() = default;

  // Milliseconds of the monotonic clock, and a sleep on the same clock.
  virtual double nowMs() = 0;
  virtual void sleepMs(double ms) = 0;

  // Capabilities, as reported in "hello" and checked at "begin".
  virtual std::vector<std::string> missing() = 0;
  virtual bool postAccess() = 0;
  virtual std::string route() = 0;

  // Processes.
  virtual std::optional<std::string> processStart(pid_t pid) = 0;
  virtual pid_t frontPid() = 0;
  virtual pid_t keyFocusPid() = 0;

  // The user's hardware input.
  virtual double secondsSince(UserEvent kind) = 0;
  virtual Point pointerLocation() = 0;

  // The window list and hit-testing.
  virtual std::vector<WindowInfo> onScreenWindows() = 0;
  virtual bool pressable(const WindowInfo& w) = 0;
  virtual std::optional<WindowInfo> ownerAt(Point p, const std::vector<WindowInfo>& windows) = 0;

  // Key tables.
  virtual std::optional<uint16_t> keyCode(std::string_view name) = 0;
  virtual const std::map<std::string, Keys::Modifier>& modifiers() = 0;

  // Event delivery (false when the event could not be created).
  virtual bool mouse(pid_t pid, int type, Button button, Point at, int64_t window, int64_t clicks) = 0;
  virtual bool wheel(pid_t pid, Point at, int64_t window, bool pixel, int32_t dy, int32_t dx) = 0;
  virtual bool key(pid_t pid, uint16_t code, bool down, uint64_t flags,
                   const std::optional<std::u16string>& unicode) = 0;
  virtual void noteWindows(const std::vector<WindowInfo>& windows) = 0;
  // The window that keyboard events for `pid` go to.
  virtual void setKeyWindow(pid_t pid, int64_t window) = 0;

  // Gives up what the platform holds (listener threads, input devices) at exit.
  virtual void shutdown() {}
};

// The X11 implementation (SPI, Deliver, Keys, the window list, the user-input
// monitor, /proc).
std::unique_ptr<CourierPlatform> realCourierPlatform();

}  // namespace quorl::courier
