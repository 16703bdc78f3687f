// The drivers on a virtual clock: the exact events, their order and pacing, the
// units and held input they report, and how they stop.
#include <gtest/gtest.h>

#include "courier/tests/server_fixture.hpp"

namespace quorl::courier::testing {
namespace {

class ServerDrivers : public ServerFixture {
 protected:
  ServerDrivers() : ServerFixture(/*virtualClock=*/true) {}
  void SetUp() override {
    ServerFixture::SetUp();
    s = std::make_shared<Session>();
    s->id = "s1";
    s->generation = 1;
    s->pid = kTarget;
    s->start = kStart;
    auto acquired = TargetLock::acquire(lockDir, kTarget, kStart, "s1",
                                        [this](pid_t p) { return platform.processStart(p); });
    s->ownership = std::move(std::get<TargetLock::Held>(acquired).lock);
    server->adoptSessionForTest(s);
  }
  void TearDown() override {
    s->ownership->release();
    ServerFixture::TearDown();
  }
  std::vector<Posted> ofKind(Posted::Kind kind) {
    std::vector<Posted> out;
    for (const auto& p : platform.posted())
      if (p.kind == kind) out.push_back(p);
    return out;
  }
  Json record() { return s->ownership->record(); }

  SessionRef s;
  const Point at{150, 160};
};

TEST_F(ServerDrivers, TripleClickPacesAndNumbersItsPresses) {
  auto r = server->pointerInput(s, Server::PointerKind::click, Button::left, 3, 30, at, kWindow);
  EXPECT_EQ(r, (DriverResult{std::nullopt, 6, false}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 7u);
  const std::vector<std::pair<int, int64_t>> want = {{5, 0}, {1, 1}, {2, 1}, {1, 2}, {2, 2}, {1, 3}, {2, 3}};
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].type, want[i].first) << i;
    EXPECT_EQ(p[i].clicks, want[i].second) << i;
    EXPECT_EQ(p[i].at, at);
    EXPECT_EQ(p[i].window, kWindow);
    EXPECT_EQ(p[i].pid, kTarget);
  }
  EXPECT_EQ(p[1].t - p[0].t, 15);  // after the move
  EXPECT_EQ(p[2].t - p[1].t, 30);  // the hold, polled every 2 ms
  EXPECT_EQ(p[3].t - p[2].t, 60);  // between presses
  EXPECT_EQ(platform.sleeps()[1], 2);
  EXPECT_FALSE(s->buttonDown);
  EXPECT_EQ(record()["pressed"], false);
}

TEST_F(ServerDrivers, MouseDownHoldsTheButtonUntilMouseUp) {
  auto down = server->pointerInput(s, Server::PointerKind::mouseDown, Button::right, 3, 30, at, kWindow);
  EXPECT_EQ(down, (DriverResult{std::nullopt, 1, true}));
  ASSERT_TRUE(s->buttonDown);
  EXPECT_EQ(s->buttonDown->button, Button::right);
  EXPECT_EQ(record()["pressed"], true);
  EXPECT_EQ(record()["held"], (Json{{"button", "right"}, {"keys", 0}, {"modifiers", Json::array()}}));
  platform.clearPosted();
  auto up = server->pointerInput(s, Server::PointerKind::mouseUp, Button::right, 1, 30, at, kWindow);
  EXPECT_EQ(up, (DriverResult{std::nullopt, 1, false}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].type, 4);
  EXPECT_EQ(p[0].clicks, 1);
  EXPECT_FALSE(s->buttonDown);
  EXPECT_EQ(record()["pressed"], false);
}

TEST_F(ServerDrivers, AStopDuringAHoldLeavesTheButtonDown) {
  for (int press : {1, 2}) {
    platform.clearPosted();
    s->stop.reset();
    int downs = 0;
    platform.onPost = [&](const Posted& p) {
      if (p.type == 1 && ++downs == press) s->stop = Stop::cancelled;
    };
    auto r = server->pointerInput(s, Server::PointerKind::click, Button::left, 3, 500, at, kWindow);
    EXPECT_EQ(r, (DriverResult{Stop::cancelled, 2 * press - 1, true})) << press;
    EXPECT_TRUE(s->buttonDown);
    platform.onPost = nullptr;
    EXPECT_EQ(server->releaseOwn(s), std::vector<std::string>{"button"});
  }
}

TEST_F(ServerDrivers, ScrollChunksAndPaces) {
  struct Case {
    int64_t dx, dy;
    bool pixel;
    std::vector<std::pair<int32_t, int32_t>> chunks;  // (dy, dx)
  };
  const std::vector<Case> cases = {
      {0, 10, false, {{3, 0}, {3, 0}, {3, 0}, {1, 0}}},
      {0, -100, true, {{-40, 0}, {-40, 0}, {-20, 0}}},
      {5, 10, false, {{3, 3}, {3, 2}, {3, 0}, {1, 0}}},
      {-2, 0, false, {{0, -2}}},
  };
  for (const auto& c : cases) {
    platform.clearPosted();
    auto r = server->scroll(s, at, kWindow, c.dx, c.dy, c.pixel);
    EXPECT_EQ(r, (DriverResult{std::nullopt, static_cast<int64_t>(c.chunks.size()), false}));
    auto p = platform.posted();
    ASSERT_EQ(p.size(), c.chunks.size() + 1);
    EXPECT_EQ(p[0].type, kMouseMoved);
    EXPECT_EQ(p[0].button, Button::left);
    EXPECT_EQ(p[0].clicks, 0);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(p[i + 1].kind, Posted::Kind::wheel);
      EXPECT_EQ(std::make_pair(p[i + 1].dy, p[i + 1].dx), c.chunks[i]) << i;
      EXPECT_EQ(p[i + 1].pixel, c.pixel);
      EXPECT_EQ(p[i + 1].t - p[i].t, i == 0 ? 15 : 16);
    }
  }
}

TEST_F(ServerDrivers, LongScrollsCheckTheTargetEverySixteenChunks) {
  int before = platform.startQueries(kTarget);
  auto r = server->scroll(s, at, kWindow, 0, 3 * 40, false);
  EXPECT_EQ(r.units, 40);
  EXPECT_EQ(platform.startQueries(kTarget) - before, 2);  // before chunks 16 and 32

  platform.clearPosted();
  platform.onPost = [&](const Posted& p) {
    if (p.kind == Posted::Kind::wheel && ofKind(Posted::Kind::wheel).size() == 5) s->stop = Stop::yield;
  };
  EXPECT_EQ(server->scroll(s, at, kWindow, 0, 100, false), (DriverResult{Stop::yield, 5, false}));
  s->stop.reset();
  platform.onPost = [&](const Posted&) {
    if (ofKind(Posted::Kind::wheel).size() == 3) platform.setStart(kTarget, "1700000009:1");
  };
  platform.clearPosted();
  EXPECT_EQ(server->scroll(s, at, kWindow, 0, 100, false), (DriverResult{Stop::targetChanged, 16, false}));
}

TEST_F(ServerDrivers, DragStepsLinearlyAtItsPace) {
  const Point to{250, 260};
  auto r = server->drag(s, at, to, Button::left, 400, kWindow);
  EXPECT_EQ(r, (DriverResult{std::nullopt, 27, false}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 28u);
  EXPECT_EQ(p[0].type, 5);
  EXPECT_EQ(p[0].clicks, 0);
  EXPECT_EQ(p[1].type, 1);
  EXPECT_EQ(p[1].at, at);
  EXPECT_EQ(p[1].t - p[0].t, 15);
  EXPECT_EQ(p[2].t - p[1].t, 30);
  for (int i = 1; i <= 25; ++i) {
    EXPECT_EQ(p[1 + i].type, 6);
    EXPECT_EQ(p[1 + i].clicks, 1);
    EXPECT_DOUBLE_EQ(p[1 + i].at.x, at.x + 100.0 * i / 25);
    EXPECT_DOUBLE_EQ(p[1 + i].at.y, at.y + 100.0 * i / 25);
    if (i > 1) {
      EXPECT_DOUBLE_EQ(p[1 + i].t - p[i].t, 16);
    }
  }
  EXPECT_EQ(p[27].type, 2);
  EXPECT_EQ(p[27].at, to);
  EXPECT_FALSE(s->buttonDown);

  platform.clearPosted();
  server->drag(s, at, at, Button::right, 50, kWindow);  // 50 ms: 3 steps 16.666 ms apart, same point
  p = platform.posted();
  ASSERT_EQ(p.size(), 6u);
  const std::vector<int> types = {5, 3, 7, 7, 7, 4};
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].type, types[i]);
    EXPECT_EQ(p[i].button, Button::right);
  }
  EXPECT_NEAR(p[3].t - p[2].t, 16.666, 1e-9);
}

TEST_F(ServerDrivers, ADragEndingMidWayReleasesAtItsLastPosition) {
  platform.onPost = [&](const Posted& p) {
    if (p.type == 6 && ofKind(Posted::Kind::mouse).size() == 2 + 9) s->state = Session::State::ending;
  };
  auto r = server->drag(s, at, Point{250, 260}, Button::left, 400, kWindow);
  EXPECT_EQ(r, (DriverResult{Stop::ending, 10, true}));
  platform.onPost = nullptr;
  auto last = platform.posted().back();
  ASSERT_TRUE(s->buttonDown);
  EXPECT_EQ(s->buttonDown->point, last.at);
  EXPECT_EQ(record()["held"]["button"], "left");
  platform.clearPosted();
  EXPECT_EQ(server->releaseOwn(s), std::vector<std::string>{"button"});
  auto up = platform.posted();
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].type, 2);
  EXPECT_EQ(up[0].at, last.at);
  EXPECT_EQ(up[0].clicks, 1);
  EXPECT_EQ(record()["pressed"], false);
}

TEST_F(ServerDrivers, DragChecksTheTargetEveryEightSteps) {
  int before = platform.startQueries(kTarget);
  server->drag(s, at, Point{250, 260}, Button::left, 400, kWindow);
  EXPECT_EQ(platform.startQueries(kTarget) - before, 3);  // steps 8, 16, 24
  platform.setStart(kTarget, std::nullopt);
  EXPECT_EQ(server->drag(s, at, Point{250, 260}, Button::left, 400, kWindow),
            (DriverResult{Stop::targetChanged, 8, true}));
}

TEST_F(ServerDrivers, TypingSendsOneKeyPerCharacter) {
  auto r = server->typeText(s, "a\r\nb\té\xF0\x9F\x91\x8D\r!");
  EXPECT_EQ(r, (DriverResult{std::nullopt, 8, false}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 16u);
  const std::vector<std::pair<uint16_t, std::optional<std::u16string>>> want = {
      {0, u"a"}, {36, std::nullopt}, {0, u"b"}, {48, std::nullopt}, {0, u"é"}, {0, u"\U0001F44D"}, {0, u"\r"}, {0, u"!"}};
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(p[2 * i].code, want[i].first) << i;
    EXPECT_TRUE(p[2 * i].down);
    EXPECT_FALSE(p[2 * i + 1].down);
    EXPECT_EQ(p[2 * i].unicode, want[i].second) << i;
    EXPECT_EQ(p[2 * i + 1].unicode, want[i].second) << i;
    EXPECT_EQ(p[2 * i].flags, 0u);
    if (i > 0) {
      EXPECT_EQ(p[2 * i].t - p[2 * i - 2].t, 8);
    }
  }
  EXPECT_TRUE(s->pressedKeys.empty());
  EXPECT_EQ(server->typeText(s, ""), (DriverResult{std::nullopt, 0, false}));
}

TEST_F(ServerDrivers, TypingChecksTheTargetEveryThirtyTwoCharacters) {
  int before = platform.startQueries(kTarget);
  EXPECT_EQ(server->typeText(s, std::string(33, 'x')).units, 33);
  EXPECT_EQ(platform.startQueries(kTarget) - before, 1);
  platform.setStart(kTarget, "1700000009:1");
  EXPECT_EQ(server->typeText(s, std::string(40, 'x')), (DriverResult{Stop::ending, 32, false}));
  platform.setStart(kTarget, kStart);
  platform.onPost = [&](const Posted&) {
    if (platform.posted().size() == 2 * 3) s->stop = Stop::cancelled;
  };
  platform.clearPosted();
  EXPECT_EQ(server->typeText(s, std::string(40, 'x')), (DriverResult{Stop::cancelled, 3, false}));
}

TEST_F(ServerDrivers, PressKeyOrdersModifiersAndFlags) {
  auto r = server->pressKey(s, 1, {"cmd", "shift"}, 10);
  EXPECT_EQ(r, (DriverResult{std::nullopt, 6, false}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 6u);
  const std::vector<std::tuple<uint16_t, bool, uint64_t>> want = {
      {55, true, 0x100000}, {56, true, 0x120000}, {1, true, 0x120000},
      {1, false, 0x120000}, {56, false, 0x100000}, {55, false, 0}};
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(std::make_tuple(p[i].code, p[i].down, p[i].flags), want[i]) << i;
  EXPECT_EQ(p[3].t - p[2].t, 10);
  EXPECT_TRUE(s->pressedKeys.empty());

  platform.clearPosted();
  EXPECT_EQ(server->pressKey(s, 36, {}, 0), (DriverResult{std::nullopt, 2, false}));
  p = platform.posted();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].t, p[0].t);

  platform.clearPosted();
  EXPECT_EQ(server->pressKey(s, 0, {"shift", "shift"}, 0).units, 6);
  p = platform.posted();
  EXPECT_EQ(p[4].flags, 0u);
  EXPECT_EQ(p[5].flags, 0u);
}

TEST_F(ServerDrivers, AStopDuringAKeyHoldLeavesEverythingDownForRelease) {
  platform.onPost = [&](const Posted& p) {
    if (p.code == 1 && p.down) s->stop = Stop::yield;
  };
  auto r = server->pressKey(s, 1, {"cmd", "shift"}, 2000);
  EXPECT_EQ(r, (DriverResult{Stop::yield, 3, true}));
  platform.onPost = nullptr;
  EXPECT_EQ(s->pressedKeys, (std::map<uint16_t, uint64_t>{{1, 0x120000}, {55, 0x100000}, {56, 0x120000}}));
  EXPECT_EQ(record()["held"], (Json{{"keys", 1}, {"modifiers", {"cmd", "shift"}}}));
  platform.clearPosted();
  EXPECT_EQ(server->releaseOwn(s), (std::vector<std::string>{"key", "modifier", "modifier"}));
  auto p = platform.posted();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].code, 1);
  for (const auto& e : p) {
    EXPECT_FALSE(e.down);
    EXPECT_EQ(e.flags, 0u);
  }
  EXPECT_EQ(record()["pressed"], false);
  // Nothing held: nothing posted, an empty list.
  platform.clearPosted();
  EXPECT_TRUE(server->releaseOwn(s).empty());
  EXPECT_TRUE(platform.posted().empty());
}

TEST_F(ServerDrivers, HeldSummaryCountsKeysAndSortsModifiers) {
  EXPECT_EQ(server->heldSummary(*s), std::nullopt);
  s->pressedKeys = {{59, 0}, {55, 0}, {0, 0}, {11, 0}};
  s->buttonDown = HeldButton{Button::left, at, kWindow};
  EXPECT_EQ(server->heldSummary(*s), (Json{{"keys", 2}, {"modifiers", {"cmd", "ctrl"}}, {"button", "left"}}));
  s->pressedKeys = {{58, 0}};
  s->buttonDown.reset();
  EXPECT_EQ(server->heldSummary(*s), (Json{{"keys", 0}, {"modifiers", {"option"}}}));
}

}  // namespace
}  // namespace quorl::courier::testing
