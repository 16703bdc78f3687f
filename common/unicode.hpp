#pragma once
// Unicode helpers on ICU.  Strings are UTF-8 throughout.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorl::unicode {

// Replaces every ill-formed UTF-8 sequence with U+FFFD (the maximal-subpart
// rule ICU uses, so one bad byte becomes one replacement character).
std::string repairUtf8(std::string_view bytes);

// Number of user-perceived characters (extended grapheme clusters).
size_t graphemeCount(std::string_view utf8);

// The extended grapheme clusters of the text, in order.
std::vector<std::string> graphemes(std::string_view utf8);

// Full (not simple) lower-casing, root locale: "İ" becomes "i̇", "ẞ" "ß".
std::string toLower(std::string_view utf8);

// Code points of the text (ill-formed sequences read as U+FFFD).
std::u32string codePoints(std::string_view utf8);
std::string fromCodePoints(std::u32string_view cps);
std::u16string toUtf16(std::string_view utf8);

bool isWhiteSpace(char32_t cp);  // White_Space property
bool isControl(char32_t cp);     // general category Cc
bool isFormat(char32_t cp);      // general category Cf
bool isSpaceSeparator(char32_t cp);  // general category Zs

// True when any code point of the text is White_Space, Cc or Cf.
bool hasWhiteSpaceOrControl(std::string_view utf8);

}  // namespace quorl::unicode
