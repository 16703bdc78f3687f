#pragma once
// The one JSON writer this suite owns.  Event lines are compact, keys ascend by
// code unit at every level, every "/" is written "\/", and a double holding a
// whole value is written without a fraction (90000.0 -> 90000).
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quorl {

// Serialises `value`; absent when it holds something that cannot be written
// (a NaN or infinite double, a binary value, invalid UTF-8 in a string).
std::optional<std::string> writeEventJson(const nlohmann::json& value);

// Appends the serialised object `object` to `out` with the number `stamp` under
// the key "t" in its sorted place (replacing any "t" the object has), without
// copying the object.  False, with `out` unspecified, when it cannot be written.
bool appendStampedEventJson(const nlohmann::json& object, double stamp, std::string& out);

}  // namespace quorl
