#include "overlay/x11_overlay.hpp"

#include <errno.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/shape.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "overlay/xsettings.hpp"
#include "shared/process_start.hpp"

namespace quorl::overlay {

// ---- panels

class XPanel : public OverlayPanel {
 public:
  XPanel(XOverlayPlatform& platform, int width, int height, uint32_t eventMask = XCB_EVENT_MASK_EXPOSURE)
      : p_(platform) {
    auto* c = p_.connection().xcb();
    window_ = xcb_generate_id(c);
    uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
    std::vector<uint32_t> values = {0, 0, 1, eventMask};
    if (p_.colormap()) {
      mask |= XCB_CW_COLORMAP;
      values.push_back(p_.colormap());
    }
    width_ = std::max(width, 1);
    height_ = std::max(height, 1);
    xcb_create_window(c, p_.depth(), window_, p_.connection().root(), -10000, -10000,
                      static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, p_.visual(), mask, values.data());
    const char* name = "agent-overlay";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(strlen(name)), name);
    int32_t pid = static_cast<int32_t>(getpid());
    xcb_atom_t netPid = p_.connection().atom("_NET_WM_PID");
    if (netPid != XCB_ATOM_NONE)
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, netPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
    gc_ = xcb_generate_id(c);
    xcb_create_gc(c, gc_, window_, 0, nullptr);
    pixels_.assign(static_cast<size_t>(width_) * height_, 0);
    setIgnoresMouse(true);
    p_.registerPanel(this);
  }

  ~XPanel() override {
    p_.unregisterPanel(this);
    auto* c = p_.connection().xcb();
    xcb_free_gc(c, gc_);
    xcb_destroy_window(c, window_);
    xcb_flush(c);
  }

  uint32_t windowNumber() const override { return window_; }

  void setFrame(const CursorRect& f) override {
    int x = static_cast<int>(std::lround(f.x)), y = static_cast<int>(std::lround(f.y));
    int w = std::max(1, static_cast<int>(std::lround(f.width)));
    int h = std::max(1, static_cast<int>(std::lround(f.height)));
    if (x == x_ && y == y_ && w == width_ && h == height_) return;
    bool resized = w != width_ || h != height_;
    x_ = x;
    y_ = y;
    width_ = w;
    height_ = h;
    uint32_t values[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(w),
                         static_cast<uint32_t>(h)};
    xcb_configure_window(p_.connection().xcb(), window_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    if (resized) {
      pixels_.assign(static_cast<size_t>(w) * h, 0);
      resized_ = true;
      full_ = dirty_ = true;
      applyInputShape();
    }
  }

  void orderAbove(uint32_t windowNumber) override {
    auto sibling = p_.stackingWindow(windowNumber);
    if (sibling && *sibling != window_ &&
        (!mapped_ || *sibling != sibling_ || p_.stackingGeneration() != generation_)) {
      uint32_t values[] = {*sibling, XCB_STACK_MODE_ABOVE};
      xcb_configure_window(p_.connection().xcb(), window_,
                           XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
      sibling_ = *sibling;
      generation_ = p_.stackingGeneration();
    }
    if (!mapped_) {
      // Content first, so that the window never shows stale or empty pixels.
      full_ = true;
      paint(true);
      xcb_map_window(p_.connection().xcb(), window_);
      mapped_ = true;
    }
  }

  void orderOut() override {
    if (!mapped_) return;
    xcb_unmap_window(p_.connection().xcb(), window_);
    mapped_ = false;
  }

  void setIgnoresMouse(bool ignores) override {
    ignoresMouse_ = ignores;
    applyInputShape();
  }

  void setNeedsDisplay() override { dirty_ = true; }

  void exposed() {
    full_ = true;
    dirty_ = true;
  }
  bool mapped() const { return mapped_; }

  // Draws and uploads when something changed (or, on a tick, when animating).
  void paint(bool tick) {
    if (!dirty_ && !(tick && animating())) return;
    std::vector<xcb_rectangle_t> changed;
    bool send = draw(full_, changed);
    if (send && changed.empty()) changed = {{0, 0, static_cast<uint16_t>(width_), static_cast<uint16_t>(height_)}};
    if (send)
      for (const auto& r : changed) upload(r);
    dirty_ = full_ = resized_ = false;
  }

  virtual void pointerEvent(xcb_generic_event_t*) {}

 protected:
  virtual bool animating() const { return false; }
  // Fills pixels_ (all of them when `full`: exposed, resized or first shown).
  // False when nothing changed; otherwise the rectangles to send (none: all).
  virtual bool draw(bool full, std::vector<xcb_rectangle_t>& changed) = 0;
  // The input region when the panel takes clicks (panel coordinates).
  virtual std::vector<xcb_rectangle_t> inputRegion() const { return {}; }

  void applyInputShape() {
    if (!p_.hasShapeInput()) return;
    std::vector<xcb_rectangle_t> rects;
    if (!ignoresMouse_) rects = inputRegion();
    xcb_shape_rectangles(p_.connection().xcb(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                         window_, 0, 0, static_cast<uint32_t>(rects.size()), rects.data());
  }

  // Shapes the window to the pixels whose coverage passes the threshold (no
  // compositor: whatever is not drawn must not be part of the window).
  void shapeBounding(const std::function<bool(int x, int y)>& inside) {
    auto* c = p_.connection().xcb();
    const xcb_setup_t* setup = xcb_get_setup(c);
    int pad = setup->bitmap_format_scanline_pad ? setup->bitmap_format_scanline_pad : 32;
    bool lsb = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_LSB_FIRST;
    size_t stride = static_cast<size_t>((width_ + pad - 1) / pad * pad / 8);
    std::vector<uint8_t> bits(stride * height_, 0);
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        if (inside(x, y)) bits[y * stride + x / 8] |= static_cast<uint8_t>(lsb ? 1u << (x % 8) : 0x80u >> (x % 8));
    xcb_pixmap_t mask = xcb_generate_id(c);
    xcb_create_pixmap(c, 1, mask, window_, static_cast<uint16_t>(width_), static_cast<uint16_t>(height_));
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, mask, 0, nullptr);
    putRows(mask, gc, 1, XCB_IMAGE_FORMAT_XY_PIXMAP, bits.data(), stride, 0, 0, width_, height_);
    xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, window_, 0, 0, mask);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, mask);
  }

  // put_image in pieces that fit the server's request size.
  void putRows(xcb_drawable_t d, xcb_gcontext_t gc, uint8_t depth, uint8_t format, const uint8_t* data,
               size_t stride, int x, int y, int w, int h) {
    auto* c = p_.connection().xcb();
    size_t maxBytes = static_cast<size_t>(xcb_get_maximum_request_length(c)) * 4 - 64;
    int rowsPerPut = std::max<int>(1, static_cast<int>(std::min<size_t>(maxBytes / stride, 4096)));
    for (int row = 0; row < h; row += rowsPerPut) {
      int rows = std::min(rowsPerPut, h - row);
      xcb_put_image(c, format, d, gc, static_cast<uint16_t>(w), static_cast<uint16_t>(rows),
                    static_cast<int16_t>(x), static_cast<int16_t>(y + row), 0, depth,
                    static_cast<uint32_t>(stride * rows), data + stride * row);
    }
  }

  void upload(const xcb_rectangle_t& r) {
    if (r.width == 0 || r.height == 0) return;
    std::vector<uint32_t> rows;
    const uint32_t* src;
    if (r.x == 0 && r.width == width_) {
      src = pixels_.data() + static_cast<size_t>(r.y) * width_;
    } else {
      rows.resize(static_cast<size_t>(r.width) * r.height);
      for (int j = 0; j < r.height; ++j)
        std::memcpy(&rows[static_cast<size_t>(j) * r.width], &pixels_[static_cast<size_t>(r.y + j) * width_ + r.x],
                    r.width * sizeof(uint32_t));
      src = rows.data();
    }
    putRows(window_, gc_, p_.depth(), XCB_IMAGE_FORMAT_Z_PIXMAP, reinterpret_cast<const uint8_t*>(src),
            static_cast<size_t>(r.width) * 4, r.x, r.y, r.width, r.height);
  }

  // Draws with cairo over the whole pixel buffer.
  template <typename F>
  void withCairo(F&& f) {
    cairo_surface_t* s = cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels_.data()),
                                                             CAIRO_FORMAT_ARGB32, width_, height_, width_ * 4);
    cairo_t* cr = cairo_create(s);
    f(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    cairo_surface_destroy(s);
  }

  // Without a compositor: shape to the drawn pixels and show them opaque.
  void opaqueAndShape(int threshold) {
    if (p_.composited()) return;
    shapeBounding([&](int x, int y) { return static_cast<int>(pixels_[y * width_ + x] >> 24) >= threshold; });
    for (uint32_t& px : pixels_) {
      uint32_t a = px >> 24;
      if (a == 0 || a == 255) continue;
      auto un = [&](uint32_t v) { return std::min<uint32_t>(255, (v * 255 + a / 2) / a); };
      px = 0xff000000u | un((px >> 16) & 0xff) << 16 | un((px >> 8) & 0xff) << 8 | un(px & 0xff);
    }
  }

  XOverlayPlatform& p_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  int x_ = -10000, y_ = -10000, width_ = 1, height_ = 1;
  std::vector<uint32_t> pixels_;
  bool mapped_ = false;
  bool ignoresMouse_ = true;
  bool dirty_ = true, full_ = true, resized_ = true;
  xcb_window_t sibling_ = 0;
  uint64_t generation_ = 0;
};

namespace {

class CursorPanel : public XPanel {
 public:
  CursorPanel(XOverlayPlatform& p, const CursorArtwork& art) : XPanel(p, 88, 56), art_(art) {}

 protected:
  bool draw(bool full, std::vector<xcb_rectangle_t>&) override {
    // The picture changes only with the phase and, during the ring, its frame.
    int ring = art_.phase == CursorPhase::click && art_.elapsed < 0.45 ? static_cast<int>(art_.elapsed * 60) : -1;
    std::pair<int, int> key{static_cast<int>(art_.phase), ring};
    if (!full && key == drawn_) return false;
    drawn_ = key;
    withCairo([&](cairo_t* cr) { drawCursor(cr, art_, p_.text()); });
    opaqueAndShape(128);
    return true;
  }

 private:
  const CursorArtwork& art_;
  std::pair<int, int> drawn_{-1, -2};
};

class NotchPanel : public XPanel {
 public:
  NotchPanel(XOverlayPlatform& p, NotchView& view)
      : XPanel(p, 200, 28,
               XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW |
                   XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE),
        view_(view) {
    view_.needsDisplay = [this] { setNeedsDisplay(); };
  }
  ~NotchPanel() override { view_.needsDisplay = nullptr; }

  void pointerEvent(xcb_generic_event_t* e) override {
    switch (e->response_type & 0x7f) {
      case XCB_ENTER_NOTIFY: {
        auto* ev = reinterpret_cast<xcb_enter_notify_event_t*>(e);
        view_.pointerMoved(ev->event_x, ev->event_y);
        break;
      }
      case XCB_MOTION_NOTIFY: {
        auto* ev = reinterpret_cast<xcb_motion_notify_event_t*>(e);
        view_.pointerMoved(ev->event_x, ev->event_y);
        break;
      }
      case XCB_LEAVE_NOTIFY:
        view_.pointerExited();
        break;
      case XCB_BUTTON_PRESS: {
        auto* ev = reinterpret_cast<xcb_button_press_event_t*>(e);
        if (ev->detail == 1) view_.pointerDown(ev->event_x, ev->event_y);
        break;
      }
      case XCB_BUTTON_RELEASE: {
        auto* ev = reinterpret_cast<xcb_button_release_event_t*>(e);
        if (ev->detail == 1) view_.pointerUp(ev->event_x, ev->event_y);
        break;
      }
    }
  }

 protected:
  std::vector<xcb_rectangle_t> inputRegion() const override {
    // The stop control (its circle grown by 3); the rest of the tab lets clicks through.
    int left = width_ - 36;
    if (left < 0) return {};
    return {{static_cast<int16_t>(left), 2, 24, 24}};
  }
  bool draw(bool, std::vector<xcb_rectangle_t>&) override {
    applyInputShape();
    withCairo([&](cairo_t* cr) { drawNotch(cr, view_, p_.text()); });
    opaqueAndShape(128);
    return true;
  }

 private:
  NotchView& view_;
};

class GlowPanel : public XPanel {
 public:
  GlowPanel(XOverlayPlatform& p, const GlowView& glow) : XPanel(p, 200, 200), glow_(glow) {}

 protected:
  // The glow turns slowly: 15 frames a second keep it smooth at half the cost of 30.
  static constexpr uint64_t kFrameNanoseconds = 66'000'000;
  bool animating() const override {
    return mapped_ && glow_.animating() && p_.uptimeNanoseconds() - lastFrame_ >= kFrameNanoseconds;
  }
  bool draw(bool full, std::vector<xcb_rectangle_t>& changed) override {
    lastFrame_ = p_.uptimeNanoseconds();
    bool rebuilt = raster_.prepare(glow_);
    if (raster_.width() != width_ || raster_.height() != height_) return true;  // not laid out yet
    if (full || rebuilt) std::fill(pixels_.begin(), pixels_.end(), 0u);
    raster_.render(glow_, p_.uptimeNanoseconds(), pixels_.data(), !p_.composited());
    if (!p_.composited() && (rebuilt || shapedFor_ != glow_.generation)) {
      // Ordered dithering turns the soft edge into a fading stipple.
      static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
      const auto& cov = raster_.coverage();
      shapeBounding([&](int x, int y) { return cov[static_cast<size_t>(y) * width_ + x] > bayer[y & 3][x & 3] * 16 + 8; });
      shapedFor_ = glow_.generation;
    }
    if (full || rebuilt) return true;
    int d = std::min({raster_.bandDepth(), width_ / 2, height_ / 2});
    auto u16 = [](int v) { return static_cast<uint16_t>(std::max(v, 0)); };
    auto i16 = [](int v) { return static_cast<int16_t>(v); };
    changed = {{0, 0, u16(width_), u16(d)},
               {0, i16(height_ - d), u16(width_), u16(d)},
               {0, i16(d), u16(d), u16(height_ - 2 * d)},
               {i16(width_ - d), i16(d), u16(d), u16(height_ - 2 * d)}};
    return true;
  }

 private:
  const GlowView& glow_;
  GlowRaster raster_;
  uint64_t shapedFor_ = 0;
  uint64_t lastFrame_ = 0;
};

bool selectionOwned(x11::Connection& conn, const std::string& name) {
  xcb_atom_t atom = conn.atom(name);
  if (atom == XCB_ATOM_NONE) return false;
  auto* reply = xcb_get_selection_owner_reply(conn.xcb(), xcb_get_selection_owner(conn.xcb(), atom), nullptr);
  bool owned = reply && reply->owner != XCB_NONE;
  free(reply);
  return owned;
}

}  // namespace

// ---- platform

std::unique_ptr<XOverlayPlatform> XOverlayPlatform::open() {
  auto conn = x11::Connection::open();
  if (!conn) return nullptr;
  return std::unique_ptr<XOverlayPlatform>(new XOverlayPlatform(std::move(conn)));
}

XOverlayPlatform::XOverlayPlatform(std::shared_ptr<x11::Connection> conn) : conn_(std::move(conn)) {
  auto* c = conn_->xcb();
  xcb_screen_t* screen = conn_->screen();
  visual_ = screen->root_visual;
  depth_ = screen->root_depth;

  if (conn_->hasExtension(&xcb_shape_id)) {
    auto* v = xcb_shape_query_version_reply(c, xcb_shape_query_version(c), nullptr);
    shapeInput_ = v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 1));
    free(v);
  }

  composited_ = selectionOwned(*conn_, "_NET_WM_CM_S" + std::to_string(conn_->screenNumber()));
  if (composited_) {
    bool found = false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !found; xcb_depth_next(&d)) {
      if (d.data->depth != 32) continue;
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
        if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
          visual_ = v.data->visual_id;
          depth_ = 32;
          found = true;
          break;
        }
      }
    }
    if (found) {
      colormap_ = xcb_generate_id(c);
      xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap_, conn_->root(), visual_);
    } else {
      composited_ = false;
    }
  }

  uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, conn_->root(), XCB_CW_EVENT_MASK, &rootMask);
  xcb_flush(c);
}

XOverlayPlatform::~XOverlayPlatform() {
  if (colormap_) xcb_free_colormap(conn_->xcb(), colormap_);
  xcb_flush(conn_->xcb());
}

void XOverlayPlatform::registerPanel(XPanel* panel) { panels_[panel->windowNumber()] = panel; }
void XOverlayPlatform::unregisterPanel(XPanel* panel) { panels_.erase(panel->windowNumber()); }

uint64_t XOverlayPlatform::uptimeNanoseconds() { return overlay::uptimeNanoseconds(); }

std::optional<double> XOverlayPlatform::primaryTop() {
  if (conn_->broken()) return std::nullopt;
  return 0.0;  // root coordinates already have their origin at the top
}

const std::vector<platform::WindowRecord>* XOverlayPlatform::snapshot() {
  if (conn_->broken()) return nullptr;
  if (!snapshot_) snapshot_ = platform::snapshotWindows(*conn_);
  return &*snapshot_;
}

std::optional<std::vector<CursorWindow>> XOverlayPlatform::windowList() {
  const auto* records = snapshot();
  if (!records) return std::nullopt;
  std::vector<CursorWindow> windows;
  windows.reserve(records->size());
  for (const auto& r : *records)
    windows.push_back({r.id, r.pid, {r.bounds.x, r.bounds.y, r.bounds.width, r.bounds.height}, r.layer, r.onScreen,
                       r.alpha});
  return windows;
}

std::optional<CursorWindow> XOverlayPlatform::describeWindow(uint32_t windowId) {
  const auto* records = snapshot();
  if (!records) return std::nullopt;
  for (const auto& r : *records)
    if (r.id == windowId)
      return CursorWindow{r.id, r.pid, {r.bounds.x, r.bounds.y, r.bounds.width, r.bounds.height}, r.layer,
                          r.onScreen, r.alpha};
  return std::nullopt;
}

std::optional<std::vector<uint32_t>> XOverlayPlatform::windowsAbove(uint32_t windowId) {
  const auto* records = snapshot();
  if (!records) return std::nullopt;
  std::vector<uint32_t> above;
  for (const auto& r : *records) {
    if (r.id == windowId) return above;
    above.push_back(r.id);
  }
  return std::nullopt;
}

std::optional<std::vector<CursorRect>> XOverlayPlatform::activeDisplays() {
  if (conn_->broken()) return std::nullopt;
  xcb_screen_t* s = conn_->screen();
  return std::vector<CursorRect>{{0, 0, static_cast<double>(s->width_in_pixels), static_cast<double>(s->height_in_pixels)}};
}

std::optional<ProcessBirth> XOverlayPlatform::processBirth(int32_t pid) {
  auto token = processStart(pid);
  if (!token) return std::nullopt;
  return ProcessBirth::fromStamp(*token);
}

bool XOverlayPlatform::reduceMotion() {
  // The desktop's settings manager publishes the user's animation preference.
  if (conn_->broken()) return false;
  auto* c = conn_->xcb();
  xcb_atom_t selection = conn_->atom("_XSETTINGS_S" + std::to_string(conn_->screenNumber()));
  if (selection == XCB_ATOM_NONE) return false;
  auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
  xcb_window_t manager = owner ? owner->owner : XCB_NONE;
  free(owner);
  if (manager == XCB_NONE) return false;
  auto blob = x11::propertyBytes(*conn_, manager, conn_->atom("_XSETTINGS_SETTINGS"));
  if (!blob) return false;
  auto animations = xsettingsInteger(*blob, "Gtk/EnableAnimations");
  return animations && *animations == 0;
}

std::optional<xcb_window_t> XOverlayPlatform::stackingWindow(uint32_t windowId) {
  if (panels_.count(windowId)) return windowId;
  if (snapshot_) {
    for (const auto& r : *snapshot_)
      if (r.id == windowId && r.frame) return r.frame;
  }
  // Walk up to the root's child.
  auto* c = conn_->xcb();
  xcb_window_t w = windowId;
  for (int depth = 0; depth < 64; ++depth) {
    auto* reply = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
    if (!reply) return std::nullopt;
    xcb_window_t parent = reply->parent, root = reply->root;
    free(reply);
    if (parent == root || parent == XCB_NONE) return w;
    w = parent;
  }
  return std::nullopt;
}

std::unique_ptr<OverlayPanel> XOverlayPlatform::makeCursorPanel(const CursorArtwork& artwork) {
  return std::make_unique<CursorPanel>(*this, artwork);
}
std::unique_ptr<OverlayPanel> XOverlayPlatform::makeGlowPanel(const GlowView& glow) {
  return std::make_unique<GlowPanel>(*this, glow);
}
std::unique_ptr<OverlayPanel> XOverlayPlatform::makeNotchPanel(NotchView& notch) {
  return std::make_unique<NotchPanel>(*this, notch);
}

void XOverlayPlatform::setTimer(bool running) {
  if (running && !timer_) nextTick_ = uptimeNanoseconds() + kTickNanoseconds;
  timer_ = running;
}

void XOverlayPlatform::handleEvent(xcb_generic_event_t* e, bool& wantRefresh) {
  uint8_t type = e->response_type & 0x7f;
  auto foreign = [&](xcb_window_t w) { return panels_.count(w) == 0; };
  switch (type) {
    case XCB_EXPOSE: {
      auto* ev = reinterpret_cast<xcb_expose_event_t*>(e);
      if (auto it = panels_.find(ev->window); it != panels_.end()) it->second->exposed();
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      auto* ev = reinterpret_cast<xcb_configure_notify_event_t*>(e);
      if (ev->event == conn_->root() && foreign(ev->window)) {
        ++stackingGeneration_;
        wantRefresh = true;
      }
      break;
    }
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_CREATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_REPARENT_NOTIFY:
    case XCB_CIRCULATE_NOTIFY: {
      // All carry the event window first and the subject window second.
      auto* ev = reinterpret_cast<xcb_map_notify_event_t*>(e);
      if (ev->event == conn_->root() && foreign(ev->window)) {
        ++stackingGeneration_;
        wantRefresh = true;
      }
      break;
    }
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY:
    case XCB_MOTION_NOTIFY:
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE: {
      auto* ev = reinterpret_cast<xcb_enter_notify_event_t*>(e);  // `event` sits at the same place in all five
      if (auto it = panels_.find(ev->event); it != panels_.end()) it->second->pointerEvent(e);
      break;
    }
    default:
      break;
  }
}

void XOverlayPlatform::paintPanels(bool tick) {
  for (auto& [window, panel] : panels_) panel->paint(tick);
}

bool XOverlayPlatform::run(OverlayController& controller, Mailbox& mailbox, int wakeFd) {
  auto* c = conn_->xcb();
  int xfd = xcb_get_file_descriptor(c);
  while (!terminated_) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {xfd, POLLIN, 0}};
    nfds_t count = conn_->broken() ? 1 : 2;
    int timeout = -1;
    if (timer_) {
      uint64_t now = uptimeNanoseconds();
      timeout = nextTick_ > now ? static_cast<int>((nextTick_ - now + 999'999) / 1'000'000) : 0;
    }
    int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;

    if (fds[0].revents & POLLIN) {
      uint64_t value;
      while (read(wakeFd, &value, sizeof value) > 0) {
      }
      mailbox.drain();
      if (terminated_) break;
    }
    bool wantRefresh = false;
    while (auto* e = xcb_poll_for_event(c)) {
      handleEvent(e, wantRefresh);
      free(e);
    }
    bool tick = false;
    if (timer_ && uptimeNanoseconds() >= nextTick_) {
      tick = true;
      nextTick_ += kTickNanoseconds;
      uint64_t now = uptimeNanoseconds();
      if (nextTick_ < now) nextTick_ = now + kTickNanoseconds;  // fell behind: no catching up
    }
    if (tick || (wantRefresh && timer_)) controller.refresh();
    paintPanels(tick);
    xcb_flush(c);
  }
  return terminated_;
}

}  // namespace quorl::overlay
