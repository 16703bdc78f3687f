#include "text_spotter/tests/screenshot.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>

namespace quorl::spotter::testing {

namespace {

void setColour(cairo_t* cr, uint32_t colour) {
  cairo_set_source_rgb(cr, ((colour >> 16) & 0xff) / 255.0, ((colour >> 8) & 0xff) / 255.0,
                       (colour & 0xff) / 255.0);
}

PangoLayout* layoutFor(cairo_t* cr, const std::string& text, double pixelSize,
                       const std::string& family, bool bold) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, family.c_str());
  pango_font_description_set_absolute_size(font, pixelSize * PANGO_SCALE);
  pango_font_description_set_weight(font, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_text(layout, text.c_str(), -1);
  return layout;
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

Screenshot::Screenshot(int width, int height, uint32_t background)
    : width_(width),
      height_(height),
      surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height)),
      cr_(cairo_create(surface_)) {
  fill(Box{0, 0, width, height}, background);
}

Screenshot::~Screenshot() {
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

void Screenshot::fill(const Box& box, uint32_t colour) {
  setColour(cr_, colour);
  cairo_rectangle(cr_, box.x, box.y, box.width, box.height);
  cairo_fill(cr_);
}

Box Screenshot::measure(const std::string& text, double pixelSize, const std::string& family,
                        bool bold) {
  PangoLayout* layout = layoutFor(cr_, text, pixelSize, family, bold);
  PangoRectangle ink;
  pango_layout_get_pixel_extents(layout, &ink, nullptr);
  g_object_unref(layout);
  return Box{ink.x, ink.y, ink.width, ink.height};
}

Box Screenshot::text(int x, int y, const std::string& text, double pixelSize, uint32_t colour,
                     const std::string& family, bool bold) {
  PangoLayout* layout = layoutFor(cr_, text, pixelSize, family, bold);
  PangoRectangle ink;
  pango_layout_get_pixel_extents(layout, &ink, nullptr);
  setColour(cr_, colour);
  cairo_move_to(cr_, x, y);
  pango_cairo_show_layout(cr_, layout);
  g_object_unref(layout);
  return Box{x + ink.x, y + ink.y, ink.width, ink.height};
}

std::string Screenshot::png() const {
  std::string bytes;
  cairo_surface_flush(surface_);
  cairo_surface_write_to_png_stream(surface_, appendBytes, &bytes);
  return bytes;
}

std::string base64(const std::string& bytes) {
  gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(text);
  g_free(text);
  return out;
}

}  // namespace quorl::spotter::testing
