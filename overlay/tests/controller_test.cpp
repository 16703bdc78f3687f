// The overlay's main-thread logic against a recording substitute of the display.
#include <gtest/gtest.h>

#include <map>

#include "overlay/controller.hpp"

using namespace quorl::overlay;

namespace {

constexpr int64_t kNow = 1'700'000'000'000;
constexpr uint64_t kMs = 1'000'000;

struct FakePanel : OverlayPanel {
  FakePanel(uint32_t id, std::vector<std::string>& log, std::string name) : id(id), log(log), name(std::move(name)) {}
  uint32_t windowNumber() const override { return id; }
  void setFrame(const CursorRect& f) override { frame = f; }
  void orderAbove(uint32_t w) override {
    above = w;
    mapped = true;
    log.push_back(name + " above " + std::to_string(w));
  }
  void orderOut() override { mapped = false; }
  void setIgnoresMouse(bool i) override { ignoresMouse = i; }
  void setNeedsDisplay() override { ++redraws; }
  uint32_t id;
  std::vector<std::string>& log;
  std::string name;
  CursorRect frame;
  std::optional<uint32_t> above;
  bool mapped = false;
  bool ignoresMouse = false;
  int redraws = 0;
};

struct FakeFonts : NotchFonts {
  // Ten points per byte keeps the arithmetic readable.
  double titleWidth(const std::string& t) override { return 10.0 * t.size(); }
  double noteWidth(const std::string& t) override { return 5.0 * t.size(); }
};

struct FakePlatform : OverlayPlatform {
  uint64_t uptimeNanoseconds() override { return now; }
  std::optional<double> primaryTop() override { return screen ? std::optional<double>(0) : std::nullopt; }
  std::optional<std::vector<CursorWindow>> windowList() override { return windows; }
  std::optional<CursorWindow> describeWindow(uint32_t id) override {
    if (!windows) return std::nullopt;
    for (const auto& w : *windows)
      if (w.id == id) return w;
    return std::nullopt;
  }
  std::optional<std::vector<uint32_t>> windowsAbove(uint32_t) override {
    if (above) return above;
    return std::vector<uint32_t>{};
  }
  std::optional<std::vector<CursorRect>> activeDisplays() override { return displays; }
  std::optional<ProcessBirth> processBirth(int32_t pid) override {
    auto it = births.find(pid);
    if (it == births.end()) return std::nullopt;
    return it->second;
  }
  bool reduceMotion() override { return reduced; }
  double windowCornerRadius() override { return 10; }
  double backingScale() override { return 1; }
  std::unique_ptr<OverlayPanel> makeCursorPanel(const CursorArtwork&) override { return make(100, "cursor"); }
  std::unique_ptr<OverlayPanel> makeGlowPanel(const GlowView&) override { return make(200, "glow"); }
  std::unique_ptr<OverlayPanel> makeNotchPanel(NotchView&) override { return make(300, "notch"); }
  NotchFonts& fonts() override { return fakeFonts; }
  void setTimer(bool running) override { timer = running; }
  void terminate() override { terminated = true; }

  std::unique_ptr<OverlayPanel> make(uint32_t id, const std::string& name) {
    auto p = std::make_unique<FakePanel>(id, log, name);
    panels[name] = p.get();
    return p;
  }

  uint64_t now = 1000 * kMs;
  bool screen = true;
  bool reduced = false;
  std::optional<std::vector<CursorWindow>> windows = std::vector<CursorWindow>{{7, 42, {100, 100, 1000, 700}, 0, true, 1}};
  std::optional<std::vector<uint32_t>> above;
  std::optional<std::vector<CursorRect>> displays = std::vector<CursorRect>{{0, 0, 1280, 800}};
  std::map<int32_t, ProcessBirth> births = {{42, {1700000000, 5}}};
  std::map<std::string, FakePanel*> panels;
  std::vector<std::string> log;
  FakeFonts fakeFonts;
  bool timer = false;
  bool terminated = false;
};

CursorRequest cursorAt(double x, double y, int64_t ttl = 1500) {
  CursorRequest r;
  r.pid = 42;
  r.processStart = {1700000000, 5};
  r.windowId = 7;
  r.windowBounds = {100, 100, 1000, 700};
  r.x = x;
  r.y = y;
  r.phase = CursorPhase::click;
  r.ttlMs = ttl;
  r.issuedAtMs = kNow;
  return r;
}

PresenceRequest working(int64_t id, const std::string& title = "Editing") {
  PresenceRequest r;
  r.id = id;
  r.pid = 42;
  r.windowId = 7;
  r.title = title;
  r.stop = "Stop";
  return r;
}

PresenceRequest turn(int64_t id, int64_t ttl) {
  PresenceRequest r;
  r.id = id;
  r.pid = 42;
  r.windowId = 7;
  r.state = PresenceState::turn;
  r.title = "Your turn";
  r.ttlMs = ttl;
  r.issuedAtMs = kNow;
  return r;
}

struct Rig {
  FakePlatform platform;
  std::vector<int64_t> stops;
  OverlayController controller{platform, [this](int64_t id) { stops.push_back(id); }};
  void cursor(CursorCommand c) { controller.apply(CursorDelivery{c, platform.now, kNow}); }
  void presence(PresenceCommand c) { controller.apply(PresenceDelivery{c, platform.now, kNow}); }
  FakePanel* panel(const std::string& name) {
    auto it = platform.panels.find(name);
    return it == platform.panels.end() ? nullptr : it->second;
  }
};

}  // namespace

TEST(OverlayController, ShowsTheCursorAtItsGlyphAndExpiresIt) {
  Rig rig;
  rig.cursor(cursorAt(300, 300));
  FakePanel* cursor = rig.panel("cursor");
  ASSERT_TRUE(cursor);
  EXPECT_TRUE(cursor->mapped);
  EXPECT_EQ(cursor->frame, (CursorRect{284, 284, 88, 56}));
  EXPECT_EQ(cursor->above, 7u);
  EXPECT_EQ(rig.controller.artwork().phase, CursorPhase::click);
  EXPECT_TRUE(rig.platform.timer);

  rig.platform.now += 300 * kMs;
  rig.controller.refresh();
  EXPECT_DOUBLE_EQ(rig.controller.artwork().elapsed, 0.3);
  rig.platform.now += 1199 * kMs;
  rig.controller.refresh();
  EXPECT_TRUE(cursor->mapped);
  rig.platform.now += 1 * kMs;  // 1500 ms after the line was read
  rig.controller.refresh();
  EXPECT_FALSE(cursor->mapped);
  EXPECT_FALSE(rig.controller.cursorLifetime().holds());
  EXPECT_FALSE(rig.platform.timer);  // nothing held: no ticks
}

TEST(OverlayController, AnyDoubtHidesTheCursorForGood) {
  struct Case {
    const char* what;
    std::function<void(FakePlatform&)> spoil;
  };
  const Case cases[] = {
      {"window list unavailable", [](FakePlatform& p) { p.windows.reset(); }},
      {"no displays", [](FakePlatform& p) { p.displays.reset(); }},
      {"no screen", [](FakePlatform& p) { p.screen = false; }},
      {"process replaced", [](FakePlatform& p) { p.births[42] = {1700000001, 0}; }},
      {"window moved", [](FakePlatform& p) { p.windows->front().bounds.x += 0.6; }},
      {"window covered",
       [](FakePlatform& p) { p.windows->insert(p.windows->begin(), CursorWindow{9, 50, {0, 0, 500, 500}, 0, true, 1}); }},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.cursor(cursorAt(300, 300));
    ASSERT_TRUE(rig.controller.cursorShown()) << c.what;
    c.spoil(rig.platform);
    rig.controller.refresh();
    EXPECT_FALSE(rig.panel("cursor")->mapped) << c.what;
    EXPECT_FALSE(rig.controller.cursorLifetime().holds()) << c.what;
    // The request is forgotten: it does not come back when the doubt clears.
    rig.platform = FakePlatform{};
    rig.controller.refresh();
    EXPECT_FALSE(rig.controller.cursorShown()) << c.what;
  }
}

TEST(OverlayController, HideAndStop) {
  Rig rig;
  rig.cursor(cursorAt(300, 300));
  rig.cursor(CursorHide{});
  EXPECT_FALSE(rig.panel("cursor")->mapped);
  rig.cursor(cursorAt(300, 300));
  rig.presence(working(1));
  rig.controller.apply(StopDelivery{});
  EXPECT_TRUE(rig.platform.terminated);
  EXPECT_FALSE(rig.panel("cursor")->mapped);
  EXPECT_FALSE(rig.panel("glow")->mapped);
  EXPECT_FALSE(rig.panel("notch")->mapped);
}

TEST(OverlayPresence, WorkingCoversTheWindowWithTheTabCentredAndTheCursorAbove) {
  Rig rig;
  rig.presence(working(1));
  FakePanel* glow = rig.panel("glow");
  FakePanel* notch = rig.panel("notch");
  ASSERT_TRUE(glow && notch);
  EXPECT_EQ(glow->frame, (CursorRect{100, 100, 1000, 700}));
  EXPECT_TRUE(glow->ignoresMouse);
  // "Editing": 70 + 6 + 40 + 33 = 149 wide, centred on x 600.
  EXPECT_EQ(notch->frame, (CursorRect{526, 100, 149, 28}));
  EXPECT_FALSE(notch->ignoresMouse);
  EXPECT_EQ(rig.platform.log, (std::vector<std::string>{"glow above 7", "notch above 200"}));
  EXPECT_EQ(rig.controller.presence().panelIds(), (std::set<uint32_t>{200, 300}));
  EXPECT_EQ(rig.controller.presence().topPanel(7), 300u);
  EXPECT_EQ(rig.controller.presence().glow()->radius, 10);
  EXPECT_TRUE(rig.platform.timer);

  rig.cursor(cursorAt(300, 300));
  EXPECT_EQ(rig.panel("cursor")->above, 300u);
}

TEST(OverlayPresence, RestacksOnlyWhenSomethingCameBetween) {
  Rig rig;
  rig.presence(working(1));
  rig.platform.log.clear();
  rig.platform.above = std::vector<uint32_t>{55, 300, 200};
  rig.controller.refresh();
  EXPECT_TRUE(rig.platform.log.empty());
  rig.platform.above = std::vector<uint32_t>{300, 200, 55};  // window 55 slipped in above the target
  rig.controller.refresh();
  EXPECT_EQ(rig.platform.log, (std::vector<std::string>{"glow above 7", "notch above 200"}));
}

TEST(OverlayPresence, NarrowWindowsAndOtherOwnersGetNothingButTheRequestStays) {
  Rig rig;
  rig.platform.windows->front().bounds.width = 159;
  rig.presence(working(1));
  EXPECT_TRUE(rig.controller.presence().active());
  EXPECT_FALSE(rig.panel("glow"));
  rig.platform.windows->front().bounds.width = 160;
  rig.controller.refresh();
  ASSERT_TRUE(rig.panel("glow"));
  EXPECT_TRUE(rig.panel("glow")->mapped);
  EXPECT_FALSE(rig.panel("notch")->mapped);  // 160 is too narrow for the tab

  rig.platform.windows->front().pid = 43;
  rig.controller.refresh();
  EXPECT_FALSE(rig.panel("glow")->mapped);
  EXPECT_TRUE(rig.controller.presence().active());
}

TEST(OverlayPresence, TurnExpiresAfterItsTime) {
  Rig rig;
  rig.presence(turn(5, 3000));
  EXPECT_TRUE(rig.panel("glow")->mapped);
  EXPECT_TRUE(rig.panel("notch")->ignoresMouse);
  EXPECT_EQ(rig.panel("notch")->frame.width, 90 + 14 + 40 + 12);
  rig.platform.now += 2999 * kMs;
  rig.controller.refresh();
  EXPECT_TRUE(rig.panel("glow")->mapped);
  rig.platform.now += 1 * kMs;
  rig.controller.refresh();
  EXPECT_FALSE(rig.panel("glow")->mapped);
  EXPECT_FALSE(rig.controller.presence().active());
  EXPECT_FALSE(rig.platform.timer);
}

TEST(OverlayPresence, ConcealAndStaleTurnTakeItDown) {
  Rig rig;
  rig.presence(working(1));
  rig.presence(PresenceConceal{});
  EXPECT_FALSE(rig.panel("glow")->mapped);
  rig.presence(working(1));
  PresenceRequest stale = turn(2, 1000);
  stale.issuedAtMs = kNow - 1000;
  rig.presence(stale);
  EXPECT_FALSE(rig.panel("glow")->mapped);
  EXPECT_FALSE(rig.controller.presence().active());
}

TEST(OverlayPresence, FullScreenWindowGetsSquareCorners) {
  Rig rig;
  rig.platform.windows->front().bounds = {0.5, 0, 1280, 800.5};
  rig.presence(working(1));
  EXPECT_EQ(rig.controller.presence().glow()->radius, 0);
}

TEST(OverlayPresence, SameIdKeepsTheStopSpentNewIdRearmsIt) {
  Rig rig;
  rig.presence(working(1));
  NotchView* notch = rig.controller.presence().notch();
  ASSERT_TRUE(notch);
  const double W = notch->width;
  notch->pointerDown(W - 24, 14);
  notch->pointerUp(W - 24, 14);
  notch->pointerDown(W - 24, 14);
  notch->pointerUp(W - 24, 14);
  EXPECT_EQ(rig.stops, (std::vector<int64_t>{1}));
  EXPECT_TRUE(notch->stopped());

  rig.presence(working(1, "Editing more"));  // same id, new title: re-laid out, still spent
  EXPECT_EQ(rig.panel("notch")->frame.width, 120 + 6 + 40 + 33);
  EXPECT_TRUE(notch->stopped());
  notch->pointerDown(notch->width - 24, 14);
  notch->pointerUp(notch->width - 24, 14);
  EXPECT_EQ(rig.stops.size(), 1u);

  rig.presence(working(2));
  EXPECT_FALSE(notch->stopped());
  EXPECT_TRUE(notch->accessibilityPerformPress());
  EXPECT_EQ(rig.stops, (std::vector<int64_t>{1, 2}));
}

TEST(OverlayNotch, PressNeedsDownAndUpOnTheControl) {
  FakeFonts fonts;
  NotchView view(fonts);
  int redraws = 0;
  std::vector<int64_t> stops;
  view.needsDisplay = [&] { ++redraws; };
  view.onStop = [&](int64_t id) { stops.push_back(id); };
  auto layout = view.configure(working(9), 1000);
  ASSERT_TRUE(layout);
  view.width = layout->width;
  const double W = view.width;
  struct Case {
    const char* what;
    double x, y;
    bool hit;
  };
  const Case cases[] = {
      {"centre of the control", W - 24, 14, true},  {"grown edge, left", W - 36, 2, true},
      {"just left of it", W - 36.5, 14, false},     {"just below it", W - 24, 26, false},
      {"on the title", 40, 14, false},
  };
  for (const auto& c : cases) EXPECT_EQ(view.hitTest(c.x, c.y), c.hit) << c.what;

  view.pointerMoved(W - 24, 14);
  EXPECT_TRUE(view.hovering());
  int before = redraws;
  view.pointerMoved(W - 23, 14);
  EXPECT_EQ(redraws, before);  // unchanged hover: no redraw
  view.pointerExited();
  EXPECT_FALSE(view.hovering());

  view.pointerDown(W - 24, 14);
  view.pointerUp(40, 14);  // dragged off
  EXPECT_TRUE(stops.empty());
  view.pointerDown(40, 14);
  view.pointerUp(W - 24, 14);  // pressed elsewhere
  EXPECT_TRUE(stops.empty());
  view.pointerDown(W - 24, 14);
  view.pointerUp(W - 24, 14);
  EXPECT_EQ(stops, (std::vector<int64_t>{9}));

  // A turn tab takes no press.
  view.configure(turn(10, 1000), 1000);
  EXPECT_FALSE(view.accessibilityPerformPress());
  EXPECT_FALSE(view.hitTest(W - 24, 14));
  view.pointerMoved(W - 24, 14);
  EXPECT_FALSE(view.hovering());
}

TEST(OverlayGlow, AnimationsFollowStateAndMotion) {
  GlowView glow;
  glow.update(1000, 700, 10, PresenceState::working, 2, true, 5);
  EXPECT_EQ(glow.lineColours, Palette::line());
  EXPECT_EQ(glow.lightColours, Palette::light());
  EXPECT_EQ(glow.lineFlow, 5u);
  EXPECT_EQ(glow.breathe, 5u);
  EXPECT_EQ(glow.ringBuilds, 1);
  EXPECT_EQ(glow.ringImage->geometry.pixels, 164);

  // Again with the same radius and scale: nothing restarts, no new mask.
  glow.update(1200, 700, 10, PresenceState::working, 2, true, 99);
  EXPECT_EQ(glow.lineFlow, 5u);
  EXPECT_EQ(glow.ringBuilds, 1);

  // Rotation: clockwise 7 s a turn for the line, counter-clockwise 11 s for the glow.
  EXPECT_NEAR(glow.lineTurn(5 + 1'750 * kMs), 0.25, 1e-9);
  EXPECT_NEAR(glow.lightTurn(5 + 2'750 * kMs), 0.75, 1e-9);
  EXPECT_NEAR(glow.lightAlpha(5), 0.86, 1e-9);
  EXPECT_NEAR(glow.lightAlpha(5 + 3'200 * kMs), 1.0, 1e-9);
  EXPECT_NEAR(glow.lightAlpha(5 + 6'400 * kMs), 0.86, 1e-9);

  glow.update(1200, 700, 0, PresenceState::turn, 2, true, 200);
  EXPECT_FALSE(glow.animating());
  EXPECT_EQ(glow.lineColours, Palette::steady());
  EXPECT_EQ(glow.lightColours, Palette::steady());
  EXPECT_EQ(glow.lightAlpha(300), 0.95);
  EXPECT_EQ(glow.ringBuilds, 2);  // new radius
  EXPECT_EQ(glow.lineTurn(10'000 * kMs), 0);

  glow.update(1200, 700, 0, PresenceState::working, 2, false, 300);
  EXPECT_FALSE(glow.animating());
  EXPECT_EQ(glow.lineColours, Palette::line());
  EXPECT_EQ(glow.lightAlpha(400), 1.0);
}

TEST(OverlayPresence, ReducedMotionStandsTheGlowStill) {
  Rig rig;
  rig.platform.reduced = true;
  rig.presence(working(1));
  EXPECT_FALSE(rig.controller.presence().glow()->animating());
}
