#pragma once

namespace quorl::courier {

// Writes the probe event line; returns the exit status (0).
int runProbe();

// Whether this process may post events: the display is open and accepts events
// sent by this client (asked without sending anything anyone receives).
bool postAccess();

// Whether the accessibility registry answers on the accessibility bus.  Bounded in
// time; false at once when there is no bus to ask.
bool accessibilityTrusted();

}  // namespace quorl::courier
