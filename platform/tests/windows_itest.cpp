// The window list against a real desktop: Xvfb, openbox and our target applications.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdlib>
#include <string>

#include "platform/x11/windows.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl;
using namespace quorl::testdesk;
using platform::snapshotWindows;
using platform::WindowRecord;

namespace {

const WindowRecord* find(const std::vector<WindowRecord>& list, uint32_t id) {
  for (const auto& r : list) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

// Index in front-to-back order, or -1.
int place(const std::vector<WindowRecord>& list, uint32_t id) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

// What xwininfo says about a window: absolute origin and size.
Rect xwininfoBounds(const TestDesktop& desktop, uint32_t id) {
  auto r = desktop.run({"xwininfo", "-id", std::to_string(id)});
  auto field = [&](const std::string& name) {
    const size_t at = r.out.find(name + ":");
    return at == std::string::npos ? -1e9 : std::strtod(r.out.c_str() + at + name.size() + 1, nullptr);
  };
  return Rect{field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
}

class WindowListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = x11::Connection::open(desktop.display().c_str());
    ASSERT_TRUE(conn);
  }
  std::vector<WindowRecord> snap(bool onScreenOnly = true) {
    platform::SnapshotOptions o;
    o.onScreenOnly = onScreenOnly;
    return snapshotWindows(*conn, o);
  }
  TestDesktop desktop;
  std::shared_ptr<x11::Connection> conn;
};

}  // namespace

TEST_F(WindowListTest, AgreesWithXwininfoForEveryWindowOfAnApp) {
  TargetApp app(desktop, TargetApp::Kind::xlib,
                {.title = "Snapshot é", .x = 120, .y = 140, .width = 420, .height = 260,
                 .extraArgs = {"--children", "2", "--class", "SnapClass"}});
  const auto ids = app.ready()["windows"].get<std::vector<uint32_t>>();
  ASSERT_EQ(ids.size(), 3u);
  auto list = snap();
  for (uint32_t id : ids) {
    const WindowRecord* r = find(list, id);
    ASSERT_TRUE(r) << id;
    EXPECT_EQ(r->pid, app.pid());
    EXPECT_EQ(r->bounds, xwininfoBounds(desktop, id)) << id;
    auto box = desktop.rootGeometry(id);
    ASSERT_TRUE(box);
    EXPECT_EQ(r->bounds, (Rect{double(box->x), double(box->y), double(box->width), double(box->height)}));
    EXPECT_TRUE(r->onScreen);
    EXPECT_FALSE(r->overrideRedirect);
    EXPECT_NE(r->frame, r->id) << "openbox frames its clients";
    EXPECT_EQ(r->layer, platform::layer::kNormal);
    EXPECT_EQ(r->alpha, 1.0);
    EXPECT_EQ(r->wmClass, "SnapClass");
    EXPECT_FALSE(r->iconic);
    EXPECT_EQ(r->desktop, 0);
  }
  const WindowRecord* main = find(list, app.window());
  EXPECT_EQ(main->title, "Snapshot é");
  EXPECT_EQ(main->bounds.width, 420);
  EXPECT_EQ(main->bounds.height, 260);
  // The main window was mapped last and is focused: in front of its siblings.
  EXPECT_LT(place(list, app.window()), place(list, ids[0]));
  EXPECT_LT(place(list, app.window()), place(list, ids[1]));
  // Every window is listed once.
  for (const auto& r : list) EXPECT_EQ(std::count_if(list.begin(), list.end(), [&](auto& o) { return o.id == r.id; }), 1);

  // Without details: the same windows, order, pids, bounds and layers, and no titles.
  platform::SnapshotOptions lean;
  lean.details = false;
  auto brief = snapshotWindows(*conn, lean);
  ASSERT_EQ(brief.size(), list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(brief[i].id, list[i].id);
    EXPECT_EQ(brief[i].pid, list[i].pid);
    EXPECT_EQ(brief[i].bounds, list[i].bounds);
    EXPECT_EQ(brief[i].layer, list[i].layer);
    EXPECT_EQ(brief[i].title, "");
    EXPECT_EQ(brief[i].wmClass, "");
  }
}

TEST_F(WindowListTest, FollowsTheStackingOrder) {
  TargetApp a(desktop, TargetApp::Kind::xlib, {.title = "A", .x = 100, .y = 100});
  TargetApp b(desktop, TargetApp::Kind::xlib, {.title = "B", .x = 200, .y = 150});
  auto aBeforeB = [&] {
    auto list = snap();
    return place(list, a.window()) >= 0 && place(list, a.window()) < place(list, b.window());
  };
  auto bBeforeA = [&] {
    auto list = snap();
    return place(list, b.window()) >= 0 && place(list, b.window()) < place(list, a.window());
  };
  EXPECT_TRUE(waitFor(bBeforeA)) << "the app started last is in front";
  desktop.xdotool({"windowactivate", "--sync", std::to_string(a.window())});
  EXPECT_TRUE(waitFor(aBeforeB));
  EXPECT_TRUE(desktop.waitActive(a.window()));
  EXPECT_EQ(platform::activeWindow(*conn), a.window());
  EXPECT_TRUE(waitFor([&] { return platform::focusedClientWindow(*conn) == a.window(); }));
  desktop.xdotool({"windowraise", std::to_string(b.window())});
  EXPECT_TRUE(waitFor(bBeforeA));
  desktop.xdotool({"windowactivate", "--sync", std::to_string(b.window())});
  EXPECT_TRUE(desktop.waitActive(b.window()));
  EXPECT_EQ(platform::activeWindow(*conn), b.window());
  EXPECT_TRUE(waitFor([&] { return platform::focusedClientWindow(*conn) == b.window(); }));
}

TEST_F(WindowListTest, ReportsLayersOpacityAndOverrideRedirectWindows) {
  TargetApp plain(desktop, TargetApp::Kind::xlib, {.title = "plain", .x = 10, .y = 10, .width = 200, .height = 100});
  TargetApp popup(desktop, TargetApp::Kind::xlib,
                  {.title = "popup", .x = 300, .y = 320, .width = 150, .height = 90, .extraArgs = {"--override-redirect"}});
  TargetApp dock(desktop, TargetApp::Kind::xlib,
                 {.title = "dock", .x = 0, .y = 700, .width = 1280, .height = 40,
                  .extraArgs = {"--type", "DOCK", "--no-focus"}});
  TargetApp above(desktop, TargetApp::Kind::xlib,
                  {.title = "above", .x = 600, .y = 10, .width = 200, .height = 100, .extraArgs = {"--above"}});
  TargetApp faint(desktop, TargetApp::Kind::xlib,
                  {.title = "faint", .x = 600, .y = 300, .width = 200, .height = 100, .extraArgs = {"--opacity", "0"}});
  struct Case {
    const char* what;
    uint32_t id;
    int64_t layer;
    double alpha;
    bool overrideRedirect;
  };
  const std::vector<Case> cases = {
      {"plain", plain.window(), platform::layer::kNormal, 1.0, false},
      {"override-redirect", popup.window(), platform::layer::kPopup, 1.0, true},
      {"dock", dock.window(), platform::layer::kDock, 1.0, false},
      {"above", above.window(), platform::layer::kAbove, 1.0, false},
      {"opacity 0", faint.window(), platform::layer::kNormal, 0.0, false},
  };
  // The window manager sets states and types asynchronously: wait for all of them.
  auto matches = [&](const std::vector<WindowRecord>& list, const Case& c) {
    const WindowRecord* r = find(list, c.id);
    return r && r->layer == c.layer && r->alpha == c.alpha;
  };
  EXPECT_TRUE(waitFor([&] {
    auto list = snap();
    return std::all_of(cases.begin(), cases.end(), [&](const Case& c) { return matches(list, c); });
  }));
  auto list = snap();
  for (const auto& c : cases) {
    const WindowRecord* r = find(list, c.id);
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->layer, c.layer) << c.what;
    EXPECT_EQ(r->alpha, c.alpha) << c.what;
    EXPECT_EQ(r->overrideRedirect, c.overrideRedirect) << c.what;
    EXPECT_GT(r->pid, 0) << c.what;
  }
  const WindowRecord* p = find(list, popup.window());
  EXPECT_EQ(p->frame, p->id) << "an override-redirect window is its own root child";
  EXPECT_EQ(p->bounds, (Rect{300, 320, 150, 90}));
  EXPECT_EQ(p->pid, popup.pid());
  const WindowRecord* d = find(list, dock.window());
  EXPECT_NE(std::find(d->windowTypes.begin(), d->windowTypes.end(), "_NET_WM_WINDOW_TYPE_DOCK"), d->windowTypes.end());
  const WindowRecord* a = find(list, above.window());
  EXPECT_NE(std::find(a->states.begin(), a->states.end(), "_NET_WM_STATE_ABOVE"), a->states.end());

  // Opacity set later, on the client or on the frame only.
  plain.child().writeLine("opacity 0.5");
  ASSERT_TRUE(plain.nextEvent("done"));
  EXPECT_TRUE(waitFor([&] {
    auto now = snap();
    const WindowRecord* r = find(now, plain.window());
    return r && std::abs(r->alpha - 0.5) < 1e-6;
  }));
  const uint32_t aboveFrame = find(list, above.window())->frame;
  desktop.run({"xprop", "-id", std::to_string(aboveFrame), "-f", "_NET_WM_WINDOW_OPACITY", "32c", "-set",
               "_NET_WM_WINDOW_OPACITY", "0"});
  EXPECT_TRUE(waitFor([&] {
    auto now = snap();
    const WindowRecord* r = find(now, above.window());
    return r && r->alpha == 0.0;
  }));
}

TEST_F(WindowListTest, HiddenWindowsOnlyWhenAskedFor) {
  TargetApp app(desktop, TargetApp::Kind::xlib, {.title = "hide me", .extraArgs = {"--children", "1", "--no-focus"}});
  const uint32_t other = app.ready()["windows"][0].get<uint32_t>();
  ASSERT_NE(other, app.window());
  desktop.xdotool({"windowminimize", "--sync", std::to_string(other)});
  app.child().writeLine("unmap");
  ASSERT_TRUE(app.nextEvent("done"));
  EXPECT_TRUE(waitFor([&] {
    auto list = snap();
    return !find(list, app.window()) && !find(list, other);
  }));
  auto all = snap(false);
  const WindowRecord* minimised = find(all, other);
  ASSERT_TRUE(minimised);
  EXPECT_FALSE(minimised->onScreen);
  EXPECT_TRUE(minimised->iconic);
  EXPECT_EQ(minimised->pid, app.pid());
  app.child().writeLine("map");
  ASSERT_TRUE(app.nextEvent("done"));
  EXPECT_TRUE(waitFor([&] { return place(snap(), app.window()) >= 0; }));
}

// Windows that come and go while snapshots are taken: whatever vanishes in the middle
// of a snapshot is left out, and what is listed is whole.
TEST_F(WindowListTest, WindowsVanishingMidSnapshotAreLeftOut) {
  auto churn = x11::Connection::open(desktop.display().c_str());
  ASSERT_TRUE(churn);
  std::atomic<bool> stop{false};
  std::atomic<int> made{0};
  std::thread maker([&] {
    xcb_connection_t* c = churn->xcb();
    // Two generations overlap: one is always there, and one dies while snapshots run.
    std::vector<xcb_window_t> old;
    while (!stop) {
      std::vector<xcb_window_t> ws;
      for (int i = 0; i < 8; ++i) {
        xcb_window_t w = xcb_generate_id(c);
        const uint32_t values[] = {1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, churn->root(), static_cast<int16_t>(20 + 10 * i), 30, 64, 48, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, w);
        ws.push_back(w);
      }
      free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // round trip: paced by the server
      for (xcb_window_t w : old) xcb_destroy_window(c, w);
      free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
      old = std::move(ws);
      made += 8;
    }
  });
  int seen = 0;
  for (int i = 0; i < 200 || (seen == 0 && i < 2000); ++i) {
    for (const auto& r : snap()) {
      if (r.pid != getpid()) continue;
      ++seen;
      EXPECT_TRUE(r.overrideRedirect);
      EXPECT_EQ(r.bounds.width, 64);
      EXPECT_EQ(r.bounds.height, 48);
      EXPECT_EQ(r.bounds.y, 30);
      EXPECT_EQ(r.layer, platform::layer::kPopup);
    }
  }
  stop = true;
  maker.join();
  EXPECT_GT(made.load(), 0);
  EXPECT_GT(seen, 0) << "some of the short-lived windows were caught";
}

TEST(WindowListWithoutServer, ADeadConnectionGivesNothing) {
  auto desktop = std::make_unique<TestDesktop>();
  auto conn = x11::Connection::open(desktop->display().c_str());
  ASSERT_TRUE(conn);
  EXPECT_FALSE(snapshotWindows(*conn).empty());  // openbox's own window at least
  desktop.reset();
  // The server is gone: the first request notices, and nothing is listed.
  EXPECT_TRUE(waitFor([&] {
    xcb_flush(conn->xcb());
    free(xcb_get_input_focus_reply(conn->xcb(), xcb_get_input_focus(conn->xcb()), nullptr));
    return conn->broken();
  }));
  EXPECT_TRUE(snapshotWindows(*conn).empty());
  EXPECT_FALSE(platform::activeWindow(*conn));
  EXPECT_FALSE(platform::focusedClientWindow(*conn));
}

TEST(WindowListWithoutManager, TopLevelWindowsStandForThemselves) {
  TestDesktop desktop({.windowManager = false});
  auto conn = x11::Connection::open(desktop.display().c_str());
  ASSERT_TRUE(conn);
  TargetApp app(desktop, TargetApp::Kind::xlib, {.title = "bare", .x = 50, .y = 60, .width = 300, .height = 200});
  auto list = snapshotWindows(*conn);
  const WindowRecord* r = find(list, app.window());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frame, r->id);
  EXPECT_EQ(r->pid, app.pid());
  EXPECT_EQ(r->bounds, (Rect{50, 60, 300, 200}));
  EXPECT_EQ(r->title, "bare");
}
