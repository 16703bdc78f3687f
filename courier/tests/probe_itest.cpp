// input-courier probe and the hit-test window list on a real desktop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "courier/windows.hpp"
#include "platform/x11/connection.hpp"
#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl;
using namespace quorl::testdesk;

namespace {

nlohmann::json probe(const TestDesktop& desktop) {
  auto r = desktop.run({binDir() + "/input-courier", "probe"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << r.out;
  return j;
}

}  // namespace

TEST(CourierProbeOnDesktop, ReportsTheFrontAppAndTheOverlayPath) {
  TestDesktop desktop({.accessibility = true});
  TargetApp first(desktop, TargetApp::Kind::xlib, {.title = "first", .x = 50, .y = 50});
  TargetApp second(desktop, TargetApp::Kind::xlib, {.title = "second", .x = 300, .y = 200});
  ASSERT_TRUE(desktop.waitActive(second.window()));

  auto j = probe(desktop);
  EXPECT_EQ(j["event"], "probe");
  EXPECT_EQ(j["route"], "sky");
  EXPECT_EQ(j["missing"], nlohmann::json::array());
  EXPECT_EQ(j["post_access"], true);
  EXPECT_EQ(j["accessibility_trusted"], true);
  EXPECT_EQ(j["front_pid"], second.pid());
  EXPECT_EQ(j["key_focus_pid"], second.pid());
  EXPECT_EQ(j["decoration"], canonicalPath(binDir() + "/agent-overlay"));

  desktop.xdotool({"windowactivate", "--sync", std::to_string(first.window())});
  ASSERT_TRUE(desktop.waitActive(first.window()));
  ASSERT_TRUE(waitFor([&] { return desktop.focusWindow() == first.window(); }));
  j = probe(desktop);
  EXPECT_EQ(j["front_pid"], first.pid());
  EXPECT_EQ(j["key_focus_pid"], first.pid());
}

TEST(CourierProbeOnDesktop, WithoutAccessibilityBusNotTrusted) {
  TestDesktop desktop;
  auto j = probe(desktop);
  EXPECT_EQ(j["accessibility_trusted"], false);
  EXPECT_EQ(j["route"], "sky");
  EXPECT_EQ(j["front_pid"], -1) << "nothing is active on an empty desktop";
}

TEST(CourierWindowsOnDesktop, InvisibleAndThinWindowsAreNotPressable) {
  TestDesktop desktop;
  desktop.adoptEnvironment();
  TargetApp target(desktop, TargetApp::Kind::xlib, {.title = "target", .x = 100, .y = 100, .width = 400, .height = 300});
  TargetApp faint(desktop, TargetApp::Kind::xlib,
                  {.title = "faint", .x = 150, .y = 150, .width = 100, .height = 100, .extraArgs = {"--opacity", "0"}});
  TargetApp thin(desktop, TargetApp::Kind::xlib,
                 {.title = "thin", .x = 300, .y = 150, .width = 4, .height = 200, .extraArgs = {"--override-redirect"}});
  TargetApp cover(desktop, TargetApp::Kind::xlib,
                  {.title = "cover", .x = 400, .y = 300, .width = 200, .height = 150});

  std::vector<courier::WindowInfo> list;
  auto findIn = [&](uint32_t id) -> const courier::WindowInfo* {
    for (const auto& w : list) {
      if (w.id == id) return &w;
    }
    return nullptr;
  };
  ASSERT_TRUE(waitFor([&] {
    list = courier::onScreenWindows();
    return findIn(target.window()) && findIn(faint.window()) && findIn(thin.window()) && findIn(cover.window()) &&
           findIn(faint.window())->alpha == 0.0;
  }));
  EXPECT_TRUE(courier::pressable(*findIn(target.window())));
  EXPECT_TRUE(courier::pressable(*findIn(cover.window())));
  EXPECT_FALSE(courier::pressable(*findIn(faint.window())));
  EXPECT_FALSE(courier::pressable(*findIn(thin.window())));
  EXPECT_EQ(findIn(thin.window())->bounds.width, 4);
  EXPECT_EQ(findIn(target.window())->pid, target.pid());

  struct Case {
    Point p;
    uint32_t owner;
  };
  const std::vector<Case> cases = {
      {{200, 200}, target.window()},  // under the invisible window
      {{301, 200}, target.window()},  // under the 4 px window
      {{450, 350}, cover.window()},   // the other app covers the target here
      {{120, 120}, target.window()},
      {{499, 399}, cover.window()},
      {{550, 350}, cover.window()},
  };
  for (const auto& c : cases) {
    auto owner = courier::ownerAt(c.p, list);
    ASSERT_TRUE(owner) << c.p.x << "," << c.p.y;
    EXPECT_EQ(owner->id, c.owner) << c.p.x << "," << c.p.y;
  }
}
