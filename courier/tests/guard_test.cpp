// The user-activity guard against the recording platform on the real clock: what
// the user does, and whether the session yields.
#include <gtest/gtest.h>

#include "courier/tests/server_fixture.hpp"

namespace quorl::courier::testing {
namespace {

class GuardUserActivity : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    platform.setWindows({other, targetWindow()});
    platform.setFront(5555);
  }
  // Waits until the guard has made two more polls (so it has seen what changed).
  void guardPolled() {
    int before = platform.frontQueries();
    ASSERT_TRUE(waitUntil([&] { return platform.frontQueries() >= before + 2; }));
  }
  void expectNoYield() {
    guardPolled();
    EXPECT_FALSE(log.waitEvent("yield", 20));
    EXPECT_TRUE(server->session());
  }
  const WindowInfo other{88, 5555, 0, 1.0, Rect{600, 100, 200, 200}};
};

TEST_F(GuardUserActivity, AClickInTheTargetYieldsAndStopsTheAct) {
  begin();
  send(act(1, {{"kind", "click"}, {"x", 150}, {"y", 150}, {"hold_ms", 2000}}));
  ASSERT_TRUE(waitUntil([&] { return postedType(1); }));
  platform.setPointer({200, 200});
  double pressedAt = quorl::nowMs();
  platform.userEvent(UserEvent::leftDown);
  auto yield = log.waitEvent("yield");
  ASSERT_TRUE(yield);
  EXPECT_TRUE(hasExactly(*yield, {{"event", "yield"},
                                  {"session", "s1"},
                                  {"generation", 1},
                                  {"reason", "pointer_in_target"},
                                  {"window", kWindow},
                                  {"layer", 0}}));
  auto r = *result(1);
  EXPECT_EQ(r["event"], "interrupted");
  EXPECT_EQ(r["reason"], "yield");
  EXPECT_EQ(r["released"], Json{"button"});
  auto ended = *log.waitEvent("ended");
  EXPECT_EQ(ended["reason"], "yield:pointer_in_target");
  EXPECT_EQ(ended["yielded"], true);
  EXPECT_LT(quorl::nowMs() - pressedAt, 1000);
  // yield, then the act's answer, then ended.
  auto all = log.all();
  std::vector<std::string> order;
  for (const auto& e : all)
    if (e["event"] == "yield" || e["event"] == "interrupted" || e["event"] == "ended") order.push_back(e["event"]);
  EXPECT_EQ(order, (std::vector<std::string>{"yield", "interrupted", "ended"}));
  EXPECT_FALSE(server->session());
}

TEST_F(GuardUserActivity, PointerEventsOutsideTheTargetAreIgnored) {
  platform.setWindows({WindowInfo{99, 6666, 0, 1.0, Rect{100, 100, 50, 50}}, other, targetWindow()});
  platform.setOverlayPids({6666});
  begin();
  platform.setPointer({650, 150});  // another application's window
  platform.userEvent(UserEvent::leftDown);
  platform.userEvent(UserEvent::wheel);
  expectNoYield();
  platform.setPointer({1000, 700});  // no window at all
  platform.userEvent(UserEvent::rightDown);
  expectNoYield();
  platform.setPointer({120, 120});  // the overlay, over the target
  platform.userEvent(UserEvent::wheel);
  auto yield = log.waitEvent("yield");
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "wheel_in_target");
  EXPECT_EQ((*yield)["window"], kWindow);
}

TEST_F(GuardUserActivity, EventsBeforeTheBeginNeverYield) {
  platform.setPointer({200, 200});
  platform.userEvent(UserEvent::leftDown);
  platform.userEvent(UserEvent::keyDown);
  platform.setKeyFocus(kTarget);
  begin();
  expectNoYield();
}

TEST_F(GuardUserActivity, TypingYieldsOnlyWhenTheTargetHasTheKeyboard) {
  begin();
  platform.userEvent(UserEvent::keyDown);
  expectNoYield();
  platform.setKeyFocus(kTarget);
  platform.userEvent(UserEvent::keyDown);
  auto yield = log.waitEvent("yield");
  ASSERT_TRUE(yield);
  EXPECT_TRUE(hasExactly(*yield, {{"event", "yield"}, {"session", "s1"}, {"generation", 1}, {"reason", "typing_in_target"}}));
  EXPECT_EQ((*log.waitEvent("ended"))["reason"], "yield:typing_in_target");
}

TEST_F(GuardUserActivity, BringingTheTargetToTheFrontYields) {
  begin();
  platform.setFront(kTarget);
  auto yield = log.waitEvent("yield");
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "front_switch_to_target");
  EXPECT_FALSE(yield->contains("window"));
}

TEST_F(GuardUserActivity, ATargetAlreadyInFrontYieldsOnlyAfterLeavingAndComingBack) {
  platform.setFront(kTarget);
  auto ready = begin();
  EXPECT_EQ(ready["target_front"], true);
  expectNoYield();
  platform.setFront(5555);
  expectNoYield();
  platform.setFront(kTarget);
  auto yield = log.waitEvent("yield");
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "front_switch_to_target");
}

TEST_F(GuardUserActivity, OneEndedPerSessionWhateverRacesForIt) {
  for (int round = 1; round <= 5; ++round) {
    begin("s1", round);
    std::vector<std::thread> racers;
    racers.emplace_back([&] { server->finish("requested", false); });
    racers.emplace_back([&] { server->finish("idle_timeout", false); });
    racers.emplace_back([&] { platform.setFront(kTarget); });
    for (auto& t : racers) t.join();
    ASSERT_TRUE(waitUntil([&] { return !server->session(); }));
    platform.setFront(5555);
  }
  ASSERT_TRUE(waitUntil([&] {
    int ended = 0;
    for (const auto& e : log.all()) ended += e["event"] == "ended";
    return ended == 5;
  }));
  EXPECT_FALSE(waitUntil(
      [&] {
        int ended = 0;
        for (const auto& e : log.all()) ended += e["event"] == "ended";
        return ended > 5;
      },
      100));
}

}  // namespace
}  // namespace quorl::courier::testing
