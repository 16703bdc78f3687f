#pragma once
// Event output of input-courier: one JSON line per event on standard output,
// stamped with "t", written atomically with respect to the other threads.
#include <nlohmann/json.hpp>
#include <string>

namespace quorl {

// Milliseconds of the monotonic clock that does not advance while the machine
// sleeps and is never stepped (CLOCK_MONOTONIC_RAW).
double nowMs();

// Rounds to one decimal, halves away from zero.
double r1(double x);

namespace Out {

// Sets "t" to r1(nowMs()), serialises the event with writeEventJson and writes it
// plus a line feed to `fd` (standard output by default).  An event that cannot
// be serialised, or a descriptor that cannot be written, loses the event quietly.
void emit(const nlohmann::json& event, int fd = 1);

// The serialised line emit would write for `event` (without "t" added and without
// the line feed); absent when it cannot be serialised.  For tests and benchmarks.
std::string line(const nlohmann::json& event);

}  // namespace Out
}  // namespace quorl
