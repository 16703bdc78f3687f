#pragma once
// Screenshots drawn for the tests and benchmarks: a cairo image surface with
// plain rectangles and pango text at user-interface sizes, encoded as PNG.
#include <cstdint>
#include <memory>
#include <string>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace quorl::spotter::testing {

// A pixel rectangle of the screenshot, top-left origin.
struct Box {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class Screenshot {
 public:
  Screenshot(int width, int height, uint32_t background = 0xffffff);
  ~Screenshot();
  Screenshot(const Screenshot&) = delete;
  Screenshot& operator=(const Screenshot&) = delete;

  void fill(const Box& box, uint32_t colour);
  // Draws one line of text with its top-left corner at (x, y) in a font
  // "DejaVu Sans" (or `family`) `pixelSize` pixels high; returns the ink box.
  Box text(int x, int y, const std::string& text, double pixelSize, uint32_t colour,
           const std::string& family = "DejaVu Sans", bool bold = false);
  // The ink box text() would give, without drawing.
  Box measure(const std::string& text, double pixelSize, const std::string& family = "DejaVu Sans",
              bool bold = false);
  std::string png() const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_;
  int height_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

std::string base64(const std::string& bytes);

}  // namespace quorl::spotter::testing
