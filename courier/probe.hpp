#pragma once

namespace quorl::courier {

// Writes the probe event line; returns the exit status (0).
int runProbe();

}  // namespace quorl::courier
