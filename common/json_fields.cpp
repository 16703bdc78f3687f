#include "common/json_fields.hpp"

#include <cmath>
#include <limits>

namespace quorl::fields {
namespace {
const Json* find(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(std::string(key));
  return it == object.end() ? nullptr : &*it;
}
}  // namespace

std::optional<Json> parseContainer(std::string_view text) {
  Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::nullopt;
  if (!parsed.is_object() && !parsed.is_array()) return std::nullopt;
  return parsed;
}

std::optional<int64_t> integerValue(const Json& v) {
  if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    double d = std::trunc(v.get<double>());
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<int64_t> integer(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  return v ? integerValue(*v) : std::nullopt;
}

std::optional<double> number(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  if (!v || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<Point> point(const Json& object, std::string_view xKey, std::string_view yKey) {
  auto coordinate = [&](std::string_view key) -> std::optional<double> {
    const Json* v = find(object, key);
    if (!v) return std::nullopt;
    double d;
    if (v->is_boolean()) d = v->get<bool>() ? 1.0 : 0.0;
    else if (v->is_number()) d = v->get<double>();
    else return std::nullopt;
    if (!std::isfinite(d)) return std::nullopt;
    return d;
  };
  auto x = coordinate(xKey);
  auto y = coordinate(yKey);
  if (!x || !y) return std::nullopt;
  return Point{*x, *y};
}

std::optional<std::string> string(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<Json> object(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  if (!v || !v->is_object()) return std::nullopt;
  return *v;
}

std::optional<std::vector<std::string>> stringArray(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(v->size());
  for (const auto& e : *v) {
    if (!e.is_string()) return std::nullopt;
    out.push_back(e.get<std::string>());
  }
  return out;
}

std::optional<bool> boolean(const Json& object, std::string_view key) {
  const Json* v = find(object, key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

}  // namespace quorl::fields
