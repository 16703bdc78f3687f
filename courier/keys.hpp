#pragma once
// Key names and modifier names of "press_key" acts, as virtual key codes (US
// layout codes) and modifier flag bits, and the X keysyms and modifier masks that
// deliver them.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quorl::courier::Keys {

struct Modifier {
  uint16_t code;
  uint64_t flag;
};

constexpr uint64_t kFlagShift = 0x20000;
constexpr uint64_t kFlagControl = 0x40000;
constexpr uint64_t kFlagOption = 0x80000;
constexpr uint64_t kFlagCommand = 0x100000;

const std::map<std::string, uint16_t>& named();       // 28 entries
const std::map<std::string, uint16_t>& characters();  // 47 entries
const std::map<std::string, Modifier>& modifiers();   // 4 entries

// Full lower-casing, then the named table, then a one-character lookup.
std::optional<uint16_t> code(std::string_view name);

// The X keysym that the virtual key code means on a US layout (0 when unknown),
// including the modifier keys' own codes (55 -> Super_L, 56 -> Shift_L, 58 -> Alt_L, 59 -> Control_L).
uint32_t keysymForCode(uint16_t code);

// The X modifier mask for a flag set: shift -> Shift, ctrl -> Control,
// option -> Mod1, cmd -> Mod4.
uint16_t xModifierMask(uint64_t flags);

}  // namespace quorl::courier::Keys
