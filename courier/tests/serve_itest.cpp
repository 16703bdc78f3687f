// input-courier serve on a real test desktop: sessions on our own target
// applications, xdotool playing the user, real lock files, real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "courier/request_reader.hpp"
#include "courier/target_lock.hpp"
#include "courier/tests/server_fixture.hpp"
#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

namespace quorl::courier {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testdesk::Child;
using testdesk::TargetApp;
using testdesk::waitFor;

// One input-courier serve process.
class Courier {
 public:
  Courier(const testdesk::TestDesktop& desk, const std::string& runtimeDir,
          const std::string& exe = testdesk::binDir() + "/input-courier") {
    child_ = desk.spawn({exe, "serve"}, {{"XDG_RUNTIME_DIR", runtimeDir}});
    hello = next("hello").value_or(json());
  }
  void send(const json& request) { ASSERT_TRUE(child_->writeLine(request.dump())); }
  void sendText(const std::string& line) { ASSERT_TRUE(child_->writeLine(line)); }
  // The next event line satisfying the predicate (lines on the way are kept).
  std::optional<json> nextWhere(const std::function<bool(const json&)>& pred, std::chrono::milliseconds d = 10000ms) {
    auto line = child_->readJsonUntil(
        [&](const json& j) {
          lines.push_back(j);
          return pred(j);
        },
        d);
    return line;
  }
  std::optional<json> next(const std::string& event, std::chrono::milliseconds d = 10000ms) {
    return nextWhere([&](const json& j) { return j.value("event", "") == event; }, d);
  }
  std::optional<json> result(int64_t seq, std::chrono::milliseconds d = 10000ms) {
    return nextWhere(
        [&](const json& j) {
          std::string e = j.value("event", "");
          return j.value("seq", int64_t{-1}) == seq && (e == "delivered" || e == "interrupted" || e == "refused");
        },
        d);
  }
  Child& child() { return *child_; }
  pid_t pid() const { return child_->pid(); }

  json hello;
  std::vector<json> lines;  // every event line read so far, in order

 private:
  std::unique_ptr<Child> child_;
};

json beginFor(const TargetApp& app, const std::string& id = "s1", int64_t generation = 1) {
  return {{"op", "begin"},
          {"session", id},
          {"generation", generation},
          {"pid", app.pid()},
          {"process_start", quorl::processStart(app.pid()).value_or("")}};
}

json act(int64_t seq, uint32_t window, json action, const std::string& id = "s1", int64_t generation = 1) {
  return {{"op", "act"}, {"session", id}, {"generation", generation}, {"seq", seq}, {"window_id", window},
          {"action", std::move(action)}};
}

json endOf(const std::string& id = "s1", int64_t generation = 1) {
  return {{"op", "end"}, {"session", id}, {"generation", generation}};
}

class CourierServe : public ::testing::Test {
 protected:
  // A desktop per test: Xvfb's software cursor code has been seen to crash some
  // time after an agent pointer was removed (a service process exiting), and the
  // next test must not inherit that.
  void SetUp() override {
    desk_ = std::make_unique<testdesk::TestDesktop>();
    base_ = testing::makeTempDir();
    runtime_ = base_ + "/run";
    std::filesystem::create_directories(runtime_);
    chmod(runtime_.c_str(), 0700);
  }
  void TearDown() override {
    desk_.reset();
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  std::unique_ptr<TargetApp> target(const std::string& title, int x, int y, int w = 400, int h = 300,
                                    TargetApp::Kind kind = TargetApp::Kind::xlib) {
    testdesk::TargetOptions o;
    // The target applications are not what is tested here: under
    // ThreadSanitizer, GTK's font libraries would report races of their own.
    o.env["TSAN_OPTIONS"] = "report_bugs=0";
    o.title = title;
    o.x = x;
    o.y = y;
    o.width = w;
    o.height = h;
    return std::make_unique<TargetApp>(*desk_, kind, o);
  }
  void activate(const TargetApp& app) {
    desk_->xdotool({"windowactivate", "--sync", std::to_string(app.window())});
    ASSERT_TRUE(desk_->waitActive(app.window()));
  }
  // Begins, waiting out "user_active_in_target" left by an earlier test's user input.
  json begin(Courier& c, const TargetApp& app, const std::string& id = "s1", int64_t generation = 1) {
    json answer;
    waitFor(
        [&] {
          c.send(beginFor(app, id, generation));
          answer = c.nextWhere([](const json& j) { return j["event"] == "ready" || j["event"] == "refused"; })
                       .value_or(json());
          if (answer.value("reason", "") != "user_active_in_target") return true;
          std::this_thread::sleep_for(100ms);
          return false;
        },
        10000ms, 0ms);
    EXPECT_EQ(answer.value("event", ""), "ready") << answer.dump();
    return answer;
  }
  std::string lockFile(const TargetApp& app) const {
    return TargetLock::path(runtime_ + "/quorl-input-courier", app.pid(), *quorl::processStart(app.pid()));
  }
  static std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The target's logged input events of these kinds (reading what it printed so far).
  static std::vector<json> inputOf(TargetApp& app, std::chrono::milliseconds settle = 300ms) {
    std::vector<json> out;
    while (auto j = app.next([](const json&) { return true; }, settle)) {
      std::string e = j->value("event", "");
      if (e == "ButtonPress" || e == "ButtonRelease" || e == "KeyPress" || e == "KeyRelease") out.push_back(*j);
    }
    return out;
  }

  std::unique_ptr<testdesk::TestDesktop> desk_;
  std::string base_, runtime_;
};

TEST_F(CourierServe, AWholeSessionReachesTheTargetExactly) {
  auto app = target("courier-target", 100, 100);
  activate(*app);
  Courier c(*desk_, runtime_);
  EXPECT_EQ(c.hello["route"], "sky");
  EXPECT_EQ(c.hello["post_access"], true);
  json ready = begin(c, *app);
  EXPECT_EQ(ready["target_front"], true);
  EXPECT_EQ(ready["front_pid"], app->pid());
  EXPECT_FALSE(ready.contains("reclaimed"));
  inputOf(*app, 50ms);  // what the target saw before

  const uint32_t w = app->window();
  struct Step {
    json action;
    int64_t units;
    std::vector<std::pair<std::string, int>> buttons;  // (event, button) the target must see
  };
  const std::vector<Step> steps = {
      {{{"kind", "click"}, {"x", 150}, {"y", 150}}, 2, {{"ButtonPress", 1}, {"ButtonRelease", 1}}},
      {{{"kind", "click"}, {"x", 160}, {"y", 150}, {"count", 3}, {"hold_ms", 5}},
       6,
       {{"ButtonPress", 1}, {"ButtonRelease", 1}, {"ButtonPress", 1}, {"ButtonRelease", 1}, {"ButtonPress", 1},
        {"ButtonRelease", 1}}},
      {{{"kind", "mouse_down"}, {"x", 170}, {"y", 150}, {"button", "right"}}, 1, {{"ButtonPress", 3}}},
      {{{"kind", "mouse_up"}, {"x", 170}, {"y", 150}, {"button", "right"}}, 1, {{"ButtonRelease", 3}}},
      {{{"kind", "drag"}, {"x", 150}, {"y", 150}, {"to_x", 300}, {"to_y", 250}, {"duration_ms", 100}},
       8,
       {{"ButtonPress", 1}, {"ButtonRelease", 1}}},
      {{{"kind", "scroll"}, {"x", 200}, {"y", 200}, {"dy", -5}}, 2,
       {{"ButtonPress", 5}, {"ButtonRelease", 5}, {"ButtonPress", 5}, {"ButtonRelease", 5}, {"ButtonPress", 5},
        {"ButtonRelease", 5}, {"ButtonPress", 5}, {"ButtonRelease", 5}, {"ButtonPress", 5}, {"ButtonRelease", 5}}},
      {{{"kind", "scroll"}, {"x", 200}, {"y", 200}, {"dy", 100}, {"unit", "pixel"}}, 3,
       {{"ButtonPress", 4}, {"ButtonRelease", 4}, {"ButtonPress", 4}, {"ButtonRelease", 4}}},
  };
  int64_t seq = 1;
  for (const auto& step : steps) {
    c.send(act(seq, w, step.action));
    auto r = c.result(seq);
    ASSERT_TRUE(r) << step.action.dump();
    EXPECT_EQ((*r)["event"], "delivered") << r->dump();
    EXPECT_EQ((*r)["units"], step.units) << step.action.dump();
    EXPECT_EQ((*r)["stage"], "delivered-unverified");
    EXPECT_EQ((*r)["hit_window"], w);
    EXPECT_EQ((*r)["covered"], false);
    std::vector<std::pair<std::string, int>> seen;
    auto events = inputOf(*app);
    for (const auto& e : events) seen.emplace_back(e["event"], e.value("button", 0));
    EXPECT_EQ(seen, step.buttons) << step.action.dump();
    if (step.action["kind"] == "drag" && events.size() == 2) {
      // Pressed where it started, released where it ended.
      EXPECT_EQ(std::make_pair(events[0]["x_root"], events[0]["y_root"]), std::make_pair(json(150), json(150)));
      EXPECT_EQ(std::make_pair(events[1]["x_root"], events[1]["y_root"]), std::make_pair(json(300), json(250)));
    }
    ++seq;
  }
  // Typed text, then a shortcut.
  const std::string text = "Hi \xC3\xA9\xF0\x9F\x98\x80\r\n\t!";
  c.send(act(seq, w, {{"kind", "type_text"}, {"text", text}}));
  auto typed = c.result(seq);
  ASSERT_TRUE(typed);
  EXPECT_EQ((*typed)["units"], 8);
  EXPECT_FALSE(typed->contains("hit_window"));
  std::string got;
  int releases = 0;
  std::string log;
  for (const auto& e : inputOf(*app)) {
    log += e.dump() + "\n";
    if (e["event"] == "KeyPress") got += e.value("text", "");
    // Shifted characters come with a press of Shift_L around them.
    if (e["event"] == "KeyRelease" && e["keysym"] != "Shift_L") ++releases;
  }
  SCOPED_TRACE(log);
  EXPECT_EQ(got, "Hi \xC3\xA9\xF0\x9F\x98\x80\r\t!");
  EXPECT_EQ(releases, 8);
  ++seq;
  c.send(act(seq, w, {{"kind", "press_key"}, {"key", "a"}, {"modifiers", {"ctrl", "shift"}}}));
  auto pressed = c.result(seq);
  ASSERT_TRUE(pressed);
  EXPECT_EQ((*pressed)["units"], 6);
  std::vector<std::string> keys;
  for (const auto& e : inputOf(*app))
    keys.push_back(e["event"].get<std::string>() + ":" + e.value("keysym", "") + ":" + std::to_string(e.value("state", 0)));
  EXPECT_EQ(keys, (std::vector<std::string>{"KeyPress:Control_L:4", "KeyPress:Shift_L:5", "KeyPress:A:5",
                                            "KeyRelease:A:5", "KeyRelease:Shift_L:4", "KeyRelease:Control_L:0"}));
  c.send(endOf());
  auto ended = c.next("ended");
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["acts"], seq);
  EXPECT_EQ((*ended)["released"], json::array());
  EXPECT_EQ((*ended)["reason"], "requested");
  // Every act answered exactly once; "t" never decreased.
  std::map<int64_t, int> answers;
  double last = 0;
  for (const auto& j : c.lines) {
    if (j.contains("seq") && j["event"] != "cancelling") answers[j["seq"]] += 1;
    EXPECT_GE(j["t"].get<double>(), last);
    last = j["t"].get<double>();
  }
  for (int64_t s = 1; s <= seq; ++s) EXPECT_EQ(answers[s], 1) << s;
  EXPECT_EQ(contents(lockFile(*app)), "");
  c.child().closeStdin();
  EXPECT_EQ(c.child().waitExit(3000ms), 0);
}

TEST_F(CourierServe, AGtkTargetGetsInputThroughTheDevicePath) {
  auto app = target("courier-gtk", 150, 150, 400, 300, TargetApp::Kind::gtk);
  Courier c(*desk_, runtime_);
  begin(c, *app);
  const json& entry = app->ready()["entry"];
  const json& button = app->ready()["button"];
  auto centre = [](const json& r, const char* axis, const char* size) {
    return r[axis].get<double>() + r[size].get<double>() / 2;
  };
  c.send(act(1, app->window(), {{"kind", "click"}, {"x", centre(button, "x", "width")}, {"y", centre(button, "y", "height")}}));
  EXPECT_EQ((*c.result(1))["event"], "delivered");
  EXPECT_TRUE(app->next([](const json& j) { return j["event"] == "clicked"; }));
  c.send(act(2, app->window(), {{"kind", "click"}, {"x", centre(entry, "x", "width")}, {"y", centre(entry, "y", "height")}}));
  c.send(act(3, app->window(), {{"kind", "type_text"}, {"text", "d\xC3\xA9j\xC3\xA0 vu"}}));
  EXPECT_EQ((*c.result(3))["units"], 7);
  EXPECT_TRUE(app->next([](const json& j) { return j["event"] == "text" && j["text"] == "d\xC3\xA9j\xC3\xA0 vu"; }));
  c.send(endOf());
  EXPECT_TRUE(c.next("ended"));
}

TEST_F(CourierServe, ACoveredPointIsReportedAndTheCoverReceivesNothing) {
  auto app = target("courier-covered", 100, 100);
  auto cover = target("courier-cover", 300, 150, 200, 100);
  // The overlay program is recognised by its path beside input-courier: install
  // both side by side, with a logging window standing in for the overlay.
  const std::string install = base_ + "/install";
  std::filesystem::create_directories(install);
  std::filesystem::copy_file(testdesk::binDir() + "/input-courier", install + "/input-courier");
  std::filesystem::copy_file(testdesk::binDir() + "/xlib-target", install + "/agent-overlay");
  auto overlay = desk_->spawn({install + "/agent-overlay", "--title", "overlay", "--geometry", "100x100+120+300",
                               "--override-redirect"});
  ASSERT_TRUE(overlay->readJsonUntil([](const json& j) { return j.value("event", "") == "ready"; }, 20000ms));

  Courier c(*desk_, runtime_, install + "/input-courier");
  begin(c, *app);
  inputOf(*cover, 50ms);
  c.send(act(1, app->window(), {{"kind", "click"}, {"x", 350}, {"y", 180}}));
  auto covered = c.result(1);
  ASSERT_TRUE(covered);
  EXPECT_EQ((*covered)["event"], "delivered");
  EXPECT_EQ((*covered)["covered"], true);
  EXPECT_EQ((*covered)["hit_window"], app->window());
  auto toTarget = inputOf(*app);
  ASSERT_EQ(toTarget.size(), 2u);
  EXPECT_EQ(toTarget[0]["x"], 250);
  EXPECT_TRUE(inputOf(*cover).empty());

  c.send(act(2, app->window(), {{"kind", "click"}, {"x", 150}, {"y", 350}}));
  auto underOverlay = c.result(2);
  ASSERT_TRUE(underOverlay);
  EXPECT_EQ((*underOverlay)["covered"], false);
  EXPECT_EQ((*underOverlay)["hit_window"], app->window());
  c.send(endOf());
  EXPECT_TRUE(c.next("ended"));
}

TEST_F(CourierServe, TheUserWinsAtOnce) {
  auto app = target("courier-user", 100, 100);
  auto other = target("courier-other", 700, 100, 300, 200);
  activate(*app);
  Courier c(*desk_, runtime_);
  begin(c, *app);
  inputOf(*app, 50ms);

  // A click in another application's window is none of the session's business.
  desk_->xdotool({"mousemove", "800", "200", "click", "1"});
  ASSERT_TRUE(other->nextEvent("ButtonPress"));
  EXPECT_FALSE(c.next("yield", 300ms));

  // A click into the target during a long hold.
  c.send(act(1, app->window(), {{"kind", "click"}, {"x", 150}, {"y", 150}, {"hold_ms", 2000}}));
  ASSERT_TRUE(app->nextEvent("ButtonPress"));
  desk_->xdotool({"mousemove", "300", "250", "click", "1"});
  auto yield = c.next("yield", 3000ms);
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "pointer_in_target");
  EXPECT_EQ((*yield)["window"], app->window());
  EXPECT_EQ((*yield)["layer"], 0);
  auto r = c.result(1);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["event"], "interrupted");
  EXPECT_EQ((*r)["reason"], "yield");
  EXPECT_EQ((*r)["released"], json{"button"});
  EXPECT_LT((*r)["deliver_ms"].get<double>(), 1500);
  auto ended = c.next("ended");
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["reason"], "yield:pointer_in_target");
  EXPECT_EQ((*ended)["yielded"], true);
  EXPECT_LT((*ended)["t"].get<double>() - (*yield)["t"].get<double>(), 100);

  // Typing while the target is active.
  activate(*app);
  begin(c, *app, "s1", 2);
  desk_->xdotool({"type", "x"});
  yield = c.next("yield", 3000ms);
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "typing_in_target");
  EXPECT_FALSE(yield->contains("window"));
  EXPECT_EQ((*c.next("ended"))["reason"], "yield:typing_in_target");

  // Bringing the target to the front.
  activate(*other);
  begin(c, *app, "s1", 3);
  desk_->xdotool({"windowactivate", std::to_string(app->window())});
  yield = c.next("yield", 3000ms);
  ASSERT_TRUE(yield);
  EXPECT_EQ((*yield)["reason"], "front_switch_to_target");
  EXPECT_TRUE(c.next("ended"));

  // A begin right after the user typed in the front target.
  activate(*app);
  desk_->xdotool({"type", "y"});
  c.send(beginFor(*app, "s1", 4));
  auto refused = c.nextWhere([](const json& j) { return j["event"] == "refused" || j["event"] == "ready"; });
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["reason"], "user_active_in_target");
}

TEST_F(CourierServe, TwoServicesOnOneTarget) {
  auto app = target("courier-shared", 100, 100);
  desk_->xdotool({"windowactivate", std::to_string(app->window())});
  auto first = std::make_unique<Courier>(*desk_, runtime_);
  Courier second(*desk_, runtime_);
  begin(*first, *app);
  second.send(beginFor(*app));
  auto busy = second.nextWhere([](const json& j) { return j["event"] == "refused" || j["event"] == "ready"; });
  ASSERT_TRUE(busy);
  EXPECT_EQ((*busy)["reason"], "target_busy");
  EXPECT_EQ((*busy)["holder_pid"], first->pid());
  EXPECT_FALSE(busy->contains("holder_unverified"));

  // The first dies while it holds shift down.
  first->send(act(1, app->window(), {{"kind", "press_key"}, {"key", "a"}, {"modifiers", {"shift"}}, {"hold_ms", 2000}}));
  const std::string file = lockFile(*app);
  // Killed once both the shift key and the "a" are down (the record says so).
  ASSERT_TRUE(waitFor([&] { return contents(file).find("\"keys\":1") != std::string::npos; }));
  const pid_t firstPid = first->pid();
  first->child().kill(SIGKILL);
  ASSERT_TRUE(first->child().waitExit(3000ms));
  first.reset();
  json ready = begin(second, *app, "s2", 1);
  ASSERT_TRUE(ready.contains("reclaimed")) << ready.dump();
  EXPECT_EQ(ready["reclaimed"]["holder_pid"], firstPid);
  EXPECT_EQ(ready["reclaimed"]["pressed"], true);
  EXPECT_EQ(ready["reclaimed"]["held"], (json{{"keys", 1}, {"modifiers", {"shift"}}}));
  second.send(endOf("s2", 1));
  ASSERT_TRUE(second.next("ended"));

  // Garbage in the lock file.
  std::ofstream(file) << "not a record";
  ready = begin(second, *app, "s2", 2);
  EXPECT_EQ(ready["reclaimed"], (json{{"holder_pid", 0}, {"pressed", true}}));
  second.send(endOf("s2", 2));
  ASSERT_TRUE(second.next("ended"));

  // A record whose owner still runs, on an unlocked file.
  std::ofstream(file) << json{{"helper_pid", getpid()}, {"helper_start", *quorl::processStart(getpid())}}.dump();
  second.send(beginFor(*app, "s2", 3));
  auto unverified = second.nextWhere([](const json& j) { return j["event"] == "refused" || j["event"] == "ready"; });
  ASSERT_TRUE(unverified);
  EXPECT_EQ((*unverified)["reason"], "target_busy");
  EXPECT_EQ((*unverified)["holder_pid"], getpid());
  EXPECT_EQ((*unverified)["holder_unverified"], true);

  // A lock directory that others may write to.
  std::ofstream(file).close();
  chmod((runtime_ + "/quorl-input-courier").c_str(), 0770);
  second.send(beginFor(*app, "s2", 4));
  auto unavailable = second.nextWhere([](const json& j) { return j["event"] == "refused" || j["event"] == "ready"; });
  ASSERT_TRUE(unavailable);
  EXPECT_EQ((*unavailable)["reason"], "ownership_unavailable");
}

TEST_F(CourierServe, EndOfInputDuringALongActReleasesAndExits) {
  auto app = target("courier-eof", 100, 100);
  Courier c(*desk_, runtime_);
  begin(c, *app);
  c.send(act(1, app->window(), {{"kind", "press_key"}, {"key", "a"}, {"modifiers", {"shift"}}, {"hold_ms", 2000}}));
  ASSERT_TRUE(app->next([](const json& j) { return j["event"] == "KeyPress" && j["keysym"] == "A"; }));
  const double closedAt = quorl::nowMs();
  c.child().closeStdin();
  auto r = c.result(1, 3000ms);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)["event"], "interrupted");
  EXPECT_EQ((*r)["reason"], "ending");
  EXPECT_EQ((*r)["released"], (json{"key", "modifier"}));
  auto ended = c.next("ended", 3000ms);
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["reason"], "stdin_eof");
  EXPECT_EQ(c.child().waitExit(3000ms), 0);
  EXPECT_LT(quorl::nowMs() - closedAt, 3000);
  // The target saw both keys go up.
  std::vector<std::string> ups;
  for (const auto& e : inputOf(*app))
    if (e["event"] == "KeyRelease") ups.push_back(e["keysym"]);
  EXPECT_EQ(ups.size(), 2u);
}

TEST_F(CourierServe, ProtocolRefusalsThroughTheProgram) {
  Courier c(*desk_, runtime_);
  struct Case {
    std::string line;
    json reply;
  };
  const std::vector<Case> cases = {
      {"[]", {{"event", "refused"}, {"reason", "bad_request"}}},
      {"{\"op\":5}\r", {{"event", "refused"}, {"reason", "bad_request"}}},
      {"{\"op\":\"Begin\"}", {{"event", "refused"}, {"op", "Begin"}, {"reason", "bad_request"}}},
      {R"({"op":"begin","session":"","generation":1,"pid":1,"process_start":"1:1"})",
       {{"event", "refused"}, {"op", "begin"}, {"reason", "bad_request"}}},
      {R"({"op":"begin","session":"s","generation":1,"pid":999999999,"process_start":"1:1"})",
       {{"event", "refused"}, {"op", "begin"}, {"session", "s"}, {"generation", 1}, {"reason", "pid_exited"}}},
      {R"({"op":"end","session":"s","generation":1})", {{"event", "refused"}, {"op", "end"}, {"reason", "no_session"}}},
      {std::string(LineFramer::kLimit + 1, ' '), {{"event", "refused"}, {"reason", "bad_request"}}},
  };
  double last = 0;
  for (const auto& cs : cases) {
    c.sendText(cs.line);
    auto reply = c.nextWhere([](const json&) { return true; });
    ASSERT_TRUE(reply) << cs.line.substr(0, 80);
    ASSERT_TRUE(reply->contains("t"));
    EXPECT_GE((*reply)["t"].get<double>(), last);
    last = (*reply)["t"].get<double>();
    EXPECT_TRUE(testing::hasExactly(*reply, cs.reply)) << cs.line.substr(0, 80);
  }
  c.child().closeStdin();
  EXPECT_EQ(c.child().waitExit(3000ms), 0);
  EXPECT_FALSE(c.nextWhere([](const json&) { return true; }, 100ms));
}

}  // namespace
}  // namespace quorl::courier
