#include "overlay/xsettings.hpp"

#include <cstring>

namespace quorl::overlay {

std::optional<int32_t> xsettingsInteger(std::string_view blob, std::string_view name) {
  // Layout: byte order (0 little, 1 big), 3 unused, serial, count; then per
  // setting: type (0 integer, 1 string, 2 colour), 1 unused, name length (16 bits),
  // the name padded to 4, last-change serial, and the value.
  if (blob.size() < 12) return std::nullopt;
  const bool big = blob[0] != 0;
  size_t at = 0;
  auto u8 = [&]() -> std::optional<uint32_t> {
    if (at + 1 > blob.size()) return std::nullopt;
    return static_cast<uint8_t>(blob[at++]);
  };
  auto u16 = [&]() -> std::optional<uint32_t> {
    if (at + 2 > blob.size()) return std::nullopt;
    auto a = static_cast<uint8_t>(blob[at]), b = static_cast<uint8_t>(blob[at + 1]);
    at += 2;
    return big ? (a << 8 | b) : (b << 8 | a);
  };
  auto u32 = [&]() -> std::optional<uint32_t> {
    if (at + 4 > blob.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      uint32_t byte = static_cast<uint8_t>(blob[at + (big ? i : 3 - i)]);
      v = v << 8 | byte;
    }
    at += 4;
    return v;
  };
  auto skip = [&](size_t n) {
    if (at + n > blob.size()) return false;
    at += n;
    return true;
  };
  auto padded = [](size_t n) { return (n + 3) & ~size_t{3}; };

  at = 4;
  if (!u32()) return std::nullopt;  // serial
  auto count = u32();
  if (!count) return std::nullopt;
  for (uint32_t i = 0; i < *count; ++i) {
    auto type = u8();
    if (!type || !skip(1)) return std::nullopt;
    auto length = u16();
    if (!length || at + *length > blob.size()) return std::nullopt;
    std::string_view key = blob.substr(at, *length);
    if (!skip(padded(*length)) || !u32()) return std::nullopt;  // name, last-change serial
    switch (*type) {
      case 0: {
        auto value = u32();
        if (!value) return std::nullopt;
        if (key == name) return static_cast<int32_t>(*value);
        break;
      }
      case 1: {
        auto size = u32();
        if (!size || !skip(padded(*size))) return std::nullopt;
        break;
      }
      case 2:
        if (!skip(8)) return std::nullopt;
        break;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace quorl::overlay
