#pragma once
// What the human user does with the hardware: seconds since the last event of a
// kind, the held keys and the user's pointer position.
//
// A listener thread selects XInput2 raw events (key press, button press, wheel
// buttons 4-7) on the root window and stamps them on the monotonic clock.  Raw
// events whose source device belongs to one of the suite's own agent device pairs
// are ignored; everything else is the user, including XTEST input from other
// clients.  Before the first event of a kind is seen, the XScreenSaver idle time
// stands in for it.
#include <xcb/xcb.h>

#include <memory>
#include <optional>

#include "platform/geometry.hpp"

namespace quorl::platform {

enum class InputKind { LeftDown, RightDown, OtherDown, KeyDown, Wheel };

class UserInput {
 public:
  virtual ~UserInput() = default;
  // Seconds since the user's last event of the kind; a very large number (1e9)
  // when nothing can be known (no display).
  virtual double secondsSince(InputKind kind) = 0;
  // Whether the key with this keysym is held on the user's keyboard (XQueryKeymap).
  virtual bool keysymHeld(xcb_keysym_t keysym) = 0;
  // The user's pointer (the core pointer) in root coordinates; (0, 0) when unknown.
  virtual Point pointerLocation() = 0;
};

// The process-wide monitor on $DISPLAY, started on first use (its listener thread
// starts then).  Never null: without a display it answers 1e9 / false / (0, 0).
UserInput& userInput();

// Stops the listener thread and closes its connection (for a clean exit).  The
// stopped monitor no longer asks the display (pointer (0, 0), no key held, times
// frozen at their last events); a later userInput() starts a new monitor.
void shutdownUserInput();

// A monitor of its own on a display ($DISPLAY when null), for programs and tests
// that watch a display other than the process-wide one.  Never null.
std::unique_ptr<UserInput> makeUserInput(const char* display);

// The kind of a pointer button press: 1 left, 3 right, 4-7 wheel, any other
// button "other"; none for button 0.
std::optional<InputKind> kindOfButton(uint32_t button);

}  // namespace quorl::platform
