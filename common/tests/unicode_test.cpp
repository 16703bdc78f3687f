#include "common/unicode.hpp"

#include <gtest/gtest.h>

namespace u = quorl::unicode;

TEST(Unicode, RepairsInvalidBytes) {
  EXPECT_EQ(u::repairUtf8("ok"), "ok");
  EXPECT_EQ(u::repairUtf8("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(u::repairUtf8("\xC3"), "\xEF\xBF\xBD");           // truncated sequence
  EXPECT_EQ(u::repairUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(u::repairUtf8("é😀"), "é😀");
}

TEST(Unicode, CountsUserPerceivedCharacters) {
  struct Case {
    const char* text;
    size_t count;
  };
  const Case cases[] = {
      {"", 0}, {"abc", 3}, {"e\xCC\x81", 1},                          // e + combining acute
      {"👩‍👩‍👧", 1},                                                    // ZWJ family
      {"🇫🇷🇩🇪", 2}, {"\r\n", 1}, {"한국어", 3},
  };
  for (const auto& c : cases) EXPECT_EQ(u::graphemeCount(c.text), c.count) << c.text;
  EXPECT_EQ(u::graphemes("ae\xCC\x81"), (std::vector<std::string>{"a", "e\xCC\x81"}));
}

TEST(Unicode, LowerCasesFully) {
  EXPECT_EQ(u::toLower("RETURN"), "return");
  EXPECT_EQ(u::toLower("F5"), "f5");
  EXPECT_EQ(u::toLower("İ"), "i\xCC\x87");  // full mapping, two code points
  EXPECT_EQ(u::toLower("ÀÉ"), "àé");
}

TEST(Unicode, CharacterClasses) {
  EXPECT_TRUE(u::isWhiteSpace(U' '));
  EXPECT_TRUE(u::isWhiteSpace(U'\u00A0'));
  EXPECT_TRUE(u::isWhiteSpace(U'\u2028'));
  EXPECT_FALSE(u::isWhiteSpace(U'x'));
  EXPECT_TRUE(u::isControl(U'\x07'));
  EXPECT_FALSE(u::isControl(U'\u200B'));
  EXPECT_TRUE(u::isFormat(U'\u200B'));
  EXPECT_TRUE(u::isFormat(U'\u202E'));
  EXPECT_TRUE(u::isSpaceSeparator(U'\u3000'));
  EXPECT_FALSE(u::isSpaceSeparator(U'\t'));
  EXPECT_TRUE(u::hasWhiteSpaceOrControl("com.example app"));
  EXPECT_FALSE(u::hasWhiteSpaceOrControl("org.gnome.TextEditor"));
}

TEST(Unicode, ConvertsBetweenForms) {
  EXPECT_EQ(u::codePoints("a😀"), (std::u32string{U'a', U'\U0001F600'}));
  EXPECT_EQ(u::fromCodePoints(U"a😀"), "a😀");
  EXPECT_EQ(u::toUtf16("😀").size(), 2u);
}
