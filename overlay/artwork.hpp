#pragma once
// Drawing of the three overlay views with cairo and pango, into premultiplied
// ARGB32 pixels (cairo's image format, which is also the X server's 32-bit and
// 24-bit TrueColor pixel layout on a little-endian machine).
#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "overlay/controller.hpp"

namespace quorl::overlay {

// ink and accent of the cursor.
constexpr Rgb kAccent{0.627, 0.878, 0.082};
constexpr Rgb kInk{0.067, 0.067, 0.067};

// Text of the views through pango; sizes are in pixels (one point = one pixel).
class PangoText : public NotchFonts {
 public:
  PangoText();
  ~PangoText() override;
  PangoText(const PangoText&) = delete;
  PangoText& operator=(const PangoText&) = delete;

  double titleWidth(const std::string& text) override;
  double noteWidth(const std::string& text) override;
  double tagWidth();  // "QuorlAI", 9.5 px bold

  // Draws text with its top-left corner at (x, y) in the current source colour;
  // returns its logical size.
  enum class Face { title, note, tag, hand };
  void draw(cairo_t* cr, Face face, const std::string& text, double x, double y);
  std::pair<double, double> size(Face face, const std::string& text);

 private:
  PangoLayout* layout(Face face, const std::string& text);
  PangoFontMap* fontMap_ = nullptr;
  PangoContext* context_ = nullptr;
  PangoFontDescription* faces_[4] = {};
};

// Draws the cursor (88 × 56): click ring, arrow and name tag.
void drawCursor(cairo_t* cr, const CursorArtwork& artwork, PangoText& text);
// The width of the name tag for a measured text width.
double tagWidth(double textWidth);
// Draws the tab (width × 28) for the view's state.
void drawNotch(cairo_t* cr, const NotchView& view, PangoText& text);

// Renders the glow of a GlowView into a width × height premultiplied ARGB buffer.
// The pixels that can be non-transparent lie in a band along the edges; they are
// found once per size, radius and ring and then recoloured for every frame.
class GlowRaster {
 public:
  // Rebuilds the band when the view's geometry changed; true when it did.
  bool prepare(const GlowView& view);
  // Writes the band's pixels for the moment `now` into `pixels` (stride = width).
  // `opaque`: colours without alpha (for a window without a compositor).
  void render(const GlowView& view, uint64_t now, uint32_t* pixels, bool opaque) const;
  // The glow's coverage (0..255) per pixel at full opacity, for shaping.
  const std::vector<uint8_t>& coverage() const { return coverage_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int bandDepth() const { return bandDepth_; }  // the band reaches this far inward
  size_t bandPixels() const { return band_.size(); }

 private:
  struct BandPixel {
    uint32_t offset;
    uint16_t angle;  // clockwise from up, 1/1024 turn
    uint8_t light;   // glow mask × outline clip, where the line does not cover it
    uint8_t line;    // coverage of the 2-point line
  };
  int width_ = 0, height_ = 0;
  double radius_ = -1;
  const SoftRing* ring_ = nullptr;
  int bandDepth_ = 0;
  std::vector<BandPixel> band_;
  std::vector<uint8_t> coverage_;
};

// A 1024-entry colour table of an evenly spaced gradient that wraps around.
std::vector<Rgb> conicTable(const std::vector<Rgb>& stops);

}  // namespace quorl::overlay
