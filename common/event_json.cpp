#include "common/event_json.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <string_view>

namespace quorl {
namespace {

bool validUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

bool writeString(std::string_view s, std::string& out) {
  if (!validUtf8(s)) return false;
  out.push_back('"');
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return true;
}

bool writeDouble(double d, std::string& out) {
  if (!std::isfinite(d)) return false;
  if (d == std::trunc(d) && std::fabs(d) < 1e15) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", d);
    // "-0" reads oddly and means nothing here.
    out += (std::string_view(buf) == "-0") ? "0" : buf;
    return true;
  }
  // Shortest text that reads back to the same double.
  char buf[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  out += buf;
  return true;
}

bool write(const nlohmann::json& v, std::string& out) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::null: out += "null"; return true;
    case T::boolean: out += v.get<bool>() ? "true" : "false"; return true;
    case T::number_integer: out += std::to_string(v.get<int64_t>()); return true;
    case T::number_unsigned: out += std::to_string(v.get<uint64_t>()); return true;
    case T::number_float: return writeDouble(v.get<double>(), out);
    case T::string: return writeString(v.get_ref<const std::string&>(), out);
    case T::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) out.push_back(',');
        first = false;
        if (!write(e, out)) return false;
      }
      out.push_back(']');
      return true;
    }
    case T::object: {
      // nlohmann's default object is a std::map, already ordered by byte
      // (code unit) comparison of the keys; iterate it as it stands.
      out.push_back('{');
      bool first = true;
      for (const auto& [key, value] : v.items()) {
        if (!first) out.push_back(',');
        first = false;
        if (!writeString(key, out)) return false;
        out.push_back(':');
        if (!write(value, out)) return false;
      }
      out.push_back('}');
      return true;
    }
    default: return false;
  }
}

}  // namespace

bool appendStampedEventJson(const nlohmann::json& object, double stamp, std::string& out) {
  if (!object.is_object()) return false;
  out.push_back('{');
  bool first = true;
  bool stamped = false;
  auto writeStamp = [&] {
    if (!first) out.push_back(',');
    first = false;
    out += "\"t\":";
    stamped = true;
    return writeDouble(stamp, out);
  };
  for (const auto& [key, value] : object.items()) {
    if (key == "t") continue;
    if (!stamped && key > "t" && !writeStamp()) return false;
    if (!first) out.push_back(',');
    first = false;
    if (!writeString(key, out)) return false;
    out.push_back(':');
    if (!write(value, out)) return false;
  }
  if (!stamped && !writeStamp()) return false;
  out.push_back('}');
  return true;
}

std::optional<std::string> writeEventJson(const nlohmann::json& value) {
  std::string out;
  out.reserve(256);
  if (!write(value, out)) return std::nullopt;
  return out;
}

}  // namespace quorl
