// agent-overlay on a real test desktop (Xvfb + openbox, with and without a
// compositing manager) over our own target application; xdotool plays the user
// and the root window's pixels show what the overlay drew.
#include <gtest/gtest.h>

#include <cairo.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "overlay/protocol.hpp"
#include "platform/x11/connection.hpp"
#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl::testdesk;
using namespace std::chrono_literals;

namespace {

std::string overlayPath() { return binDir() + "/agent-overlay"; }

struct Screen {
  int width = 0, height = 0;
  std::vector<uint32_t> px;  // 0xRRGGBB
  uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * width + x] & 0xffffff; }
};

bool nearColour(uint32_t px, int r, int g, int b, int tolerance) {
  return std::abs(static_cast<int>((px >> 16) & 0xff) - r) <= tolerance &&
         std::abs(static_cast<int>((px >> 8) & 0xff) - g) <= tolerance &&
         std::abs(static_cast<int>(px & 0xff) - b) <= tolerance;
}
bool accentLime(uint32_t px) { return nearColour(px, 160, 224, 21, 14); }
bool greenish(uint32_t px) {
  int r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
  return g > 150 && g > r + 10 && g > b + 30;
}

struct Box {
  int minX = INT32_MAX, minY = INT32_MAX, maxX = -1, maxY = -1;
  bool empty() const { return maxX < 0; }
};

class Fixture : public ::testing::Test {
 protected:
  void start(bool compositor) {
    DesktopOptions options;
    options.compositor = compositor;
    desktop_ = std::make_unique<TestDesktop>(options);
    conn_ = quorl::x11::Connection::open(desktop_->display().c_str());
    ASSERT_TRUE(conn_);
    TargetOptions t;
    t.title = "Overlay target";
    t.x = 100;
    t.y = 100;
    t.width = 600;
    t.height = 400;
    target_ = std::make_unique<TargetApp>(*desktop_, TargetApp::Kind::xlib, t);
    const auto& ready = target_->ready();
    bounds_ = {ready.value("x", 0.0), ready.value("y", 0.0), ready.value("width", 0.0), ready.value("height", 0.0)};
    auto token = quorl::processStart(target_->pid());
    ASSERT_TRUE(token);
    start_ = *token;
    overlay_ = desktop_->spawn({overlayPath()});
  }

  void TearDown() override {
    overlay_.reset();
    target_.reset();
    conn_.reset();
    desktop_.reset();
  }

  Screen shot() {
    Screen s;
    auto* c = conn_->xcb();
    s.width = conn_->screen()->width_in_pixels;
    s.height = conn_->screen()->height_in_pixels;
    auto* reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, conn_->root(), 0, 0, static_cast<uint16_t>(s.width),
                         static_cast<uint16_t>(s.height), ~0u),
        nullptr);
    if (!reply) return s;
    const auto* data = reinterpret_cast<const uint32_t*>(xcb_get_image_data(reply));
    s.px.assign(data, data + static_cast<size_t>(s.width) * s.height);
    free(reply);
    return s;
  }

  // Lime pixels inside a region of the screen.
  Box limeBox(const Screen& s, int x0, int y0, int x1, int y1) {
    Box b;
    for (int y = std::max(y0, 0); y < std::min(y1, s.height); ++y)
      for (int x = std::max(x0, 0); x < std::min(x1, s.width); ++x)
        if (accentLime(s.at(x, y))) {
          b.minX = std::min(b.minX, x);
          b.minY = std::min(b.minY, y);
          b.maxX = std::max(b.maxX, x);
          b.maxY = std::max(b.maxY, y);
        }
    return b;
  }
  // Lime inside the window, away from the edges where the presence glow lives.
  Box cursorBox() {
    return limeBox(shot(), static_cast<int>(bounds_.x) + 60, static_cast<int>(bounds_.y) + 60,
                   static_cast<int>(bounds_.x + bounds_.width) - 60, static_cast<int>(bounds_.y + bounds_.height) - 60);
  }

  std::string showLine(double x, double y, int ttl = 1500, double boundsShift = 0) {
    nlohmann::json j = {{"type", "show"},
                        {"pid", target_->pid()},
                        {"processStart", start_},
                        {"windowId", target_->window()},
                        {"windowBounds",
                         {{"x", bounds_.x + boundsShift}, {"y", bounds_.y}, {"width", bounds_.width},
                          {"height", bounds_.height}}},
                        {"x", x},
                        {"y", y},
                        {"phase", "move"},
                        {"ttlMs", ttl},
                        {"issuedAtMs", quorl::overlay::unixNowMs()}};
    return j.dump();
  }
  std::string workingLine(int id, const std::string& title = "Editing the report") {
    return nlohmann::json{{"type", "presence"}, {"id", id},       {"pid", target_->pid()},
                          {"windowId", target_->window()},         {"state", "working"},
                          {"title", title},     {"note", "step 2 of 5"}, {"stop", "Stop"}}
        .dump();
  }
  std::string turnLine(int id, int ttl) {
    return nlohmann::json{{"type", "presence"},
                          {"id", id},
                          {"pid", target_->pid()},
                          {"windowId", target_->window()},
                          {"state", "turn"},
                          {"title", "Your turn"},
                          {"ttlMs", ttl},
                          {"issuedAtMs", quorl::overlay::unixNowMs()}}
        .dump();
  }

  // Keeps sending "show" every 100 ms until the condition on the cursor holds.
  bool showUntil(double x, double y, const std::function<bool(const Box&)>& condition, double boundsShift = 0,
                 std::chrono::milliseconds deadline = 8000ms) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      overlay_->writeLine(showLine(x, y, 1500, boundsShift));
      auto until = std::chrono::steady_clock::now() + 100ms;
      while (std::chrono::steady_clock::now() < until) {
        if (condition(cursorBox())) return true;
        std::this_thread::sleep_for(10ms);
      }
    }
    return false;
  }

  struct Panel {
    xcb_window_t id;
    int x, y, width, height;
  };
  // The overlay's mapped override-redirect windows, bottom to top.
  std::vector<Panel> overlayPanels() {
    std::vector<Panel> out;
    auto* c = conn_->xcb();
    auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, conn_->root()), nullptr);
    if (!tree) return out;
    auto* kids = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
      auto* attr = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, kids[i]), nullptr);
      auto* geo = xcb_get_geometry_reply(c, xcb_get_geometry(c, kids[i]), nullptr);
      auto name = quorl::x11::propertyBytes(*conn_, kids[i], XCB_ATOM_WM_NAME);
      if (attr && geo && attr->override_redirect && attr->map_state == XCB_MAP_STATE_VIEWABLE && name &&
          *name == "agent-overlay")
        out.push_back({kids[i], geo->x, geo->y, geo->width, geo->height});
      free(attr);
      free(geo);
    }
    free(tree);
    return out;
  }
  std::optional<Panel> panelOfHeight(int height) {
    for (const auto& p : overlayPanels())
      if (p.height == height) return p;
    return std::nullopt;
  }
  std::optional<Panel> glowPanel() {
    for (const auto& p : overlayPanels())
      if (p.width == static_cast<int>(bounds_.width) && p.height == static_cast<int>(bounds_.height)) return p;
    return std::nullopt;
  }

  void savePicture(const char* name, int x, int y, int w, int h) {
    const char* dir = std::getenv("QUORL_OVERLAY_SHOTS");
    if (!dir) return;
    Screen s = shot();
    auto* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    auto* data = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface));
    int stride = cairo_image_surface_get_stride(surface) / 4;
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) data[j * stride + i] = s.at(x + i, y + j);
    cairo_surface_mark_dirty(surface);
    cairo_surface_write_to_png(surface, (std::string(dir) + "/" + name).c_str());
    cairo_surface_destroy(surface);
  }

  // Plays the desktop's settings manager: owns _XSETTINGS_S0 and publishes
  // Gtk/EnableAnimations (little-endian blob, one integer setting).
  void publishAnimations(bool enabled) {
    auto* c = conn_->xcb();
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, conn_->root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    std::string name = "Gtk/EnableAnimations";  // 20 bytes: no padding
    std::string blob("\0\0\0\0" "\1\0\0\0" "\1\0\0\0", 12);
    blob += std::string("\0\0", 2) + static_cast<char>(name.size()) + '\0' + name;
    blob += std::string("\0\0\0\0", 4) + static_cast<char>(enabled ? 1 : 0) + std::string("\0\0\0", 3);
    xcb_atom_t settings = conn_->atom("_XSETTINGS_SETTINGS");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, settings, settings, 8, static_cast<uint32_t>(blob.size()),
                        blob.data());
    xcb_set_selection_owner(c, w, conn_->atom("_XSETTINGS_S0"), XCB_CURRENT_TIME);
    xcb_flush(c);
  }

  // The colours along the frame's left edge.
  std::vector<uint32_t> leftEdge() {
    Screen s = shot();
    std::vector<uint32_t> out;
    for (int y = static_cast<int>(bounds_.y) + 40; y < static_cast<int>(bounds_.y + bounds_.height) - 40; y += 4)
      out.push_back(s.at(static_cast<int>(bounds_.x) + 2, y));
    return out;
  }

  bool clicked(int x, int y, const char* button = "1") {
    auto r = desktop_->xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", button});
    EXPECT_EQ(r.status, 0) << r.err;
    bool ok = target_->next([](const nlohmann::json& j) { return j.value("event", "") == "ButtonRelease"; }, 5000ms)
        .has_value();
    return ok;
  }

  std::unique_ptr<TestDesktop> desktop_;
  std::shared_ptr<quorl::x11::Connection> conn_;
  std::unique_ptr<TargetApp> target_;
  std::unique_ptr<Child> overlay_;
  quorl::overlay::CursorRect bounds_;
  std::string start_;
};

class OverlayDesktop : public Fixture {};
class OverlayComposited : public Fixture {};

}  // namespace

TEST(OverlayEntry, AnyArgumentIsStatus64) {
  auto r = run({overlayPath(), "--help"});
  EXPECT_EQ(r.status, 64);
  EXPECT_TRUE(r.out.empty());
}

TEST_F(OverlayDesktop, CursorTipSitsOnTheHotSpotAndClicksPassThrough) {
  start(false);
  const double hx = bounds_.x + 200, hy = bounds_.y + 150;
  Box box;
  ASSERT_TRUE(showUntil(hx, hy, [&](const Box& b) {
    box = b;
    return !b.empty();
  })) << "no cursor drawn";
  // The arrow's lime fill starts just inside its ink outline at the tip.
  EXPECT_NEAR(box.minX, hx, 3);
  EXPECT_NEAR(box.minY, hy, 4);
  EXPECT_LE(box.maxX, hx + 72);  // arrow and tag inside the 88 × 56 glyph
  EXPECT_LE(box.maxY, hy + 40);
  savePicture("cursor-plain.png", static_cast<int>(hx) - 40, static_cast<int>(hy) - 30, 160, 100);

  // A click where the cursor is drawn reaches the target.
  target_->drain();
  EXPECT_TRUE(clicked(static_cast<int>(hx) + 6, static_cast<int>(hy) + 14));

  // "hide" takes it down.
  overlay_->writeLine(R"({"type":"hide"})");
  EXPECT_TRUE(waitFor([&] { return cursorBox().empty(); }, 5000ms));
}

TEST_F(OverlayDesktop, CursorLeavesWhenCoveredMovedOrExpired) {
  start(false);
  const double hx = bounds_.x + 200, hy = bounds_.y + 150;
  auto drawn = [](const Box& b) { return !b.empty(); };
  ASSERT_TRUE(showUntil(hx, hy, drawn));

  // Bounds off by 0.6: every show is refused while the same show with exact
  // bounds is drawn.
  overlay_->writeLine(showLine(hx, hy, 1500, 0.6));
  ASSERT_TRUE(waitFor([&] { return cursorBox().empty(); }, 5000ms));
  EXPECT_FALSE(showUntil(hx, hy, drawn, 0.6, 1500ms));
  ASSERT_TRUE(showUntil(hx, hy, drawn));

  // Another window over the spot hides it for as long as it covers it.
  {
    TargetOptions cover;
    cover.title = "Cover";
    cover.x = static_cast<int>(hx) - 50;
    cover.y = static_cast<int>(hy) - 50;
    cover.width = 200;
    cover.height = 150;
    TargetApp coverApp(*desktop_, TargetApp::Kind::xlib, cover);
    EXPECT_TRUE(showUntil(hx, hy, [](const Box& b) { return b.empty(); }));
    EXPECT_FALSE(showUntil(hx, hy, drawn, 0, 1000ms));
  }
  ASSERT_TRUE(showUntil(hx, hy, drawn));

  // ttlMs: a 400 ms cursor goes by itself.
  overlay_->writeLine(showLine(hx, hy, 400));
  EXPECT_TRUE(waitFor([&] { return cursorBox().empty(); }, 5000ms));
}

TEST_F(OverlayDesktop, WorkingFrameTabAndStopControl) {
  start(false);
  overlay_->writeLine(workingLine(42));
  std::optional<Panel> notch, glow;
  ASSERT_TRUE(waitFor([&] { return (notch = panelOfHeight(28)) && (glow = glowPanel()); }, 8000ms));
  // The glow lies exactly over the window, the tab centred on its top edge.
  EXPECT_EQ(glow->x, static_cast<int>(bounds_.x));
  EXPECT_EQ(glow->y, static_cast<int>(bounds_.y));
  EXPECT_NEAR(notch->x + notch->width / 2.0, bounds_.x + bounds_.width / 2, 1);
  EXPECT_EQ(notch->y, static_cast<int>(bounds_.y));
  // The tab sits above the glow.
  auto panels = overlayPanels();
  ASSERT_EQ(panels.size(), 2u);
  EXPECT_EQ(panels[0].height, glow->height);
  EXPECT_EQ(panels[1].height, 28);

  // Pixels: the frame along the edges, the dark tab, the inside untouched.
  ASSERT_TRUE(waitFor(
      [&] {
        Screen s = shot();
        int midY = static_cast<int>(bounds_.y + bounds_.height / 2);
        int midX = static_cast<int>(bounds_.x + bounds_.width / 2);
        return greenish(s.at(static_cast<int>(bounds_.x) + 2, midY)) &&
               greenish(s.at(static_cast<int>(bounds_.x + bounds_.width) - 3, midY)) &&
               greenish(s.at(midX, static_cast<int>(bounds_.y + bounds_.height) - 3)) &&
               nearColour(s.at(notch->x + 14, notch->y + 12), 12, 12, 12, 6) &&
               !greenish(s.at(midX, midY));
      },
      5000ms));
  // The title's white text inside the tab.
  Screen s = shot();
  int white = 0;
  for (int y = notch->y + 6; y < notch->y + 22; ++y)
    for (int x = notch->x + 36; x < notch->x + notch->width - 40; ++x)
      if (nearColour(s.at(x, y), 245, 245, 245, 12)) ++white;
  EXPECT_GT(white, 20);
  savePicture("working-plain.png", static_cast<int>(bounds_.x) - 20, static_cast<int>(bounds_.y) - 30,
              static_cast<int>(bounds_.width) + 40, static_cast<int>(bounds_.height) + 50);

  // A click elsewhere on the frame reaches the target.
  target_->drain();
  EXPECT_TRUE(clicked(static_cast<int>(bounds_.x) + 3, static_cast<int>(bounds_.y + bounds_.height / 2)));
  // So does a click on the tab beside the stop control.
  EXPECT_TRUE(clicked(notch->x + 20, notch->y + 14));

  // Two presses of the stop control: one stop line.
  int cx = notch->x + notch->width - 24, cy = notch->y + 14;
  desktop_->xdotool({"mousemove", std::to_string(cx), std::to_string(cy), "click", "1"});
  auto line = overlay_->readLine(5000ms);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, R"({"type":"stop","id":42})");
  desktop_->xdotool({"mousemove", std::to_string(cx), std::to_string(cy), "click", "1"});
  EXPECT_FALSE(overlay_->readLine(1000ms));
  overlay_->closeStdin();
  EXPECT_EQ(overlay_->waitExit(5000ms), 0);
}

TEST_F(OverlayDesktop, TurnExpiresAndInvalidLinesConcealEverything) {
  start(false);
  // Working first, so that the turn's short life starts on a running overlay.
  overlay_->writeLine(workingLine(4));
  ASSERT_TRUE(waitFor([&] { return glowPanel() && panelOfHeight(28); }, 8000ms));
  overlay_->writeLine(turnLine(5, 3000));
  std::optional<Panel> notch;
  ASSERT_TRUE(waitFor(
      [&] {
        notch = panelOfHeight(28);
        return notch && accentLime(shot().at(notch->x + 16, notch->y + 4));
      },
      5000ms));
  savePicture("turn-plain.png", static_cast<int>(bounds_.x) - 20, static_cast<int>(bounds_.y) - 30,
              static_cast<int>(bounds_.width) + 40, static_cast<int>(bounds_.height) + 50);
  // The turn tab lets clicks through, even where the stop control was.
  target_->drain();
  EXPECT_TRUE(clicked(notch->x + notch->width - 24, notch->y + 14));
  EXPECT_TRUE(waitFor([&] { return overlayPanels().empty(); }, 8000ms));
  EXPECT_FALSE(overlay_->readLine(100ms));

  overlay_->writeLine(workingLine(6));
  const double hx = bounds_.x + 200, hy = bounds_.y + 150;
  ASSERT_TRUE(showUntil(hx, hy, [](const Box& b) { return !b.empty(); }));
  EXPECT_EQ(overlayPanels().size(), 3u);
  overlay_->writeLine(R"({"type":"hide","extra":1})");
  EXPECT_TRUE(waitFor([&] { return overlayPanels().empty(); }, 1000ms));

  // End of input: exit 0.
  overlay_->closeStdin();
  EXPECT_EQ(overlay_->waitExit(5000ms), 0);
}

TEST_F(OverlayDesktop, OverlongLineEndsTheOverlay) {
  start(false);
  overlay_->writeLine(workingLine(8));
  ASSERT_TRUE(waitFor([&] { return glowPanel().has_value(); }, 5000ms));
  overlay_->writeLine(std::string(1025, ' '));
  EXPECT_EQ(overlay_->waitExit(5000ms), 0);
}

TEST_F(OverlayDesktop, RestacksAboveTheTargetWhenItComesBackToTheFront) {
  start(false);
  overlay_->writeLine(workingLine(9));
  ASSERT_TRUE(waitFor([&] { return glowPanel().has_value(); }, 5000ms));
  // A spot on the frame's bottom edge that the next window covers.
  const int sx = static_cast<int>(bounds_.x + bounds_.width) - 100;
  const int sy = static_cast<int>(bounds_.y + bounds_.height) - 3;
  ASSERT_TRUE(waitFor([&] { return greenish(shot().at(sx, sy)); }, 5000ms));
  TargetOptions other;
  other.title = "Other";
  other.x = sx - 100;
  other.y = sy - 100;
  other.width = 300;
  other.height = 200;
  TargetApp otherApp(*desktop_, TargetApp::Kind::xlib, other);
  // A window that covers the target covers its frame too.
  EXPECT_TRUE(waitFor([&] { return !greenish(shot().at(sx, sy)); }, 5000ms));
  // The target back in front: the panels are stacked above it again.
  desktop_->xdotool({"windowactivate", "--sync", std::to_string(target_->window())});
  desktop_->xdotool({"windowraise", std::to_string(target_->window())});
  EXPECT_TRUE(waitFor([&] { return greenish(shot().at(sx, sy)); }, 5000ms));
}

TEST_F(OverlayDesktop, GlowTurnsUnlessMotionIsReduced) {
  start(false);
  overlay_->writeLine(workingLine(20));
  ASSERT_TRUE(waitFor([&] { return greenish(shot().at(static_cast<int>(bounds_.x) + 2,
                                                      static_cast<int>(bounds_.y + bounds_.height / 2))); },
                      5000ms));
  auto first = leftEdge();
  EXPECT_TRUE(waitFor([&] { return leftEdge() != first; }, 5000ms)) << "the working glow should turn";

  // The user asks for reduced motion; the next layout (a new request) stands the glow still.
  publishAnimations(false);
  overlay_->writeLine(workingLine(21));
  std::vector<uint32_t> still;
  ASSERT_TRUE(waitFor(
      [&] {
        auto a = leftEdge();
        std::this_thread::sleep_for(150ms);
        still = leftEdge();
        return a == still;
      },
      5000ms));
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(leftEdge(), still) << i;
  }
}

TEST_F(OverlayComposited, FrameAndCursorThroughTheCompositor) {
  start(true);
  overlay_->writeLine(workingLine(11));
  ASSERT_TRUE(waitFor([&] { return glowPanel().has_value() && panelOfHeight(28).has_value(); }, 8000ms));
  auto notch = panelOfHeight(28);
  ASSERT_TRUE(waitFor(
      [&] {
        Screen s = shot();
        int midY = static_cast<int>(bounds_.y + bounds_.height / 2);
        return greenish(s.at(static_cast<int>(bounds_.x) + 2, midY)) &&
               nearColour(s.at(notch->x + 14, notch->y + 12), 12, 12, 12, 6);
      },
      8000ms));
  const double hx = bounds_.x + 200, hy = bounds_.y + 150;
  Box box;
  ASSERT_TRUE(showUntil(hx, hy, [&](const Box& b) {
    box = b;
    return !b.empty();
  }));
  EXPECT_NEAR(box.minX, hx, 3);
  EXPECT_NEAR(box.minY, hy, 4);
  // The inside of the window shows through the glow panel untouched.
  Screen s = shot();
  EXPECT_EQ(s.at(static_cast<int>(bounds_.x + bounds_.width) - 120, static_cast<int>(bounds_.y + bounds_.height) - 120),
            s.at(static_cast<int>(bounds_.x + bounds_.width) - 121, static_cast<int>(bounds_.y + bounds_.height) - 121));
  EXPECT_FALSE(greenish(s.at(static_cast<int>(bounds_.x) + 120, static_cast<int>(bounds_.y) + 300)));
  savePicture("working.png", static_cast<int>(bounds_.x) - 20, static_cast<int>(bounds_.y) - 30,
              static_cast<int>(bounds_.width) + 40, static_cast<int>(bounds_.height) + 50);
  savePicture("cursor.png", static_cast<int>(hx) - 40, static_cast<int>(hy) - 30, 160, 100);
  target_->drain();
  EXPECT_TRUE(clicked(static_cast<int>(hx) + 6, static_cast<int>(hy) + 14));
  int cx = notch->x + notch->width - 24, cy = notch->y + 14;
  desktop_->xdotool({"mousemove", std::to_string(cx), std::to_string(cy), "click", "1"});
  auto line = overlay_->readLine(5000ms);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, R"({"type":"stop","id":11})");

  // The turn: still lime, a lime tab.
  overlay_->writeLine(turnLine(12, 3000));
  ASSERT_TRUE(waitFor(
      [&] {
        Screen s = shot();
        return accentLime(s.at(notch->x + notch->width / 2, notch->y + 24)) ||
               accentLime(s.at(static_cast<int>(bounds_.x + bounds_.width / 2), static_cast<int>(bounds_.y) + 24));
      },
      5000ms));
  savePicture("turn.png", static_cast<int>(bounds_.x) - 20, static_cast<int>(bounds_.y) - 30,
              static_cast<int>(bounds_.width) + 40, static_cast<int>(bounds_.height) + 50);
}
