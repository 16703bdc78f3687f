// Running applications on a real desktop: which processes are applications, and
// their window-derived state (active, hidden, regular) as the user changes it.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

#include "platform/apps.hpp"
#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

namespace quorl::platform {
namespace {

using namespace std::chrono_literals;
using testdesk::TargetApp;
using testdesk::TestDesktop;
using testdesk::waitFor;

TEST(RunningApplications, WindowStateFollowsTheDesktop) {
  TestDesktop desktop;
  desktop.adoptEnvironment();
  TargetApp first(desktop, TargetApp::Kind::xlib, {.title = "first", .x = 20, .y = 20});
  TargetApp helper(desktop, TargetApp::Kind::xlib,
                   {.title = "helper", .x = 500, .y = 20, .extraArgs = {"--skip-taskbar"}});

  auto app = runningApplication(first.pid());
  ASSERT_TRUE(app);
  EXPECT_EQ(app->pid(), first.pid());
  EXPECT_EQ(app->bundleIdentifier(), "");  // no entry names this window class
  EXPECT_FALSE(app->bundlePath());
  EXPECT_EQ(app->executablePath(), canonicalPath(testdesk::binDir() + "/xlib-target"));
  EXPECT_EQ(app->localizedName(), "xlib-target");
  EXPECT_EQ(app->launchDateMicros(), processStartMicros(first.pid()));
  EXPECT_FALSE(app->isTerminated());
  EXPECT_TRUE(app->isRegular());
  EXPECT_FALSE(app->isHidden());

  auto other = runningApplication(helper.pid());
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->isRegular());  // its only window stays off the task bar

  auto all = runningApplications();
  auto has = [&](pid_t pid) {
    return std::any_of(all.begin(), all.end(), [&](const RunningApplication& a) { return a.pid() == pid; });
  };
  EXPECT_TRUE(has(first.pid()));
  EXPECT_TRUE(has(helper.pid()));
  EXPECT_FALSE(has(getpid()));  // the test itself owns no window

  // The window manager gives the front to one and then the other.
  ASSERT_TRUE(helper.child().writeLine("activate"));
  EXPECT_TRUE(waitFor([&] { return other->isActive() && !app->isActive(); }, 5s, 20ms));
  ASSERT_TRUE(first.child().writeLine("activate"));
  EXPECT_TRUE(waitFor([&] { return app->isActive() && !other->isActive(); }, 5s, 20ms));

  // Minimised by the user: hidden.
  desktop.xdotool({"windowminimize", std::to_string(first.window())});
  EXPECT_TRUE(waitFor([&] { return app->isHidden(); }, 5s, 20ms));
  EXPECT_FALSE(other->isHidden());

  first.child().kill(SIGKILL);
  EXPECT_TRUE(first.child().waitExit(5s));
  EXPECT_TRUE(app->isTerminated());
  EXPECT_FALSE(runningApplication(first.pid()));
}

TEST(RunningApplications, ACommandLineProcessIsNone) {
  TestDesktop desktop;
  desktop.adoptEnvironment();
  auto plain = testdesk::Child::start({"sleep", "600"});
  EXPECT_FALSE(runningApplication(plain->pid()));
  EXPECT_FALSE(runningApplication(0));
}

}  // namespace
}  // namespace quorl::platform
