#pragma once
// Typed readers over parsed JSON requests.  A field that fails its reader
// counts as absent.
#include <nlohmann/json.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorl::fields {

using Json = nlohmann::json;

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

// Parses one request text.  Only an object or an array is accepted at the top
// level (no bare numbers, strings or literals); absent on any parse failure.
std::optional<Json> parseContainer(std::string_view text);

// A JSON number that is not a Boolean, truncated toward zero to a signed 64-bit
// integer (values beyond the range saturate).
std::optional<int64_t> integer(const Json& object, std::string_view key);
std::optional<int64_t> integerValue(const Json& value);

// Both keys present, each a number (true and false count as 1 and 0), both finite.
std::optional<Point> point(const Json& object, std::string_view xKey, std::string_view yKey);

std::optional<std::string> string(const Json& object, std::string_view key);
std::optional<Json> object(const Json& object, std::string_view key);
std::optional<std::vector<std::string>> stringArray(const Json& object, std::string_view key);
std::optional<bool> boolean(const Json& object, std::string_view key);
// Any JSON number (not a Boolean) as a double.
std::optional<double> number(const Json& object, std::string_view key);

}  // namespace quorl::fields
