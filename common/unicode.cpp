#include "common/unicode.hpp"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <memory>

namespace quorl::unicode {

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = static_cast<int32_t>(bytes.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
  }
  return out;
}

std::u32string codePoints(std::string_view utf8) {
  std::u32string out;
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t length = static_cast<int32_t>(utf8.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    out.push_back(c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
  }
  return out;
}

std::string fromCodePoints(std::u32string_view cps) {
  std::string out;
  for (char32_t cp : cps) {
    uint8_t buf[4];
    int32_t n = 0;
    UBool error = false;
    U8_APPEND(buf, n, 4, static_cast<UChar32>(cp), error);
    if (error) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    }
  }
  return out;
}

std::u16string toUtf16(std::string_view utf8) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  return std::u16string(reinterpret_cast<const char16_t*>(u.getBuffer()), static_cast<size_t>(u.length()));
}

std::vector<std::string> graphemes(std::string_view utf8) {
  std::vector<std::string> out;
  if (utf8.empty()) return out;
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    for (char32_t cp : codePoints(utf8)) out.push_back(fromCodePoints(std::u32string(1, cp)));
    return out;
  }
  it->setText(text);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    std::string piece;
    text.tempSubStringBetween(start, end).toUTF8String(piece);
    out.push_back(std::move(piece));
  }
  return out;
}

size_t graphemeCount(std::string_view utf8) {
  if (utf8.empty()) return 0;
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return codePoints(utf8).size();
  it->setText(text);
  size_t count = 0;
  it->first();
  while (it->next() != icu::BreakIterator::DONE) ++count;
  return count;
}

std::string toLower(std::string_view utf8) {
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  text.toLower(icu::Locale::getRoot());
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool isWhiteSpace(char32_t cp) { return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE); }
bool isControl(char32_t cp) { return u_charType(static_cast<UChar32>(cp)) == U_CONTROL_CHAR; }
bool isFormat(char32_t cp) { return u_charType(static_cast<UChar32>(cp)) == U_FORMAT_CHAR; }
bool isSpaceSeparator(char32_t cp) { return u_charType(static_cast<UChar32>(cp)) == U_SPACE_SEPARATOR; }

bool hasWhiteSpaceOrControl(std::string_view utf8) {
  for (char32_t cp : codePoints(utf8)) {
    if (isWhiteSpace(cp) || isControl(cp) || isFormat(cp)) return true;
  }
  return false;
}

}  // namespace quorl::unicode
