// What the three views draw, checked on their pixels.
#include <gtest/gtest.h>

#include "overlay/artwork.hpp"

using namespace quorl::overlay;

namespace {

struct Pixels {
  int width, height;
  std::vector<uint32_t> data;
  Pixels(int w, int h) : width(w), height(h), data(static_cast<size_t>(w) * h, 0) {}
  uint32_t at(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
  int alpha(int x, int y) const { return static_cast<int>(at(x, y) >> 24); }
  template <typename F>
  void draw(F&& f) {
    auto* s = cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(data.data()), CAIRO_FORMAT_ARGB32,
                                                  width, height, width * 4);
    cairo_t* cr = cairo_create(s);
    f(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
  }
};

bool lime(uint32_t px) {
  int r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
  return (px >> 24) == 255 && std::abs(r - 160) < 12 && std::abs(g - 224) < 12 && std::abs(b - 21) < 12;
}

}  // namespace

TEST(OverlayArtwork, TagIsAtMost49Wide) {
  EXPECT_EQ(tagWidth(30.2), 39);
  EXPECT_EQ(tagWidth(41), 49);
  EXPECT_EQ(tagWidth(300), 49);
  PangoText text;
  EXPECT_GT(text.tagWidth(), 20);
  EXPECT_LE(tagWidth(text.tagWidth()), 49);
}

TEST(OverlayArtwork, CursorArrowRingAndTag) {
  PangoText text;
  struct Case {
    const char* what;
    CursorPhase phase;
    double elapsed;
    bool ring;
  };
  const Case cases[] = {
      {"click at 0 s", CursorPhase::click, 0, true},
      {"click at 0.45 s", CursorPhase::click, 0.45, false},
      {"move at 0 s", CursorPhase::move, 0, false},
  };
  for (const auto& c : cases) {
    Pixels px(88, 56);
    CursorArtwork art{c.phase, c.elapsed};
    px.draw([&](cairo_t* cr) { drawCursor(cr, art, text); });
    EXPECT_TRUE(lime(px.at(20, 28))) << c.what;  // inside the arrow
    EXPECT_TRUE(lime(px.at(40, 42))) << c.what;  // the tag, left of its text
    EXPECT_EQ(px.alpha(87, 10), 0) << c.what;    // beyond the tag: clear
    // The ring starts at radius 6 around the tip: left of the tip, where the arrow is not.
    EXPECT_EQ(px.alpha(10, 16) > 100, c.ring) << c.what;
  }
}

TEST(OverlayArtwork, NotchDrawsTabStopAndTitle) {
  PangoText text;
  NotchView view(text);
  PresenceRequest r;
  r.id = 1;
  r.pid = 1;
  r.windowId = 1;
  r.title = "Editing";
  r.stop = "Stop";
  auto layout = view.configure(r, 1000);
  ASSERT_TRUE(layout);
  view.width = layout->width;
  Pixels px(static_cast<int>(layout->width), 28);
  px.draw([&](cairo_t* cr) { drawNotch(cr, view, text); });
  EXPECT_EQ(px.alpha(0, 20), 0);                    // beside the left shoulder
  EXPECT_EQ(px.at(12, 14) & 0xffffff, 0x0c0c0cu);   // dark body
  EXPECT_TRUE(lime(px.at(25, 14)));                 // the status dot
  int cx = px.width - 24;
  EXPECT_GT((px.at(cx, 14) & 0xff), 200u);          // the stop square, nearly white
  EXPECT_LT((px.at(cx - 7, 14) & 0xff), 80u);       // the control's faint disc
}

TEST(OverlayArtwork, GlowLivesInABandAlongTheEdges) {
  GlowView glow;
  glow.update(400, 300, 10, PresenceState::turn, 1, true, 0);
  GlowRaster raster;
  ASSERT_TRUE(raster.prepare(glow));
  EXPECT_FALSE(raster.prepare(glow));  // unchanged geometry: nothing rebuilt
  std::vector<uint32_t> px(400 * 300, 0);
  raster.render(glow, 0, px.data(), false);
  auto alpha = [&](int x, int y) { return static_cast<int>(px[y * 400 + x] >> 24); };
  EXPECT_GT(alpha(2, 150), 200);   // the line, 1 to 3 from the left edge
  EXPECT_GT(alpha(10, 150), 60);   // the glow
  EXPECT_GT(alpha(10, 150), alpha(30, 150));
  EXPECT_EQ(alpha(200, 150), 0);   // the inside stays clear
  EXPECT_EQ(alpha(0, 0), 0);       // outside the rounded corner
  EXPECT_LE(raster.bandDepth(), 45);
  // Turn: plain lime (premultiplied, so compare the line's opaque pixels).
  EXPECT_TRUE(lime(px[150 * 400 + 2]));

  // Without a compositor the colours are written opaque.
  std::fill(px.begin(), px.end(), 0);
  raster.render(glow, 0, px.data(), true);
  EXPECT_EQ(alpha(20, 150), 255);
  EXPECT_EQ(alpha(200, 150), 0);
}
