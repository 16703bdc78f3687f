// The hand-over to the main thread, lifetimes, and the pure visibility and
// layout decisions of agent-overlay.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "overlay/engine.hpp"

using namespace quorl::overlay;

namespace {

constexpr int64_t kNow = 1'700'000'000'000;
constexpr uint64_t kMs = 1'000'000;

CursorRequest request(double x = 300, double y = 300) {
  CursorRequest r;
  r.pid = 42;
  r.processStart = {1700000000, 5};
  r.windowId = 7;
  r.windowBounds = {100, 100, 600, 400};
  r.x = x;
  r.y = y;
  r.ttlMs = 1500;
  r.issuedAtMs = kNow;
  return r;
}

CursorWindow target() { return {7, 42, {100, 100, 600, 400}, 0, true, 1.0}; }
const std::vector<CursorRect> kDisplays = {{0, 0, 1280, 800}};
const ProcessBirth kBirth{1700000000, 5};

// A string tag of each delivery, for comparing what reached the main thread.
std::string tag(const Delivery& d) {
  if (const auto* c = std::get_if<CursorDelivery>(&d)) {
    if (std::holds_alternative<CursorHide>(c->command)) return "hide";
    return "show@" + std::to_string(static_cast<int>(std::get<CursorRequest>(c->command).x));
  }
  if (const auto* p = std::get_if<PresenceDelivery>(&d)) {
    if (std::holds_alternative<PresenceConceal>(p->command)) return "conceal";
    return "presence#" + std::to_string(std::get<PresenceRequest>(p->command).id);
  }
  return "stop";
}

PresenceRequest presence(int64_t id) {
  PresenceRequest r;
  r.id = id;
  r.pid = 42;
  r.windowId = 7;
  r.title = "t";
  r.stop = "Stop";
  return r;
}

}  // namespace

TEST(Mailbox, CoalescesToTheLatestAndAppliesPresenceCursorStop) {
  std::vector<std::string> applied;
  int wakes = 0;
  Mailbox box([&](const Delivery& d) { applied.push_back(tag(d)); }, [&] { ++wakes; });
  box.submit(CursorDelivery{request(1), 0, 0});
  box.submit(StopDelivery{});
  box.submit(CursorDelivery{request(2), 0, 0});  // after the stop: dropped
  box.drain();
  EXPECT_EQ(applied, (std::vector<std::string>{"show@1", "stop"}));

  applied.clear();
  Mailbox second([&](const Delivery& d) { applied.push_back(tag(d)); }, [&] { ++wakes; });
  wakes = 0;
  second.submit(CursorDelivery{request(1), 0, 0});
  second.submit(PresenceDelivery{presence(1), 0, 0});
  second.submit(CursorDelivery{request(2), 0, 0});
  second.submit(PresenceDelivery{presence(2), 0, 0});
  EXPECT_EQ(wakes, 1);  // one drain queued for the burst
  second.drain();
  EXPECT_EQ(applied, (std::vector<std::string>{"presence#2", "show@2"}));
  second.submit(CursorDelivery{CursorHide{}, 0, 0});
  EXPECT_EQ(wakes, 2);
}

TEST(Mailbox, InvalidLineAfterShowHidesAndConceals) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<std::string> applied;
  Mailbox box([&](const Delivery& d) { applied.push_back(tag(d)); }, [] {});
  std::string show = R"({"type":"show","pid":42,"processStart":"1:0","windowId":7,)"
                     R"("windowBounds":{"x":0,"y":0,"width":800,"height":600},"x":300,"y":300,)"
                     R"("phase":"move","ttlMs":1500,"issuedAtMs":)" +
                     std::to_string(unixNowMs()) + "}\n";
  std::string input = show + "{not json\n" + "partial";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  runInputReader(fds[0], box);
  close(fds[0]);
  box.drain();
  EXPECT_EQ(applied, (std::vector<std::string>{"conceal", "hide", "stop"}));
}

TEST(Mailbox, OverlongLineEndsReadingWithoutTheLinesBeforeIt) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<std::string> applied;
  Mailbox box([&](const Delivery& d) { applied.push_back(tag(d)); }, [] {});
  std::string input = "{\"type\":\"conceal\"}\n" + std::string(1025, 'x') + "\n{\"type\":\"hide\"}\n";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  runInputReader(fds[0], box);
  close(fds[0]);
  box.drain();
  EXPECT_EQ(applied, (std::vector<std::string>{"stop"}));
}

TEST(Mailbox, ReaderThreadAndMainThreadMeetOnlyInTheMailbox) {
  // The reader submits from its own thread while the main thread drains; every
  // drain sees the latest state and the stop arrives last.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<int> wakes{0};
  std::vector<std::string> applied;
  Mailbox box([&](const Delivery& d) { applied.push_back(tag(d)); }, [&] { wakes.fetch_add(1); });
  std::thread reader([&] { runInputReader(fds[0], box); });
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) {
      std::string line = i % 2 ? "{\"type\":\"hide\"}\n" : "{\"type\":\"conceal\"}\n";
      ASSERT_EQ(write(fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    close(fds[1]);
  });
  while (applied.empty() || applied.back() != "stop") {
    box.drain();
    std::this_thread::yield();
  }
  writer.join();
  reader.join();
  close(fds[0]);
  EXPECT_GE(wakes.load(), 1);
  EXPECT_EQ(std::count(applied.begin(), applied.end(), "stop"), 1);
}

TEST(Lifetime, CursorRequestLivesItsRemainingTimeOnTheMonotonicClock) {
  CursorLifetime life;
  const uint64_t t0 = 5'000 * kMs;
  life.show(request(), t0, kNow);
  EXPECT_TRUE(life.current(t0));
  EXPECT_TRUE(life.current(t0 + 1499 * kMs));
  EXPECT_FALSE(life.current(t0 + 1500 * kMs));
  EXPECT_FALSE(life.current(t0 - 1));  // a clock before receipt shows nothing

  // Received 1000 ms after issue: only 500 ms remain.
  life.show(request(), t0, kNow + 1000);
  EXPECT_TRUE(life.current(t0 + 499 * kMs));
  EXPECT_FALSE(life.current(t0 + 500 * kMs));

  // Stale at receipt: dropped.
  life.show(request(), t0, kNow + 1500);
  EXPECT_FALSE(life.holds());
  life.show(request(), t0, kNow);
  life.hide();
  EXPECT_FALSE(life.current(t0));
}

TEST(Lifetime, PresenceWorkingStaysAndTurnExpires) {
  PresenceLifetime life;
  const uint64_t t0 = 9'000 * kMs;
  life.show(presence(1), t0, kNow);
  EXPECT_TRUE(life.current(t0 + 3'600'000 * kMs));

  PresenceRequest turn = presence(2);
  turn.state = PresenceState::turn;
  turn.stop.reset();
  turn.ttlMs = 3000;
  turn.issuedAtMs = kNow;
  life.show(turn, t0, kNow + 100);
  EXPECT_TRUE(life.current(t0 + 2899 * kMs));
  EXPECT_FALSE(life.current(t0 + 2900 * kMs));

  turn.issuedAtMs = kNow - 5000;  // stale at receipt
  life.show(turn, t0, kNow);
  EXPECT_FALSE(life.request());
  life.show(presence(3), t0, kNow);
  life.conceal();
  EXPECT_FALSE(life.current(t0));
}

TEST(OverlayVisibility, CursorAllows) {
  CursorWindow t = target();
  auto front = [](CursorWindow w) { return w; };
  struct Case {
    const char* what;
    CursorRequest request;
    std::optional<ProcessBirth> birth;
    std::vector<CursorWindow> windows;
    std::vector<CursorRect> displays;
    std::set<uint32_t> own;
    bool allowed;
  };
  CursorWindow touching{9, 50, {100, 340, 200, 60}, 0, true, 1.0};  // top edge at the glyph's bottom (y 340)
  CursorWindow far{9, 50, {600, 600, 50, 50}, 0, true, 1.0};
  CursorRequest moved = request();
  moved.windowBounds.x += 0.5;
  CursorRequest moved6 = request();
  moved6.windowBounds.x += 0.6;
  CursorRequest noPid = request();
  noPid.pid = 0;
  CursorWindow notching = touching;
  notching.layer = 25;
  CursorWindow clear = touching;
  clear.alpha = 0;
  CursorWindow offscreen = touching;
  offscreen.onScreen = false;
  CursorWindow flat = far;
  flat.bounds.width = 0;
  CursorWindow nanAlpha = far;
  nanAlpha.alpha = NAN;
  CursorWindow ownPanel = touching;
  ownPanel.id = 77;
  CursorWindow otherPid = t, layered = t, hidden = t, invisible = t;
  otherPid.pid = 43;
  layered.layer = 3;
  hidden.onScreen = false;
  invisible.alpha = 0;
  const Case cases[] = {
      {"target in front", request(), kBirth, {t}, kDisplays, {}, true},
      {"target second, window in front elsewhere", request(), kBirth, {far, t}, kDisplays, {}, true},
      {"window in front touching the glyph", request(), kBirth, {touching, t}, kDisplays, {}, false},
      {"in front on layer 25", request(), kBirth, {front(notching), t}, kDisplays, {}, true},
      {"in front with alpha 0", request(), kBirth, {clear, t}, kDisplays, {}, true},
      {"in front not on screen", request(), kBirth, {offscreen, t}, kDisplays, {}, true},
      {"in front with width 0, far away", request(), kBirth, {flat, t}, kDisplays, {}, false},
      {"in front with alpha NaN", request(), kBirth, {nanAlpha, t}, kDisplays, {}, false},
      {"our own panel in front", request(), kBirth, {ownPanel, t}, kDisplays, {77}, true},
      {"bounds off by 0.5", moved, kBirth, {t}, kDisplays, {}, true},
      {"bounds off by 0.6", moved6, kBirth, {t}, kDisplays, {}, false},
      {"hot spot 16 from the left edge", request(116, 300), kBirth, {t}, kDisplays, {}, true},
      {"hot spot 15 from the left edge", request(115, 300), kBirth, {t}, kDisplays, {}, false},
      {"hot spot 15 from the top edge", request(300, 115), kBirth, {t}, kDisplays, {}, false},
      {"hot spot 72 from the right edge", request(628, 300), kBirth, {t}, kDisplays, {}, true},
      {"hot spot 71 from the right edge", request(629, 300), kBirth, {t}, kDisplays, {}, false},
      {"hot spot 39 from the bottom edge", request(300, 461), kBirth, {t}, kDisplays, {}, false},
      {"two windows with the target's number", request(), kBirth, {t, t}, kDisplays, {}, false},
      {"process restarted", request(), ProcessBirth{1700000000, 6}, {t}, kDisplays, {}, false},
      {"process gone", request(), std::nullopt, {t}, kDisplays, {}, false},
      {"no such window", request(), kBirth, {far}, kDisplays, {}, false},
      {"window of another pid", request(), kBirth, {otherPid}, kDisplays, {}, false},
      {"window on layer 3", request(), kBirth, {layered}, kDisplays, {}, false},
      {"window off screen", request(), kBirth, {hidden}, kDisplays, {}, false},
      {"window transparent", request(), kBirth, {invisible}, kDisplays, {}, false},
      {"no display", request(), kBirth, {t}, {}, {}, false},
      {"glyph off the display", request(), kBirth, {t}, {{0, 0, 320, 800}}, {}, false},
      {"pid 0", noPid, kBirth, {t}, kDisplays, {}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CursorVisibility::allows(c.request, c.birth, c.windows, c.displays, c.own), c.allowed) << c.what;
}

TEST(OverlayVisibility, PresenceFrameAndOrder) {
  PresenceRequest r = presence(1);
  CursorWindow w{7, 42, {10, 20, 1000, 700}, 0, true, 1};
  EXPECT_EQ(PresenceVisibility::frame(r, w), (CursorRect{10, 20, 1000, 700}));
  struct Case {
    const char* what;
    CursorWindow window;
  };
  auto with = [&](auto change) {
    CursorWindow c = w;
    change(c);
    return c;
  };
  const Case refused[] = {
      {"159 wide", with([](CursorWindow& c) { c.bounds.width = 159; })},
      {"99 high", with([](CursorWindow& c) { c.bounds.height = 99; })},
      {"another pid", with([](CursorWindow& c) { c.pid = 43; })},
      {"another window", with([](CursorWindow& c) { c.id = 8; })},
      {"layer 3", with([](CursorWindow& c) { c.layer = 3; })},
      {"off screen", with([](CursorWindow& c) { c.onScreen = false; })},
      {"alpha 0", with([](CursorWindow& c) { c.alpha = 0; })},
      {"infinite bounds", with([](CursorWindow& c) { c.bounds.x = INFINITY; })},
  };
  for (const auto& c : refused) EXPECT_FALSE(PresenceVisibility::frame(r, c.window)) << c.what;
  EXPECT_FALSE(PresenceVisibility::frame(r, std::nullopt));
  EXPECT_TRUE(PresenceVisibility::frame(r, with([](CursorWindow& c) { c.bounds.width = 160; c.bounds.height = 100; })));

  EXPECT_TRUE(PresenceVisibility::ordered({5, 2, 1}, {2, 1}));
  EXPECT_TRUE(PresenceVisibility::ordered({1}, {1}));
  EXPECT_FALSE(PresenceVisibility::ordered({2, 1, 5}, {2, 1}));  // something came between
  EXPECT_FALSE(PresenceVisibility::ordered({1, 2}, {2, 1}));
  EXPECT_FALSE(PresenceVisibility::ordered({1}, {2, 1}));
  EXPECT_FALSE(PresenceVisibility::ordered({1}, {}));
}

TEST(OverlayNotchLayout, Fit) {
  struct Case {
    const char* what;
    double window, glyph, title;
    std::optional<double> note;
    bool stop;
    std::optional<NotchLayout> layout;
  };
  const Case cases[] = {
      {"working, no note", 300, 6, 100, std::nullopt, true, NotchLayout{179, false}},
      {"note fits", 300, 6, 100, 60, true, NotchLayout{249, true}},
      {"note dropped in 296", 296, 6, 100, 60, true, NotchLayout{179, false}},
      {"turn", 300, 14, 100, std::nullopt, false, NotchLayout{166, false}},
      {"too narrow", 200, 6, 100, std::nullopt, true, std::nullopt},
      {"exactly fits", 227, 6, 100, std::nullopt, true, NotchLayout{179, false}},
      {"fraction rounds up", 300, 6, 100.2, std::nullopt, true, NotchLayout{180, false}},
      {"note of width 0 ignored", 300, 6, 100, 0, true, NotchLayout{179, false}},
      {"negative title", 300, 6, -1, std::nullopt, true, std::nullopt},
      {"NaN window", NAN, 6, 100, std::nullopt, true, std::nullopt},
      {"infinite note", 300, 6, 100, INFINITY, true, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NotchLayout::fit(c.window, c.glyph, c.title, c.note, c.stop), c.layout) << c.what;
}

TEST(OverlaySoftRing, Geometry) {
  struct Case {
    double radius, scale;
    double inset, side;
    int pixels;
  };
  const Case cases[] = {
      {10, 2, 40, 82, 164}, {0, 1, 40, 82, 82}, {16, 1, 40, 82, 82}, {34, 1, 40, 82, 82},
      {40, 1, 46, 94, 94},  {10, 1.5, 40, 82, 123},
  };
  for (const auto& c : cases) {
    auto g = softRingGeometry(c.radius, c.scale);
    ASSERT_TRUE(g) << c.radius;
    EXPECT_EQ(g->inset, c.inset) << c.radius;
    EXPECT_EQ(g->side, c.side) << c.radius;
    EXPECT_EQ(g->pixels, c.pixels) << c.radius << " at " << c.scale;
    EXPECT_DOUBLE_EQ(g->centreX, c.inset / c.side);
    EXPECT_DOUBLE_EQ(g->centreWidth, 2 / c.side);
  }
  EXPECT_FALSE(softRingGeometry(10, 0));
  EXPECT_FALSE(softRingGeometry(NAN, 1));
}

TEST(OverlaySoftRing, OpaqueAtTheEdgeAndGoneAboutThirtyFourInward) {
  auto ring = softRing(10, 1);
  ASSERT_TRUE(ring);
  const int n = ring->geometry.pixels;
  auto at = [&](int x, int y) { return ring->alpha[static_cast<size_t>(y) * n + x]; };
  int mid = n / 2;
  EXPECT_GE(at(0, mid), 150);          // strong at the edge
  EXPECT_GT(at(10, mid), at(20, mid));  // fading inward
  EXPECT_GT(at(20, mid), 0);
  EXPECT_EQ(at(mid, mid), 0);  // the stretched middle band leaves the inside untouched
  EXPECT_EQ(at(0, 0), 0);      // outside the rounded corner
  for (int x = 0; x < mid; ++x) EXPECT_GE(at(x, mid), at(x + 1, mid)) << x;
}
