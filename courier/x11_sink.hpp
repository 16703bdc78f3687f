#pragma once
// The event sink of input-courier on X11.
//
// Route "sky": events travel the agent's own input device pair (see
// platform/agent_input.hpp).  Pointer events move and press the agent pointer;
// key events go to the agent keyboard, which keeps its PointerRoot focus: the
// agent pointer is parked on a visible point of the target's window first, and
// the keys go there.  (An explicit focus change of the agent keyboard reaches
// the window manager as core focus events, which it takes for the user
// activating or leaving a window.)  Two kinds of event go by XSendEvent to the
// target's window instead, so input never lands in another application:
//   - a point that another application's window covers (the top-level window
//     under the point, as the server's input shapes see it, is not the target's
//     frame; click-through overlay windows have an empty input shape and so do
//     not count);
//   - a window whose client listens with core (not XInput2) events: the agent
//     devices send no core events (so that the window manager's click-to-focus
//     grabs stay quiet), so such a client is reached by XSendEvent.
// Route "cg" (no agent device pair): XSendEvent only.  Toolkits that ignore
// synthetic events do not react to it.
//
// Wheel amounts: the vertical axis is X buttons 4 (dy > 0, up) and 5 (down), the
// horizontal axis buttons 6 (dx > 0, left) and 7 (right).  Line units are one
// button click per line.  Pixel units are carried per axis: every 40 pixels make
// one click and the remainder is kept for the next wheel event to the same window
// (a change of window or of direction drops it).
#include <cstdint>
#include <memory>

#include "courier/deliver.hpp"

namespace quorl::courier {

// X button of a Button number (0 left -> 1, 1 right -> 3).
uint8_t xButtonFor(int buttonNumber);

struct WheelClicks {
  int vertical = 0;    // > 0: button 4 clicks, < 0: button 5 clicks
  int horizontal = 0;  // > 0: button 6 clicks, < 0: button 7 clicks
};

class WheelScaler {
 public:
  static constexpr int kPixelsPerClick = 40;
  WheelClicks convert(int64_t window, bool pixel, int32_t dy, int32_t dx);

 private:
  int64_t window_ = 0;
  int64_t remainderY_ = 0, remainderX_ = 0;
};

// The sink for a display ($DISPLAY when null).  Without a display it posts
// nothing and reports route "cg".
std::shared_ptr<EventSink> makeX11Sink(const char* display = nullptr);

}  // namespace quorl::courier
