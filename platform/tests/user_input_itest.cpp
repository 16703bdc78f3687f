// The user-input listener and the agent device pair on a real test desktop:
// xdotool plays the user; the agent's own devices must not count as the user.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/agent_input.hpp"
#include "platform/user_input.hpp"
#include "tests/support/test_desktop.hpp"

namespace quorl::platform {
namespace {

using namespace std::chrono_literals;
using testdesk::waitFor;

constexpr xcb_keysym_t kShiftL = 0xffe1;

class UserInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desk_ = new testdesk::TestDesktop(); }
  static void TearDownTestSuite() {
    delete desk_;
    desk_ = nullptr;
  }
  static testdesk::TestDesktop* desk_;
};
testdesk::TestDesktop* UserInputTest::desk_ = nullptr;

std::string xinputList(const testdesk::TestDesktop& desk) { return desk.run({"xinput", "list", "--name-only"}).out; }

TEST_F(UserInputTest, UserEventsOfEachKindAreTimed) {
  auto in = makeUserInput(desk_->display().c_str());
  struct Case {
    std::vector<std::string> args;
    InputKind kind;
  };
  const Case cases[] = {
      {{"click", "1"}, InputKind::LeftDown}, {{"click", "3"}, InputKind::RightDown},
      {{"click", "2"}, InputKind::OtherDown}, {{"click", "8"}, InputKind::OtherDown},
      {{"click", "5"}, InputKind::Wheel},    {{"click", "6"}, InputKind::Wheel},
      {{"key", "x"}, InputKind::KeyDown},
  };
  desk_->xdotool({"mousemove", "5", "5"});
  for (const auto& c : cases) {
    // Let the kind's age grow past a mark, then expect it to restart.
    ASSERT_TRUE(waitFor([&] { return in->secondsSince(c.kind) > 0.3; }, 3000ms)) << c.args[1];
    ASSERT_EQ(desk_->xdotool(c.args).status, 0);
    EXPECT_TRUE(waitFor([&] { return in->secondsSince(c.kind) < 0.3; }, 3000ms)) << c.args[0] << " " << c.args[1];
  }
}

TEST_F(UserInputTest, TheAgentDevicesDoNotCountAsTheUser) {
  auto in = makeUserInput(desk_->display().c_str());
  auto agent = AgentInput::create(desk_->display().c_str());
  ASSERT_TRUE(agent);
  ASSERT_TRUE(waitFor([&] {
    return in->secondsSince(InputKind::LeftDown) > 0.5 && in->secondsSince(InputKind::KeyDown) > 0.5 &&
           in->secondsSince(InputKind::Wheel) > 0.5;
  }, 5000ms));
  agent->moveTo(600, 500);
  agent->button(1, true);
  agent->button(1, false);
  agent->button(4, true);
  agent->button(4, false);
  auto a = agent->strokeFor('q');
  ASSERT_TRUE(a);
  agent->key(a->keycode, true);
  agent->key(a->keycode, false);
  agent->sync();
  // The user's right click comes after the agent's events in the server's order:
  // once it is seen, the agent's events have been seen as well.
  ASSERT_EQ(desk_->xdotool({"click", "3"}).status, 0);
  ASSERT_TRUE(waitFor([&] { return in->secondsSince(InputKind::RightDown) < 0.5; }, 3000ms));
  EXPECT_GT(in->secondsSince(InputKind::LeftDown), 0.5);
  EXPECT_GT(in->secondsSince(InputKind::KeyDown), 0.5);
  EXPECT_GT(in->secondsSince(InputKind::Wheel), 0.5);
}

TEST_F(UserInputTest, HeldKeysAndPointerLocationAreTheUsers) {
  auto in = makeUserInput(desk_->display().c_str());
  desk_->xdotool({"mousemove", "123", "45"});
  EXPECT_TRUE(waitFor([&] { return in->pointerLocation() == Point{123, 45}; }));
  // The agent pointer moves elsewhere; the user's pointer stays.
  auto agent = AgentInput::create(desk_->display().c_str());
  ASSERT_TRUE(agent);
  agent->moveTo(700, 600);
  agent->sync();
  EXPECT_EQ(agent->pointerPosition(), (Point{700, 600}));
  EXPECT_EQ(in->pointerLocation(), (Point{123, 45}));

  EXPECT_FALSE(in->keysymHeld(kShiftL));
  desk_->xdotool({"keydown", "Shift_L"});
  EXPECT_TRUE(waitFor([&] { return in->keysymHeld(kShiftL); }));
  desk_->xdotool({"keyup", "Shift_L"});
  EXPECT_TRUE(waitFor([&] { return !in->keysymHeld(kShiftL); }));
  // A key held on the agent keyboard is not the user's.
  uint8_t shift = agent->keycodeFor(kShiftL);
  ASSERT_NE(shift, 0);
  agent->key(shift, true);
  agent->sync();
  EXPECT_FALSE(in->keysymHeld(kShiftL));
  agent->key(shift, false);
}

TEST_F(UserInputTest, TheProcessMonitorStopsAndStartsAgain) {
  desk_->adoptEnvironment();
  UserInput& first = userInput();
  desk_->xdotool({"mousemove", "31", "32"});
  EXPECT_TRUE(waitFor([&] { return first.pointerLocation() == Point{31, 32}; }));
  shutdownUserInput();
  EXPECT_EQ(first.pointerLocation(), (Point{0, 0}));
  EXPECT_FALSE(first.keysymHeld(kShiftL));
  UserInput& second = userInput();
  EXPECT_NE(&first, &second);
  desk_->xdotool({"click", "1"});
  EXPECT_TRUE(waitFor([&] { return second.secondsSince(InputKind::LeftDown) < 0.5; }));
  shutdownUserInput();
}

TEST_F(UserInputTest, WithoutADisplayNothingIsKnown) {
  auto in = makeUserInput(":986");
  EXPECT_EQ(in->secondsSince(InputKind::KeyDown), 1e9);
  EXPECT_FALSE(in->keysymHeld(kShiftL));
  EXPECT_EQ(in->pointerLocation(), (Point{0, 0}));
}

TEST_F(UserInputTest, ThePairGoesWithItsOwner) {
  auto agent = AgentInput::create(desk_->display().c_str());
  ASSERT_TRUE(agent);
  std::string name = agent->name();
  EXPECT_NE(xinputList(*desk_).find(name + " pointer"), std::string::npos);
  agent.reset();
  EXPECT_EQ(xinputList(*desk_).find("quorl-agent-"), std::string::npos);
}

// Run in a child process by the test below: makes a pair, then leaves through
// exit() (the exit hook removes the pair) or waits to be killed.
TEST(AgentPairChild, Run) {
  const char* mode = std::getenv("QUORL_AGENT_CHILD");
  if (!mode) GTEST_SKIP() << "runs only as a child of ExitRemovesThePairAndStalePairsAreSwept";
  static auto agent = AgentInput::create();  // kept until exit
  std::printf("pair %s\n", agent ? agent->name().c_str() : "none");
  std::fflush(stdout);
  if (std::string(mode) == "exit") std::exit(0);
  std::this_thread::sleep_for(60s);
}

TEST_F(UserInputTest, ExitRemovesThePairAndStalePairsAreSwept) {
  const std::string self = "/proc/self/exe";
  char path[4096] = {};
  ssize_t n = readlink(self.c_str(), path, sizeof path - 1);
  ASSERT_GT(n, 0);
  auto exiting = desk_->spawn({path, "--gtest_filter=AgentPairChild.Run"}, {{"QUORL_AGENT_CHILD", "exit"}});
  std::string made;
  while (auto l = exiting->readLine(10000ms)) {
    if (l->rfind("pair ", 0) == 0) {
      made = l->substr(5);
      break;
    }
  }
  EXPECT_EQ(made.rfind("quorl-agent-", 0), 0u) << made;
  EXPECT_EQ(exiting->waitExit(10000ms), 0);
  EXPECT_EQ(xinputList(*desk_).find("quorl-agent-"), std::string::npos) << xinputList(*desk_);

  // A process killed outright leaves its pair; the next pair made sweeps it.
  auto killed = desk_->spawn({path, "--gtest_filter=AgentPairChild.Run"}, {{"QUORL_AGENT_CHILD", "wait"}});
  std::string stale;
  while (auto l = killed->readLine(10000ms)) {
    if (l->rfind("pair ", 0) == 0) {
      stale = l->substr(5);
      break;
    }
  }
  ASSERT_EQ(stale.rfind("quorl-agent-", 0), 0u) << stale;
  killed->kill(SIGKILL);
  killed->waitExit(5000ms);
  EXPECT_NE(xinputList(*desk_).find(stale + " pointer"), std::string::npos);
  auto fresh = AgentInput::create(desk_->display().c_str());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(xinputList(*desk_).find(stale + " pointer"), std::string::npos);
  fresh.reset();
  EXPECT_EQ(xinputList(*desk_).find("quorl-agent-"), std::string::npos);
}

}  // namespace
}  // namespace quorl::platform
