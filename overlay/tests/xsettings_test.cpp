// Reading the user's animation preference from an XSETTINGS blob.
#include <gtest/gtest.h>

#include <string>

#include "overlay/xsettings.hpp"

using namespace quorl::overlay;

namespace {

// Builds a _XSETTINGS_SETTINGS blob in either byte order.
struct Blob {
  bool big;
  std::string bytes;
  int count = 0;
  explicit Blob(bool bigEndian) : big(bigEndian) {
    bytes.push_back(big ? 1 : 0);
    bytes.append(3, '\0');
    u32(7);   // serial
    u32(0);   // count, patched by done()
  }
  void u16(uint32_t v) {
    char b[2] = {static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff)};
    if (big) std::swap(b[0], b[1]);
    bytes.append(b, 2);
  }
  void u32(uint32_t v) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[big ? 3 - i : i] = static_cast<char>(v >> (8 * i) & 0xff);
    bytes.append(b, 4);
  }
  void head(int type, const std::string& name) {
    bytes.push_back(static_cast<char>(type));
    bytes.push_back(0);
    u16(static_cast<uint32_t>(name.size()));
    bytes += name;
    bytes.append((4 - name.size() % 4) % 4, '\0');
    u32(1);  // last change
    ++count;
  }
  Blob& integer(const std::string& name, int32_t v) {
    head(0, name);
    u32(static_cast<uint32_t>(v));
    return *this;
  }
  Blob& text(const std::string& name, const std::string& v) {
    head(1, name);
    u32(static_cast<uint32_t>(v.size()));
    bytes += v;
    bytes.append((4 - v.size() % 4) % 4, '\0');
    return *this;
  }
  Blob& colour(const std::string& name) {
    head(2, name);
    bytes.append(8, '\x7f');
    return *this;
  }
  std::string done() {
    std::string out = bytes;
    for (int i = 0; i < 4; ++i) out[8 + (big ? 3 - i : i)] = static_cast<char>(count >> (8 * i) & 0xff);
    return out;
  }
};

}  // namespace

TEST(OverlayXSettings, FindsTheIntegerPastOtherKinds) {
  for (bool big : {false, true}) {
    std::string blob = Blob(big)
                           .text("Net/ThemeName", "Adwaita")
                           .colour("Gtk/Colour")
                           .integer("Gtk/EnableAnimations", 0)
                           .integer("Xft/DPI", 98304)
                           .done();
    EXPECT_EQ(xsettingsInteger(blob, "Gtk/EnableAnimations"), 0) << big;
    EXPECT_EQ(xsettingsInteger(blob, "Xft/DPI"), 98304) << big;
    EXPECT_EQ(xsettingsInteger(blob, "Net/ThemeName"), std::nullopt) << big;  // a string, not an integer
    EXPECT_EQ(xsettingsInteger(blob, "Missing"), std::nullopt) << big;
  }
}

TEST(OverlayXSettings, MalformedBlobsGiveNothing) {
  std::string blob = Blob(false).text("Net/ThemeName", "Adwaita").integer("Gtk/EnableAnimations", 0).done();
  for (size_t cut : {0ul, 5ul, 11ul, 20ul, blob.size() - 1})
    EXPECT_EQ(xsettingsInteger(blob.substr(0, cut), "Gtk/EnableAnimations"), std::nullopt) << cut;
  std::string badType = blob;
  badType[12] = 9;
  EXPECT_EQ(xsettingsInteger(badType, "Gtk/EnableAnimations"), std::nullopt);
}
