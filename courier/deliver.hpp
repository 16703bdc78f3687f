#pragma once
// Deliver: the one place that turns a pointer, wheel or key action into a
// synthetic input event addressed to one process, with the same fields in the
// same order every time.  Events are built as `SynthEvent` records and handed to
// an `EventSink`: on X11 the agent device pair (route "sky") or XSendEvent
// (route "cg"); in unit tests a recording sink.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "courier/windows.hpp"
#include "platform/geometry.hpp"

namespace quorl::courier {

enum class Button { left, right };
std::optional<Button> buttonFromString(std::string_view s);
const char* toString(Button b);
int buttonNumber(Button b);  // 0 left, 1 right
int downType(Button b);      // 1 / 3
int upType(Button b);        // 2 / 4
int draggedType(Button b);   // 6 / 7
constexpr int kMouseMoved = 5;

struct SynthEvent {
  enum class Kind { mouse, wheel, key };
  Kind kind = Kind::mouse;
  // mouse and wheel
  int type = 0;            // event type code (1..7); 22 for a wheel event
  int button = 0;          // button number (0 left, 1 right)
  Point at;                // global (root) location
  std::optional<Point> windowLocation;  // location relative to the window's top-left corner
  int64_t window = 0;      // the hit window every field names
  int64_t clicks = 0;      // click state
  std::vector<std::pair<uint32_t, int64_t>> fields;  // integer fields, in the order they were set
  bool pixel = false;      // wheel units
  int32_t dy = 0, dx = 0;  // wheel axes
  // key
  uint16_t code = 0;
  bool down = false;
  uint64_t flags = 0;
  std::optional<std::u16string> unicode;
};

// Where finished events go.  `post` is called on the delivery thread (and on the
// thread releasing held input); implementations must be thread-safe.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void post(pid_t pid, const SynthEvent& event) = 0;
  // "sky" or "cg".
  virtual std::string route() const = 0;
  // Whether the integer fields and window location are carried (SPI setField /
  // setWindowLocation resolved).
  virtual bool stampsFields() const = 0;
  virtual bool stampsWindowLocation() const = 0;
  // The window that keyboard events of `pid` go to (the act's window), set by the
  // dispatcher before each keyboard act.
  virtual void setKeyWindow(pid_t pid, int64_t window) = 0;
};

namespace Deliver {

// Installs the sink (tests install a recording sink).  Without a call, the first
// use creates the X11 sink for $DISPLAY.
void setSink(std::shared_ptr<EventSink> sink);
EventSink& sink();

bool mouse(pid_t pid, int type, Button button, Point at, int64_t window, int64_t clicks);
bool wheel(pid_t pid, Point at, int64_t window, bool pixel, int32_t dy, int32_t dx);
bool key(pid_t pid, uint16_t code, bool down, uint64_t flags, const std::optional<std::u16string>& unicode);
std::string route();
void noteWindows(const std::vector<WindowInfo>& windows);
Point windowPoint(Point point, int64_t window);

}  // namespace Deliver
}  // namespace quorl::courier
