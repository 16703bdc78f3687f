// The test desktop itself, against the real X server and real processes: it comes
// up and goes away without leftovers, our target applications report what they
// receive, and xdotool (playing the user) reaches them.
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/test_desktop.hpp"

namespace quorl::testdesk {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

// The application names the accessibility registry knows.
std::vector<std::string> accessibleApplications(const TestDesktop& desk) {
  const std::string bus = desk.env().at("AT_SPI_BUS_ADDRESS");
  auto children = desk.run({"gdbus", "call", "--address", bus, "--dest", "org.a11y.atspi.Registry",
                            "--object-path", "/org/a11y/atspi/accessible/root", "--method",
                            "org.a11y.atspi.Accessible.GetChildren"});
  std::vector<std::string> names;
  // ([(':1.3', '/org/a11y/atspi/accessible/root'), ...],)
  size_t at = 0;
  while ((at = children.out.find("('", at)) != std::string::npos) {
    size_t end = children.out.find('\'', at + 2);
    std::string owner = children.out.substr(at + 2, end - at - 2);
    size_t p1 = children.out.find('\'', end + 1);
    size_t p2 = children.out.find('\'', p1 + 1);
    std::string path = children.out.substr(p1 + 1, p2 - p1 - 1);
    at = p2;
    auto name = desk.run({"gdbus", "call", "--address", bus, "--dest", owner, "--object-path", path, "--method",
                          "org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible", "Name"});
    // (<'gtk-target'>,)
    auto q1 = name.out.find('\'');
    auto q2 = name.out.rfind('\'');
    if (q1 != std::string::npos && q2 > q1) names.push_back(name.out.substr(q1 + 1, q2 - q1 - 1));
  }
  return names;
}

json center(const json& box) {
  return {{"x", box["x"].get<int>() + box["width"].get<int>() / 2},
          {"y", box["y"].get<int>() + box["height"].get<int>() / 2}};
}

bool processGone(pid_t pid) {
  // Reaped by the desktop: no such process any more (or a recycled pid that is
  // not an Xvfb).
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return !comm || !std::getline(comm, name) || name != "Xvfb";
}

TEST(ChildTest, RunCollectsOutputAndStatus) {
  auto r = run({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");

  auto missing = run({"/nonexistent/program"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_THAT(missing.err, HasSubstr("exec failed"));
}

TEST(ChildTest, RunStopsACommandAtItsDeadline) {
  auto start = std::chrono::steady_clock::now();
  auto r = run({"sh", "-c", "sleep 30"}, {}, 300ms);
  EXPECT_EQ(r.status, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(ChildTest, LinesJsonAndExit) {
  auto c = Child::start({"sh", "-c", "read x; echo \"got $x\"; echo 'not json'; echo '{\"a\":1}'; exit 4"});
  ASSERT_TRUE(c->writeLine("hello"));
  EXPECT_EQ(c->readLine(), "got hello");
  auto j = c->readJsonUntil([](const json& j) { return j.contains("a"); });
  ASSERT_TRUE(j);
  EXPECT_EQ((*j)["a"], 1);
  EXPECT_EQ(c->skipped(), std::vector<std::string>{"not json"});
  EXPECT_EQ(c->waitExit(), 4);
  EXPECT_FALSE(c->running());
  EXPECT_FALSE(c->readLine(50ms));
}

TEST(ChildTest, DestructorTakesDownTheWholeGroup) {
  pid_t grandchild = -1;
  {
    auto c = Child::start({"sh", "-c", "sleep 60 & echo $!; wait"});
    auto line = c->readLine();
    ASSERT_TRUE(line);
    grandchild = std::stoi(*line);
    ASSERT_EQ(::kill(grandchild, 0), 0);
  }
  // The grandchild was killed; it is reaped by init soon after.
  EXPECT_TRUE(waitFor([&] {
    std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
    std::string s;
    std::getline(stat, s);
    return !stat || s.find(") Z") != std::string::npos;
  }));
}

TEST(ChildTest, ACommandThatEndsOnItsOwnKeepsWhatItStartedInTheBackground) {
  // A launcher's application outlives the launcher.
  auto r = run({"sh", "-c", "sleep 30 >/dev/null 2>&1 & echo $!"});
  ASSERT_EQ(r.status, 0);
  pid_t background = std::stoi(r.out);
  EXPECT_EQ(::kill(background, 0), 0);
  ::kill(background, SIGKILL);
}

TEST(ChildTest, WritingToAChildThatClosedStdinFailsQuietly) {
  auto c = Child::start({"sh", "-c", "exec 0<&-; echo closed; sleep 5"});
  ASSERT_EQ(c->readLine(), "closed");
  bool ok = true;
  for (int i = 0; i < 3 && ok; ++i) ok = c->writeLine("x");
  EXPECT_FALSE(ok);
}

TEST(DesktopTest, StartsAndStopsLeavingNothingBehind) {
  pid_t server = -1;
  std::string dir;
  {
    TestDesktop desk;
    server = desk.serverPid();
    dir = desk.dir();
    ASSERT_GT(server, 0);
    EXPECT_THAT(desk.display(), ::testing::StartsWith(":"));
    auto info = desk.run({"xdpyinfo", "-queryExtensions"});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* ext : {"XTEST", "XInputExtension", "X-Resource", "MIT-SCREEN-SAVER", "SHAPE"}) {
      EXPECT_THAT(info.out, HasSubstr(ext));
    }
    EXPECT_THAT(info.out, HasSubstr("1280x800 pixels"));
    // openbox manages the display.
    auto wm = desk.run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"});
    EXPECT_THAT(wm.out, HasSubstr("window id"));
  }
  EXPECT_TRUE(processGone(server));
  EXPECT_FALSE(std::ifstream(dir + "/xvfb.log").good());
  EXPECT_THAT(desktopProcesses(dir), ::testing::IsEmpty());
}

TEST(DesktopTest, WhatATestLeftRunningGoesWithTheDesktop) {
  std::string dir;
  pid_t background = -1;
  {
    TestDesktop desk({.windowManager = false});
    dir = desk.dir();
    auto r = desk.run({"sh", "-c", "sleep 60 >/dev/null 2>&1 & echo $!"});
    ASSERT_EQ(r.status, 0);
    background = std::stoi(r.out);
    auto mine = desk.processes();
    EXPECT_THAT(mine, ::testing::Contains(background));
  }
  EXPECT_THAT(desktopProcesses(dir), ::testing::IsEmpty());
}

TEST(DesktopTest, AccessibilityBusShowsAGtkApplicationAndGoesAwayCleanly) {
  std::string dir;
  {
    TestDesktop desk({.accessibility = true});
    dir = desk.dir();
    ASSERT_FALSE(desk.env().at("AT_SPI_BUS_ADDRESS").empty());
    TargetApp app(desk, TargetApp::Kind::gtk, {.title = "Accessible"});
    std::vector<std::string> names;
    EXPECT_TRUE(waitFor(
        [&] {
          names = accessibleApplications(desk);
          return std::find(names.begin(), names.end(), "gtk-target") != names.end();
        },
        15s, 100ms))
        << ::testing::PrintToString(names);
  }
  // The bus, the launcher, the accessibility bus and the registry are all gone.
  EXPECT_TRUE(waitFor([&] { return desktopProcesses(dir).empty(); }, 5s))
      << ::testing::PrintToString(desktopProcesses(dir));
}

TEST(DesktopTest, AdoptEnvironmentIsUndoneOnDestruction) {
  const char* before = std::getenv("DISPLAY");
  std::string saved = before ? before : "";
  {
    TestDesktop desk({.windowManager = false});
    desk.adoptEnvironment();
    EXPECT_EQ(std::string(std::getenv("DISPLAY")), desk.display());
    EXPECT_EQ(std::string(std::getenv("NO_AT_BRIDGE")), "1");
  }
  const char* after = std::getenv("DISPLAY");
  EXPECT_EQ(after ? std::string(after) : "", saved);
  EXPECT_EQ(after == nullptr, before == nullptr);
}

TEST(DesktopTest, CompositorOwnsTheCompositingSelection) {
  TestDesktop plain({.windowManager = false});
  EXPECT_EQ(plain.selectionOwner("_NET_WM_CM_S0"), 0u);
  TestDesktop composited({.compositor = true});
  EXPECT_NE(composited.selectionOwner("_NET_WM_CM_S0"), 0u);
  EXPECT_NE(composited.selectionOwner("WM_S0"), 0u);
}

TEST(DesktopTest, TwoDesktopsAtOnceGetTheirOwnDisplays) {
  TestDesktop a({.windowManager = false});
  TestDesktop b({.windowManager = false});
  EXPECT_NE(a.display(), b.display());
}

// A plain desktop (Xvfb + openbox) per test.
class OnDesktop : public ::testing::Test {
 protected:
  TestDesktop desk;
};
using XlibTargetTest = OnDesktop;

TEST_F(OnDesktop, BothTargetsReportTheirWindowWhereAsked) {
  for (auto kind : {TargetApp::Kind::xlib, TargetApp::Kind::gtk}) {
    std::string title = kind == TargetApp::Kind::xlib ? "Xlib smoke" : "Gtk smoke";
    SCOPED_TRACE(title);
    TargetApp app(desk, kind, {.title = title, .x = 150, .y = 120, .width = 420, .height = 360});
    const json& ready = app.ready();
    EXPECT_EQ(ready["pid"], app.pid());
    EXPECT_EQ(ready["focused"], true);
    EXPECT_EQ(desk.rootGeometry(app.window()), (WindowBox{150, 120, 420, 360}));
    EXPECT_EQ((WindowBox{ready["x"], ready["y"], ready["width"], ready["height"]}), (WindowBox{150, 120, 420, 360}));
    auto search = desk.xdotool({"search", "--onlyvisible", "--pid", std::to_string(app.pid()), "--name", title});
    EXPECT_EQ(search.out, std::to_string(app.window()) + "\n");
    EXPECT_EQ(desk.xdotool({"getwindowname", std::to_string(app.window())}).out, title + "\n");
    EXPECT_TRUE(desk.waitActive(app.window()));
  }
}

std::string xprop(const TestDesktop& desk, uint32_t window, const char* property) {
  return desk.run({"xprop", "-id", std::to_string(window), property}).out;
}

TEST_F(XlibTargetTest, OptionsShapeTheWindows) {
  struct Case {
    std::vector<std::string> args;
    const char* property;
    const char* expected;
  };
  const Case cases[] = {
      {{"--opacity", "0.5"}, "_NET_WM_WINDOW_OPACITY", "= 2147483647"},
      {{"--type", "dialog"}, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG"},
      {{"--above"}, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE"},
      {{"--class", "org.example.Demo"}, "WM_CLASS", "\"org.example.Demo\", \"org.example.Demo\""},
      {{"--no-focus"}, "WM_HINTS", "Client accepts input or input focus: False"},
      {{}, "_NET_WM_PID", "= "},
  };
  for (const auto& c : cases) {
    TargetApp app(desk, TargetApp::Kind::xlib, {.extraArgs = c.args});
    EXPECT_THAT(xprop(desk, app.window(), c.property), HasSubstr(c.expected)) << c.property;
  }
}

TEST_F(XlibTargetTest, OverrideRedirectWindowSitsExactlyWhereAsked) {
  TargetApp app(desk, TargetApp::Kind::xlib,
                {.x = 300, .y = 200, .width = 120, .height = 80, .extraArgs = {"--override-redirect"}});
  EXPECT_EQ(desk.rootGeometry(app.window()), (WindowBox{300, 200, 120, 80}));
  EXPECT_THAT(xprop(desk, app.window(), "WM_STATE"), HasSubstr("not found"));
}

TEST_F(XlibTargetTest, ExtraWindowsBelongToTheSameProcess) {
  TargetApp app(desk, TargetApp::Kind::xlib, {.title = "Many", .extraArgs = {"--children", "2"}});
  auto windows = app.ready()["windows"];
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows.back(), app.window());
  auto search = desk.xdotool({"search", "--onlyvisible", "--pid", std::to_string(app.pid())});
  for (const auto& w : windows) EXPECT_THAT(search.out, HasSubstr(std::to_string(w.get<uint32_t>())));
}

TEST_F(XlibTargetTest, XInput2ModeNamesTheDevices) {
  TargetApp app(desk, TargetApp::Kind::xlib, {.x = 100, .y = 100, .extraArgs = {"--xi2"}});
  ASSERT_TRUE(desk.waitActive(app.window()));
  ASSERT_EQ(desk.xdotool({"mousemove", "--sync", "150", "170", "click", "2"}).status, 0);
  auto press = app.nextEvent("ButtonPress");
  ASSERT_TRUE(press);
  EXPECT_EQ((*press)["xi2"], true);
  EXPECT_EQ((*press)["button"], 2);
  EXPECT_EQ((*press)["x"], 50);
  EXPECT_EQ((*press)["y"], 70);
  EXPECT_GT((*press)["deviceid"].get<int>(), 0);
  EXPECT_NE((*press)["sourceid"], (*press)["deviceid"]);  // the XTEST slave under the master
  ASSERT_TRUE(desk.bindKeysyms({"udiaeresis"}));
  ASSERT_EQ(desk.xdotool({"type", "ü"}).status, 0);
  auto key = app.next([](const json& j) { return j["event"] == "KeyPress" && j.value("text", "") != ""; });
  ASSERT_TRUE(key) << ::testing::PrintToString(app.child().skipped());
  EXPECT_EQ((*key)["text"], "ü");
  EXPECT_EQ((*key)["xi2"], true);
}

TEST_F(XlibTargetTest, CommandsOnStdinRetitleAndMove) {
  TargetApp app(desk, TargetApp::Kind::xlib, {.title = "Before"});
  ASSERT_TRUE(app.child().writeLine("title After é"));
  ASSERT_TRUE(app.nextEvent("done"));
  EXPECT_EQ(desk.xdotool({"getwindowname", std::to_string(app.window())}).out, "After é\n");
  ASSERT_TRUE(app.child().writeLine("move 321 234"));
  EXPECT_TRUE(app.next([](const json& j) { return j["event"] == "ConfigureNotify" && j["x"] == 321 && j["y"] == 234; }));
}

TEST_F(XlibTargetTest, ClickArrivesWithWindowRelativeCoordinates) {
  TargetApp app(desk, TargetApp::Kind::xlib, {.x = 200, .y = 150});
  ASSERT_EQ(desk.xdotool({"mousemove", "--sync", "230", "190", "click", "3"}).status, 0);
  auto press = app.nextEvent("ButtonPress");
  ASSERT_TRUE(press) << app.child().stderrText();
  EXPECT_EQ((*press)["button"], 3);
  EXPECT_EQ((*press)["x"], 30);
  EXPECT_EQ((*press)["y"], 40);
  EXPECT_EQ((*press)["x_root"], 230);
  EXPECT_EQ((*press)["y_root"], 190);
  EXPECT_EQ((*press)["send_event"], false);
  EXPECT_EQ((*press)["window"], app.window());
  auto release = app.nextEvent("ButtonRelease");
  ASSERT_TRUE(release);
  EXPECT_EQ((*release)["button"], 3);
}

TEST_F(XlibTargetTest, TypedTextIncludingNonAsciiArrives) {
  TargetApp app(desk, TargetApp::Kind::xlib);
  ASSERT_TRUE(desk.waitActive(app.window()));
  ASSERT_TRUE(desk.bindKeysyms({"eacute", "EuroSign"}));
  auto r = desk.xdotool({"type", "--delay", "20", "aZ é€"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text;
  auto done = app.next(
      [&](const json& j) {
        if (j["event"] == "KeyPress") text += j.value("text", "");
        return text == "aZ é€";
      },
      10s);
  EXPECT_TRUE(done) << "typed so far: " << text;
}

TEST_F(XlibTargetTest, KeyWithModifiersReportsKeysymAndState) {
  TargetApp app(desk, TargetApp::Kind::xlib);
  ASSERT_TRUE(desk.waitActive(app.window()));
  ASSERT_EQ(desk.xdotool({"key", "ctrl+shift+a"}).status, 0);
  auto a = app.next([](const json& j) { return j["event"] == "KeyPress" && j["keysym"] == "A"; });
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["state"].get<unsigned>() & 5u, 5u);  // ShiftMask | ControlMask
}

TEST_F(XlibTargetTest, ClosesOnDeleteWindowAndOnSigterm) {
  TargetApp polite(desk, TargetApp::Kind::xlib, {.title = "Close me"});
  desk.closeWindow(polite.window());  // _NET_CLOSE_WINDOW: openbox sends WM_DELETE_WINDOW
  auto closed = polite.nextEvent("closed");
  ASSERT_TRUE(closed);
  EXPECT_EQ((*closed)["reason"], "delete");
  EXPECT_EQ(polite.child().waitExit(), 0);

  TargetApp signalled(desk, TargetApp::Kind::xlib);
  signalled.child().kill(SIGTERM);
  EXPECT_TRUE(signalled.nextEvent("closed"));
  EXPECT_EQ(signalled.child().waitExit(), 0);
}

using GtkTargetTest = OnDesktop;

TEST_F(GtkTargetTest, ReadyLineNamesTheControlsRectangles) {
  TargetApp app(desk, TargetApp::Kind::gtk, {.x = 120, .y = 90, .width = 500, .height = 420});
  const json& ready = app.ready();
  for (const char* control : {"button", "entry", "check", "scale", "scrolled", "menubar", "menu_file", "menu_edit"}) {
    ASSERT_TRUE(ready.contains(control)) << control;
    const json& box = ready[control];
    EXPECT_GT(box["width"].get<int>(), 0) << control;
    EXPECT_GE(box["x"].get<int>(), 120) << control;
    EXPECT_GE(box["y"].get<int>(), 90) << control;
    EXPECT_LE(box["x"].get<int>() + box["width"].get<int>(), 620) << control;
    EXPECT_LE(box["y"].get<int>() + box["height"].get<int>(), 510) << control;
  }
}

TEST_F(GtkTargetTest, ControlsReportWhatXdotoolDoes) {
  TargetApp app(desk, TargetApp::Kind::gtk, {.width = 500, .height = 420});
  auto click = [&](const char* control) {
    json c = center(app.ready()[control]);
    auto r = desk.xdotool({"mousemove", "--sync", std::to_string(c["x"].get<int>()),
                           std::to_string(c["y"].get<int>()), "click", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
  };
  click("button");
  EXPECT_TRUE(app.nextEvent("clicked")) << app.ready().dump() << "\n" << ::testing::PrintToString(app.child().skipped());
  click("check");
  auto toggled = app.nextEvent("toggled");
  ASSERT_TRUE(toggled);
  EXPECT_EQ((*toggled)["active"], true);
  click("entry");
  ASSERT_TRUE(desk.bindKeysyms({"eacute"}));
  ASSERT_EQ(desk.xdotool({"type", "--delay", "20", "hé"}).status, 0);
  EXPECT_TRUE(app.next([](const json& j) { return j["event"] == "text" && j["text"] == "hé"; }, 10s));
  json s = center(app.ready()["scrolled"]);
  ASSERT_EQ(desk.xdotool({"mousemove", "--sync", std::to_string(s["x"].get<int>()),
                          std::to_string(s["y"].get<int>()), "click", "5"})
                .status,
            0);
  auto scrolled = app.nextEvent("scroll");
  ASSERT_TRUE(scrolled);
  EXPECT_GT((*scrolled)["value"].get<double>(), 0);
}

TEST_F(GtkTargetTest, MenuCommandIsLoggedWithItsPath) {
  TargetApp app(desk, TargetApp::Kind::gtk);
  json edit = center(app.ready()["menu_edit"]);
  ASSERT_EQ(desk.xdotool({"mousemove", "--sync", std::to_string(edit["x"].get<int>()),
                          std::to_string(edit["y"].get<int>()), "click", "1"})
                .status,
            0);
  // The menu opens below its title; its first item is Copy.
  ASSERT_EQ(desk.xdotool({"key", "--delay", "50", "Down", "Return"}).status, 0);
  auto menu = app.nextEvent("menu");
  ASSERT_TRUE(menu);
  EXPECT_EQ((*menu)["path"], "Edit/Copy");
}

}  // namespace
}  // namespace quorl::testdesk
