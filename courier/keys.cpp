#include "courier/keys.hpp"

#include "common/unicode.hpp"

namespace quorl::courier::Keys {

const std::map<std::string, uint16_t>& named() {
  static const std::map<std::string, uint16_t> table{
      {"return", 36}, {"enter", 36},   {"tab", 48},   {"space", 49},        {"delete", 51},  {"backspace", 51},
      {"escape", 53}, {"forwarddelete", 117},         {"home", 115},        {"end", 119},    {"pageup", 116},
      {"pagedown", 121},               {"left", 123}, {"right", 124},       {"down", 125},   {"up", 126},
      {"f1", 122},    {"f2", 120},     {"f3", 99},    {"f4", 118},          {"f5", 96},      {"f6", 97},
      {"f7", 98},     {"f8", 100},     {"f9", 101},   {"f10", 109},         {"f11", 103},    {"f12", 111},
  };
  return table;
}

const std::map<std::string, uint16_t>& characters() {
  static const std::map<std::string, uint16_t> table{
      {"a", 0},  {"s", 1},  {"d", 2},  {"f", 3},  {"h", 4},  {"g", 5},  {"z", 6},  {"x", 7},  {"c", 8},
      {"v", 9},  {"b", 11}, {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16}, {"t", 17}, {"1", 18},
      {"2", 19}, {"3", 20}, {"4", 21}, {"6", 22}, {"5", 23}, {"=", 24}, {"9", 25}, {"7", 26}, {"-", 27},
      {"8", 28}, {"0", 29}, {"]", 30}, {"o", 31}, {"u", 32}, {"[", 33}, {"i", 34}, {"p", 35}, {"l", 37},
      {"j", 38}, {"'", 39}, {"k", 40}, {";", 41}, {"\\", 42}, {",", 43}, {"/", 44}, {"n", 45}, {"m", 46},
      {".", 47}, {"`", 50},
  };
  return table;
}

const std::map<std::string, Modifier>& modifiers() {
  static const std::map<std::string, Modifier> table{
      {"cmd", {55, kFlagCommand}},
      {"shift", {56, kFlagShift}},
      {"option", {58, kFlagOption}},
      {"ctrl", {59, kFlagControl}},
  };
  return table;
}

std::optional<uint16_t> code(std::string_view name) {
  std::string lower = unicode::toLower(name);
  if (auto it = named().find(lower); it != named().end()) return it->second;
  if (unicode::graphemeCount(lower) == 1) {
    if (auto it = characters().find(lower); it != characters().end()) return it->second;
  }
  return std::nullopt;
}

uint32_t keysymForCode(uint16_t code) {
  // Named keys and the modifier keys.
  switch (code) {
    case 36: return 0xff0d;   // Return
    case 48: return 0xff09;   // Tab
    case 49: return 0x0020;   // space
    case 51: return 0xff08;   // BackSpace
    case 53: return 0xff1b;   // Escape
    case 117: return 0xffff;  // Delete
    case 115: return 0xff50;  // Home
    case 119: return 0xff57;  // End
    case 116: return 0xff55;  // Prior
    case 121: return 0xff56;  // Next
    case 123: return 0xff51;  // Left
    case 124: return 0xff53;  // Right
    case 125: return 0xff54;  // Down
    case 126: return 0xff52;  // Up
    case 122: return 0xffbe;  // F1
    case 120: return 0xffbf;  // F2
    case 99: return 0xffc0;   // F3
    case 118: return 0xffc1;  // F4
    case 96: return 0xffc2;   // F5
    case 97: return 0xffc3;   // F6
    case 98: return 0xffc4;   // F7
    case 100: return 0xffc5;  // F8
    case 101: return 0xffc6;  // F9
    case 109: return 0xffc7;  // F10
    case 103: return 0xffc8;  // F11
    case 111: return 0xffc9;  // F12
    case 55: return 0xffeb;   // Super_L
    case 56: return 0xffe1;   // Shift_L
    case 58: return 0xffe9;   // Alt_L
    case 59: return 0xffe3;   // Control_L
    default: break;
  }
  // Letters, digits and punctuation: their keysym is their (Latin-1) character.
  for (const auto& [ch, c] : characters()) {
    if (c == code) return static_cast<unsigned char>(ch[0]);
  }
  return 0;
}

uint16_t xModifierMask(uint64_t flags) {
  uint16_t mask = 0;
  if (flags & kFlagShift) mask |= 1u << 0;    // ShiftMask
  if (flags & kFlagControl) mask |= 1u << 2;  // ControlMask
  if (flags & kFlagOption) mask |= 1u << 3;   // Mod1Mask
  if (flags & kFlagCommand) mask |= 1u << 6;  // Mod4Mask
  return mask;
}

}  // namespace quorl::courier::Keys
