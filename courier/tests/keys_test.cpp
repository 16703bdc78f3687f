#include "courier/keys.hpp"

#include <gtest/gtest.h>

namespace quorl::courier {
namespace {

TEST(Keys, TablesHoldTheirEntries) {
  EXPECT_EQ(Keys::named().size(), 28u);
  EXPECT_EQ(Keys::characters().size(), 47u);
  EXPECT_EQ(Keys::modifiers().size(), 4u);
  EXPECT_EQ(Keys::characters().count("A"), 0u);
  EXPECT_EQ(Keys::characters().count("!"), 0u);
  for (const auto& [ch, code] : Keys::characters()) EXPECT_NE(code, 10) << ch;
}

TEST(Keys, CodeOfNames) {
  struct Case {
    const char* name;
    std::optional<uint16_t> code;
  };
  const Case cases[] = {
      {"return", 36}, {"Return", 36}, {"RETURN", 36}, {"enter", 36},  {"tab", 48},         {"space", 49},
      {"delete", 51}, {"backspace", 51}, {"forwarddelete", 117},        {"escape", 53},      {"home", 115},
      {"end", 119},   {"pageup", 116}, {"pagedown", 121}, {"left", 123}, {"right", 124},     {"down", 125},
      {"up", 126},    {"F5", 96},     {"f1", 122},    {"f12", 111},   {"a", 0},            {"A", 0},
      {"s", 1},       {"0", 29},      {"`", 50},      {"\\", 42},     {"'", 39},           {".", 47},
      {"!", std::nullopt},            {"ab", std::nullopt},            {"", std::nullopt},  {"cmd", std::nullopt},
      {"\xC2\xA7", std::nullopt},     // section sign
      {"\xC3\x89", std::nullopt},     // capital E acute lower-cases to a letter outside the table
      {"e\xCC\x81", std::nullopt},    // e + combining acute: one character, not in the table
      {"F13", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Keys::code(c.name), c.code) << c.name;
}

TEST(Keys, ModifierNamesAreExact) {
  ASSERT_TRUE(Keys::modifiers().count("shift"));
  EXPECT_EQ(Keys::modifiers().at("cmd").code, 55);
  EXPECT_EQ(Keys::modifiers().at("cmd").flag, 0x100000u);
  EXPECT_EQ(Keys::modifiers().at("shift").code, 56);
  EXPECT_EQ(Keys::modifiers().at("shift").flag, 0x20000u);
  EXPECT_EQ(Keys::modifiers().at("option").code, 58);
  EXPECT_EQ(Keys::modifiers().at("option").flag, 0x80000u);
  EXPECT_EQ(Keys::modifiers().at("ctrl").code, 59);
  EXPECT_EQ(Keys::modifiers().at("ctrl").flag, 0x40000u);
  for (const char* refused : {"Shift", "Cmd", "command", "control", "alt"}) {
    EXPECT_EQ(Keys::modifiers().count(refused), 0u) << refused;
  }
}

TEST(Keys, EveryCodeHasAKeysym) {
  for (const auto& [name, code] : Keys::named()) EXPECT_NE(Keys::keysymForCode(code), 0u) << name;
  for (const auto& [ch, code] : Keys::characters()) {
    EXPECT_EQ(Keys::keysymForCode(code), static_cast<unsigned char>(ch[0])) << ch;
  }
  EXPECT_EQ(Keys::keysymForCode(36), 0xff0du);   // Return
  EXPECT_EQ(Keys::keysymForCode(117), 0xffffu);  // Delete (forward)
  EXPECT_EQ(Keys::keysymForCode(55), 0xffebu);   // Super_L
  EXPECT_EQ(Keys::keysymForCode(56), 0xffe1u);   // Shift_L
  EXPECT_EQ(Keys::keysymForCode(58), 0xffe9u);   // Alt_L
  EXPECT_EQ(Keys::keysymForCode(59), 0xffe3u);   // Control_L
  EXPECT_EQ(Keys::keysymForCode(10), 0u);
}

TEST(Keys, FlagsMapToXModifiers) {
  EXPECT_EQ(Keys::xModifierMask(0), 0);
  EXPECT_EQ(Keys::xModifierMask(Keys::kFlagShift), 0x1);
  EXPECT_EQ(Keys::xModifierMask(Keys::kFlagControl), 0x4);
  EXPECT_EQ(Keys::xModifierMask(Keys::kFlagOption), 0x8);
  EXPECT_EQ(Keys::xModifierMask(Keys::kFlagCommand), 0x40);
  EXPECT_EQ(Keys::xModifierMask(Keys::kFlagCommand | Keys::kFlagShift | 0x100), 0x41);
}

}  // namespace
}  // namespace quorl::courier
