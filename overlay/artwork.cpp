#include "overlay/artwork.hpp"

#include <algorithm>
#include <cmath>

namespace quorl::overlay {
namespace {

void setColour(cairo_t* cr, const Rgb& c, double alpha) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  r = std::min({r, w / 2, h / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

double roundedRectDistance(double px, double py, double x, double y, double w, double h, double r) {
  double hx = w / 2, hy = h / 2;
  r = std::min({r, hx, hy});
  double qx = std::fabs(px - x - hx) - (hx - r);
  double qy = std::fabs(py - y - hy) - (hy - r);
  return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - r;
}

const char* kTag = "QuorlAI";

}  // namespace

// ---- text

PangoText::PangoText() {
  fontMap_ = pango_cairo_font_map_new();
  context_ = pango_font_map_create_context(fontMap_);
  struct FaceStyle {
    PangoWeight weight;
    double pixels;
  } styles[4] = {{PANGO_WEIGHT_MEDIUM, 12}, {PANGO_WEIGHT_NORMAL, 12}, {PANGO_WEIGHT_BOLD, 9.5},
                {PANGO_WEIGHT_SEMIBOLD, 14}};  // the hand, drawn as a text glyph
  for (int i = 0; i < 4; ++i) {
    faces_[i] = pango_font_description_new();
    pango_font_description_set_family(faces_[i], "Sans");
    pango_font_description_set_weight(faces_[i], styles[i].weight);
    pango_font_description_set_absolute_size(faces_[i], styles[i].pixels * PANGO_SCALE);
  }
}

PangoText::~PangoText() {
  for (auto* f : faces_) pango_font_description_free(f);
  g_object_unref(context_);
  g_object_unref(fontMap_);
}

PangoLayout* PangoText::layout(Face face, const std::string& text) {
  PangoLayout* l = pango_layout_new(context_);
  pango_layout_set_font_description(l, faces_[static_cast<int>(face)]);
  pango_layout_set_text(l, text.data(), static_cast<int>(text.size()));
  return l;
}

std::pair<double, double> PangoText::size(Face face, const std::string& text) {
  PangoLayout* l = layout(face, text);
  PangoRectangle logical;
  pango_layout_get_extents(l, nullptr, &logical);
  g_object_unref(l);
  return {static_cast<double>(logical.width) / PANGO_SCALE, static_cast<double>(logical.height) / PANGO_SCALE};
}

double PangoText::titleWidth(const std::string& text) { return size(Face::title, text).first; }
double PangoText::noteWidth(const std::string& text) { return size(Face::note, text).first; }
double PangoText::tagWidth() { return size(Face::tag, kTag).first; }

void PangoText::draw(cairo_t* cr, Face face, const std::string& text, double x, double y) {
  PangoLayout* l = layout(face, text);
  pango_cairo_update_context(cr, context_);
  pango_layout_context_changed(l);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, l);
  g_object_unref(l);
}

// ---- cursor

double tagWidth(double textWidth) { return std::min(std::ceil(textWidth) + 8, 49.0); }

void drawCursor(cairo_t* cr, const CursorArtwork& art, PangoText& text) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_restore(cr);

  if (art.phase == CursorPhase::click && art.elapsed >= 0 && art.elapsed < 0.45) {
    double f = art.elapsed / 0.45;
    cairo_new_path(cr);
    cairo_arc(cr, 16, 16, 6 + 8 * f, 0, 2 * M_PI);
    setColour(cr, kAccent, 0.9 * (1 - f));
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
  }

  static const double arrow[][2] = {{16, 16}, {17, 37}, {23, 31}, {29, 42}, {34, 39}, {28, 28}, {38, 27}};
  cairo_new_path(cr);
  cairo_move_to(cr, arrow[0][0], arrow[0][1]);
  for (size_t i = 1; i < std::size(arrow); ++i) cairo_line_to(cr, arrow[i][0], arrow[i][1]);
  cairo_close_path(cr);
  setColour(cr, kAccent, 1);
  cairo_fill_preserve(cr);
  setColour(cr, kInk, 0.9);
  cairo_set_line_width(cr, 1.5);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_stroke(cr);

  double w = tagWidth(text.tagWidth());
  cairo_new_path(cr);
  roundedRect(cr, 38, 34, w, 16, 5);
  setColour(cr, kAccent, 1);
  cairo_fill_preserve(cr);
  setColour(cr, kInk, 0.25);
  cairo_set_line_width(cr, 0.5);
  cairo_stroke(cr);
  setColour(cr, kInk, 1);
  text.draw(cr, PangoText::Face::tag, kTag, 42, 35.5);
}

// ---- tab

void drawNotch(cairo_t* cr, const NotchView& view, PangoText& text) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_restore(cr);
  const auto& request = view.request();
  const auto& layout = view.layout();
  if (!request || !layout) return;
  bool working = request->state == PresenceState::working;
  const double W = view.width, H = NotchLayout::height, s = NotchLayout::shoulder, r = H / 2, k = 0.5523;
  const Rgb lime{160 / 255.0, 224 / 255.0, 21 / 255.0};
  const Rgb dark{0.047, 0.047, 0.047};
  const Rgb white{1, 1, 1};

  cairo_new_path(cr);
  cairo_move_to(cr, 0, 0);
  cairo_curve_to(cr, s * k, 0, s, s - s * k, s, s);
  cairo_line_to(cr, s, H - r);
  cairo_curve_to(cr, s, H - r + r * k, s + r - r * k, H, s + r, H);
  cairo_line_to(cr, W - s - r, H);
  cairo_curve_to(cr, W - s - r + r * k, H, W - s, H - r + r * k, W - s, H - r);
  cairo_line_to(cr, W - s, s);
  cairo_curve_to(cr, W - s, s - s * k, W - s * k, 0, W, 0);
  cairo_close_path(cr);
  setColour(cr, working ? dark : lime, 1);
  cairo_fill(cr);

  double glyph = view.glyphWidth();
  if (working) {
    cairo_new_path(cr);
    cairo_arc(cr, 25, 14, 3, 0, 2 * M_PI);
    setColour(cr, lime, 1);
    cairo_fill(cr);
  } else {
    // The pointing hand, drawn as text.
    const std::string hand = "\u261D";
    auto [hw, hh] = text.size(PangoText::Face::hand, hand);
    setColour(cr, kInk, 1);
    text.draw(cr, PangoText::Face::hand, hand, 22 + (14 - hw) / 2, 14 - hh / 2);
  }

  auto [tw, th] = text.size(PangoText::Face::title, request->title);
  double titleX = 22 + glyph + NotchLayout::gap;
  if (working) setColour(cr, white, 0.96);
  else setColour(cr, kInk, 1);
  text.draw(cr, PangoText::Face::title, request->title, titleX, (H - th) / 2);

  if (layout->showsNote && request->note) {
    auto [nw, nh] = text.size(PangoText::Face::note, *request->note);
    (void)nw;
    setColour(cr, white, 0.6);
    text.draw(cr, PangoText::Face::note, *request->note, titleX + std::ceil(tw) + NotchLayout::noteGap,
              (H - nh) / 2);
  }

  if (working) {
    double cx = W - 33 + 9, cy = 14;
    cairo_new_path(cr);
    cairo_arc(cr, cx, cy, 9, 0, 2 * M_PI);
    setColour(cr, white, view.stopped() ? 0.08 : view.hovering() ? 0.26 : 0.14);
    cairo_fill(cr);
    cairo_new_path(cr);
    roundedRect(cr, cx - 3.5, cy - 3.5, 7, 7, 1.5);
    setColour(cr, white, view.stopped() ? 0.4 : 0.92);
    cairo_fill(cr);
  }
}

// ---- glow

std::vector<Rgb> conicTable(const std::vector<Rgb>& stops) {
  std::vector<Rgb> table(1024);
  if (stops.empty()) return table;
  size_t segments = stops.size() > 1 ? stops.size() - 1 : 1;
  for (size_t i = 0; i < table.size(); ++i) {
    double t = static_cast<double>(i) / table.size() * segments;
    size_t a = std::min(static_cast<size_t>(t), segments - 1);
    size_t b = std::min(a + 1, stops.size() - 1);
    double f = t - static_cast<double>(a);
    table[i] = {stops[a].r + (stops[b].r - stops[a].r) * f, stops[a].g + (stops[b].g - stops[a].g) * f,
                stops[a].b + (stops[b].b - stops[a].b) * f};
  }
  return table;
}

bool GlowRaster::prepare(const GlowView& view) {
  int w = static_cast<int>(std::lround(view.width)), h = static_cast<int>(std::lround(view.height));
  const SoftRing* ring = view.ringImage.get();
  if (w == width_ && h == height_ && view.radius == radius_ && ring == ring_) return false;
  width_ = w;
  height_ = h;
  radius_ = view.radius;
  ring_ = ring;
  band_.clear();
  bandDepth_ = 0;
  coverage_.assign(static_cast<size_t>(std::max(w, 0)) * std::max(h, 0), 0);
  if (w <= 0 || h <= 0) return true;

  const double R = view.radius, scale = view.scale > 0 ? view.scale : 1;
  const double inset = ring ? ring->geometry.inset : 0, side = ring ? ring->geometry.side : 0;
  const int n = ring ? ring->geometry.pixels : 0;
  // Where a point of the window falls in the ring image (nine-part stretch).
  auto ringCoordinate = [&](double p, double extent) {
    if (p < inset) return p;
    if (p > extent - inset) return side - (extent - p);
    return inset + 1;
  };
  auto ringAlpha = [&](double px, double py) -> double {
    if (!ring) return 0;
    int ix = std::clamp(static_cast<int>(ringCoordinate(px, w) * scale), 0, n - 1);
    int iy = std::clamp(static_cast<int>(ringCoordinate(py, h) * scale), 0, n - 1);
    return ring->alpha[static_cast<size_t>(iy) * n + ix] / 255.0;
  };
  const double lineRadius = std::max(R - 2, 0.0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      // Only the edges can carry anything: skip the inside quickly.
      int edge = std::min({x, y, w - 1 - x, h - 1 - y});
      if (edge > inset + 4 && edge > R + 4) {
        x = w - 1 - edge;  // jump to the right-hand band of this row
        continue;
      }
      double px = x + 0.5, py = y + 0.5;
      double clip = std::clamp(0.5 - roundedRectDistance(px, py, 0, 0, w, h, R), 0.0, 1.0);
      if (clip <= 0) continue;
      double light = ringAlpha(px, py) * clip;
      double lineDistance = std::fabs(roundedRectDistance(px, py, 2, 2, w - 4, h - 4, lineRadius));
      double line = std::clamp(1.5 - lineDistance, 0.0, 1.0) * clip;
      auto l8 = static_cast<uint8_t>(std::lround(light * 255));
      auto n8 = static_cast<uint8_t>(std::lround(line * 255));
      if (!l8 && !n8) continue;
      double angle = std::atan2(px - w / 2.0, -(py - h / 2.0)) / (2 * M_PI);
      angle -= std::floor(angle);
      // The glow shows only where the line leaves room: light × (1 − line).
      auto rest = static_cast<uint8_t>(std::lround(light * (1 - line) * 255));
      band_.push_back({static_cast<uint32_t>(y * w + x), static_cast<uint16_t>(std::lround(angle * 1024) & 1023),
                       rest, n8});
      double a = line + light * (1 - line);
      coverage_[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(std::lround(a * 255));
      bandDepth_ = std::max(bandDepth_, edge + 1);
    }
  }
  return true;
}

void GlowRaster::render(const GlowView& view, uint64_t now, uint32_t* pixels, bool opaque) const {
  // Per frame: both colour wheels as 8-bit tables, turned by the animation; per
  // pixel: two table look-ups and a weighted sum in integers.
  struct C8 {
    uint32_t r, g, b;
  };
  auto table8 = [](const std::vector<Rgb>& stops) {
    std::vector<C8> t;
    t.reserve(1024);
    for (const Rgb& c : conicTable(stops))
      t.push_back({static_cast<uint32_t>(std::lround(c.r * 255)), static_cast<uint32_t>(std::lround(c.g * 255)),
                   static_cast<uint32_t>(std::lround(c.b * 255))});
    return t;
  };
  const std::vector<C8> lineTable = table8(view.lineColours);
  const std::vector<C8> lightTable = table8(view.lightColours);
  // A gradient turned clockwise by t shows at angle a the colour of a − t.
  const uint32_t lineShift = static_cast<uint32_t>(std::lround(view.lineTurn(now) * 1024)) & 1023;
  const uint32_t lightShift = static_cast<uint32_t>(std::lround(view.lightTurn(now) * 1024)) & 1023;
  const uint32_t breathe = static_cast<uint32_t>(std::lround(std::clamp(view.lightAlpha(now), 0.0, 1.0) * 256));
  for (const BandPixel& p : band_) {
    const C8& cl = lightTable[(p.angle - lightShift) & 1023];
    const C8& cn = lineTable[(p.angle - lineShift) & 1023];
    uint32_t wN = p.line, wL = (p.light * breathe) >> 8;
    uint32_t a = std::min<uint32_t>(wN + wL, 255);
    uint32_t r = cn.r * wN + cl.r * wL, g = cn.g * wN + cl.g * wL, b = cn.b * wN + cl.b * wL;
    if (opaque) {
      if (a == 0) continue;
      r /= a;
      g /= a;
      b /= a;
      a = 255;
    } else {
      r = (r * 257 + 32768) >> 16;  // ÷ 255
      g = (g * 257 + 32768) >> 16;
      b = (b * 257 + 32768) >> 16;
    }
    pixels[p.offset] = a << 24 | std::min<uint32_t>(r, 255) << 16 | std::min<uint32_t>(g, 255) << 8 |
                       std::min<uint32_t>(b, 255);
  }
}

}  // namespace quorl::overlay
