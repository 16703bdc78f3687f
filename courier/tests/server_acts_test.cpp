// Acts through the queue on the delivery worker: the re-checks, hit-testing, the
// result events, cancelling, and how acts meet the session's ending.
#include <gtest/gtest.h>

#include "courier/tests/server_fixture.hpp"

namespace quorl::courier::testing {
namespace {

using ServerActs = ServerFixture;

const Json kClick = {{"kind", "click"}, {"x", 150}, {"y", 150}};

TEST_F(ServerActs, AClickIsDeliveredOnTheHitWindow) {
  const WindowInfo other{88, 5555, 0, 1.0, Rect{300, 100, 200, 100}};
  const WindowInfo overlay{99, 6666, 0, 1.0, Rect{100, 300, 100, 100}};
  const WindowInfo dialog{78, kTarget, 0, 1.0, Rect{120, 120, 50, 50}};
  platform.setWindows({overlay, other, dialog, targetWindow(), WindowInfo{90, 5555, 0, 1.0, Rect{0, 0, 1280, 800}}});
  platform.setOverlayPids({6666});
  begin();
  struct Case {
    double x, y;
    int64_t hit;
    bool covered;
  };
  const std::vector<Case> cases = {{200, 200, kWindow, false},  // the target alone
                                   {350, 150, kWindow, true},   // under another application's window
                                   {150, 350, kWindow, false},  // under the overlay
                                   {130, 130, 78, false}};      // the target's front-most window
  int64_t seq = 1;
  for (const auto& c : cases) {
    send(act(seq, {{"kind", "click"}, {"x", c.x}, {"y", c.y}, {"hold_ms", 0}}));
    auto r = result(seq);
    ASSERT_TRUE(r);
    Json got = *r;
    EXPECT_TRUE(got["deliver_ms"].is_number());
    got.erase("deliver_ms");
    EXPECT_TRUE(hasExactly(got, {{"event", "delivered"},
                                 {"seq", seq},
                                 {"session", "s1"},
                                 {"generation", 1},
                                 {"units", 2},
                                 {"stage", "delivered-unverified"},
                                 {"hit_window", c.hit},
                                 {"hit_layer", 0},
                                 {"covered", c.covered}}))
        << c.x << "," << c.y;
    auto last = platform.posted().back();
    EXPECT_EQ(last.window, c.hit);
    ++seq;
  }
  auto noted = platform.noted();
  ASSERT_EQ(noted.size(), 2u);  // the target's windows only, in list order
  EXPECT_EQ(noted[0].id, 78);
  EXPECT_EQ(noted[1].id, kWindow);
}

TEST_F(ServerActs, EveryCheckRefusesWithTheActsSeq) {
  platform.setWindows({targetWindow(), WindowInfo{79, kTarget, 20, 1.0, Rect{600, 100, 100, 100}},
                       WindowInfo{80, kTarget, 0, 0.0, Rect{700, 300, 100, 100}}});
  begin();
  struct Case {
    Json action;
    int64_t window;
    const char* reason;
  };
  const std::string longText(32769, 'x');
  const std::vector<Case> cases = {
      {{{"x", 1}}, kWindow, "bad_request"},
      {{{"kind", "click"}, {"x", 150}}, kWindow, "bad_request"},
      {{{"kind", "click"}, {"x", "150"}, {"y", 150}}, kWindow, "bad_request"},
      {{{"kind", "hover"}}, kWindow, "unsupported_kind"},
      {{{"kind", "set_value"}}, kWindow, "unsupported_kind"},
      {kClick, 12345, "window_missing"},
      {{{"kind", "type_text"}, {"text", "x"}}, 12346, "window_missing"},
      {{{"kind", "click"}, {"x", 50}, {"y", 150}}, kWindow, "point_outside_target"},
      {{{"kind", "click"}, {"x", 650}, {"y", 150}}, kWindow, "point_outside_target"},  // layer 20
      {{{"kind", "click"}, {"x", 750}, {"y", 350}}, kWindow, "point_outside_target"},  // alpha 0
      {{{"kind", "click"}, {"x", 500}, {"y", 150}}, kWindow, "point_outside_target"},  // right edge
      {{{"kind", "scroll"}, {"x", 150}, {"y", 150}}, kWindow, "bad_request"},
      {{{"kind", "scroll"}, {"x", 150}, {"y", 150}, {"dy", 100001}}, kWindow, "bad_request"},
      {{{"kind", "scroll"}, {"x", 150}, {"y", 150}, {"dy", 1}, {"unit", "page"}}, kWindow, "bad_request"},
      {{{"kind", "drag"}, {"x", 150}, {"y", 150}}, kWindow, "bad_request"},
      {{{"kind", "drag"}, {"x", 150}, {"y", 150}, {"to_x", 50}, {"to_y", 50}}, kWindow, "point_outside_target"},
      {{{"kind", "type_text"}}, kWindow, "bad_request"},
      {{{"kind", "type_text"}, {"text", longText}}, kWindow, "bad_request"},
      {{{"kind", "press_key"}}, kWindow, "unsupported_key"},
      {{{"kind", "press_key"}, {"key", "ab"}}, kWindow, "unsupported_key"},
      {{{"kind", "press_key"}, {"key", "a"}, {"modifiers", {"cmd", "Shift"}}}, kWindow, "unsupported_key"},
  };
  int64_t seq = 100;
  for (const auto& c : cases) {
    Json request = act(seq, c.action);
    request["window_id"] = c.window;
    send(request);
    auto r = result(seq);
    ASSERT_TRUE(r) << c.action.dump();
    EXPECT_TRUE(hasExactly(*r, {{"event", "refused"},
                                {"op", "act"},
                                {"seq", seq},
                                {"session", "s1"},
                                {"generation", 1},
                                {"reason", c.reason},
                                {"stage", "not-delivered"}}))
        << c.action.dump();
    ++seq;
  }
  EXPECT_TRUE(platform.posted().empty());
  send(end());
  auto ended = log.waitEvent("ended");
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["acts"], static_cast<int64_t>(cases.size()));  // refusals after the start count
}

TEST_F(ServerActs, TheTargetsIdentityIsCheckedPerAct) {
  begin();
  platform.setStart(kTarget, "1700000000:999999");
  send(act(1, kClick));
  EXPECT_EQ((*result(1))["reason"], "process_replaced");
  platform.setStart(kTarget, std::nullopt);
  send(act(2, kClick));
  EXPECT_EQ((*result(2))["reason"], "pid_exited");
}

TEST_F(ServerActs, SeqsAreUniqueWhileQueuedOrRunning) {
  begin();
  send(act(1, {{"kind", "click"}, {"x", 150}, {"y", 150}, {"hold_ms", 200}}));
  send(act(1, kClick));
  auto dup = log.waitFor([](const Json& e) { return e.value("reason", "") == "duplicate_seq"; });
  ASSERT_TRUE(dup);
  EXPECT_EQ((*dup)["seq"], 1);
  EXPECT_EQ((*dup)["stage"], "not-delivered");
  ASSERT_TRUE(log.waitFor([](const Json& e) { return e["event"] == "delivered"; }));
  size_t before = log.size();
  send(act(1, {{"kind", "click"}, {"x", 150}, {"y", 150}, {"count", 7}, {"hold_ms", 0}}));
  auto again = log.waitFor([](const Json& e) { return e["event"] == "delivered"; }, 5000, before);
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)["units"], 6);  // count 7 is 3
}

TEST_F(ServerActs, CancellingQueuedAndRunningActs) {
  begin();
  send(act(1, {{"kind", "click"}, {"x", 150}, {"y", 150}, {"hold_ms", 2000}}));
  send(act(2, kClick));
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 2}});
  EXPECT_TRUE(hasExactly(log.all().back(),
                         {{"event", "cancelling"}, {"seq", 2}, {"session", "s1"}, {"generation", 1}, {"state", "queued"}}));
  ASSERT_TRUE(waitUntil([&] { return postedType(1); }));
  double cancelledAt = quorl::nowMs();
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 1}});
  EXPECT_EQ(log.all().back()["state"], "running");
  auto first = result(1);
  ASSERT_TRUE(first);
  EXPECT_LT(quorl::nowMs() - cancelledAt, 500);
  Json got = *first;
  got.erase("deliver_ms");
  EXPECT_TRUE(hasExactly(got, {{"event", "interrupted"},
                               {"seq", 1},
                               {"session", "s1"},
                               {"generation", 1},
                               {"units", 1},
                               {"stage", "partial"},
                               {"reason", "cancelled"},
                               {"released", {"button"}},
                               {"hit_window", kWindow},
                               {"hit_layer", 0},
                               {"covered", false}}));
  EXPECT_EQ((*result(2))["reason"], "cancelled");
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 1}});
  EXPECT_EQ(log.all().back()["state"], "unknown");
  send(end());
  EXPECT_EQ((*log.waitEvent("ended"))["acts"], 1);  // the cancelled queued act never started
}

TEST_F(ServerActs, EndingInterruptsTheRunningActAndRefusesTheQueue) {
  begin();
  send(act(1, {{"kind", "drag"}, {"x", 150}, {"y", 150}, {"to_x", 300}, {"to_y", 300}, {"duration_ms", 5000}}));
  send(act(2, kClick));
  ASSERT_TRUE(waitUntil([&] { return postedType(6); }));
  send(end());
  auto first = *result(1);
  EXPECT_EQ(first["event"], "interrupted");
  EXPECT_EQ(first["reason"], "ending");
  EXPECT_EQ(first["released"], Json{"button"});
  EXPECT_EQ(first["stage"], "partial");
  EXPECT_EQ((*result(2))["reason"], "ending");
  auto ended = *log.waitEvent("ended");
  EXPECT_EQ(ended["reason"], "requested");
  EXPECT_EQ(ended["released"], Json::array());  // the act released its own button
  EXPECT_EQ(ended["acts"], 1);
  // The button went up where the drag had got to.
  auto up = platform.posted().back();
  EXPECT_EQ(up.type, 2);
  EXPECT_GT(up.at.x, 150);
  EXPECT_LT(up.at.x, 300);
}

TEST_F(ServerActs, AButtonLeftDownIsMirroredAndReleasedAtTheEnd) {
  begin();
  send(act(1, {{"kind", "mouse_down"}, {"x", 150}, {"y", 150}}));
  auto down = *result(1);
  EXPECT_EQ(down["event"], "delivered");
  EXPECT_EQ(down["units"], 1);
  auto s = server->session();
  Json record = s->ownership->record();
  EXPECT_EQ(record["pressed"], true);
  EXPECT_EQ(record["held"], (Json{{"button", "left"}, {"keys", 0}, {"modifiers", Json::array()}}));
  send(end());
  auto ended = *log.waitEvent("ended");
  EXPECT_EQ(ended["released"], Json{"button"});
  EXPECT_EQ(platform.posted().back().type, 2);
}

TEST_F(ServerActs, KeyboardActsAddressTheNamedWindow) {
  platform.setWindows({WindowInfo{78, kTarget, 0, 1.0, Rect{120, 120, 50, 50}}, targetWindow()});
  begin();
  send(act(1, {{"kind", "type_text"}, {"text", "hé"}}));
  auto typed = *result(1);
  EXPECT_EQ(typed["units"], 2);
  EXPECT_FALSE(typed.contains("hit_window"));
  EXPECT_FALSE(typed.contains("covered"));
  send(act(2, {{"kind", "press_key"}, {"key", "S"}, {"modifiers", {"cmd", "shift"}}, {"hold_ms", 5}}));
  EXPECT_EQ((*result(2))["units"], 6);
  auto windows = platform.keyWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0], std::make_pair(kTarget, kWindow));
  auto keys = platform.posted();
  EXPECT_EQ(keys[keys.size() - 4].code, 1);  // "S" is the key of "s"
}

TEST_F(ServerActs, LongTextAtTheLimitIsAccepted) {
  begin();
  std::string text;
  for (int i = 0; i < 16384; ++i) text += "\xF0\x9F\x98\x80";  // 32768 UTF-16 code units
  send(act(1, {{"kind", "type_text"}, {"text", text}}));
  ASSERT_TRUE(waitUntil([&] { return platform.posted().size() >= 4; }));
  send(end());
  auto r = *result(1);
  EXPECT_EQ(r["event"], "interrupted");
  EXPECT_EQ(r["reason"], "ending");
  EXPECT_GE(r["units"], 2);
}

TEST_F(ServerActs, AnIdleSessionEndsAfterItsIdleTime) {
  server->startIdleWatcher();
  Json request = beginRequest();
  request["idle_ms"] = 1000;
  const double sent = quorl::nowMs();  // the idle clock starts during the begin
  send(request);
  auto ready = log.waitEvent("ready");
  ASSERT_TRUE(ready);
  auto ended = log.waitEvent("ended", 4000);
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["reason"], "idle_timeout");
  EXPECT_GE((*ended)["t"].get<double>() - r1(sent), 1000);
  // One watcher period at most, plus room for a loaded machine.
  EXPECT_LT((*ended)["t"].get<double>() - (*ready)["t"].get<double>(), 1250 + 750);
}

TEST_F(ServerActs, ARunningActHoldsOffTheIdleTimeout) {
  server->startIdleWatcher();
  Json request = beginRequest();
  request["idle_ms"] = 1000;
  send(request);
  send(act(1, {{"kind", "click"}, {"x", 150}, {"y", 150}, {"hold_ms", 1500}}));
  auto done = result(1, 5000);
  ASSERT_TRUE(done);
  EXPECT_EQ((*done)["event"], "delivered");
  auto ended = log.waitEvent("ended", 4000);
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["reason"], "idle_timeout");
  EXPECT_GE((*ended)["t"].get<double>() - (*done)["t"].get<double>(), 1000);
  EXPECT_EQ((*ended)["acts"], 1);
}

class ServerAccessibilityActs : public ServerFixture {
 protected:
  void makeServer(ServerOptions options) override {
    options.testHooks = true;
    options.accessibilityRequest = [this](const SessionRef&, const std::string& kind, const Json& action,
                                          int64_t window) -> std::optional<AXOperation> {
      if (!action.contains("outcome")) return std::nullopt;
      std::string outcome = action["outcome"];
      return AXOperation([=, this](const std::function<bool()>& proceed) {
        AXOutcome o;
        if (outcome == "done") {
          o.extra = {{"kind_seen", kind}, {"window_seen", window}};
        } else if (outcome == "refused") {
          o.kind = AXOutcome::Kind::refused;
          o.reason = "not_settable";
        } else if (outcome == "no_reply") {
          o.kind = AXOutcome::Kind::noReply;
        } else {
          operations.fetch_add(1);
          o.kind = proceed() ? AXOutcome::Kind::done : AXOutcome::Kind::stopped;
        }
        return o;
      });
    };
    ServerFixture::makeServer(std::move(options));
  }
  std::atomic<int> operations{0};
};

TEST_F(ServerAccessibilityActs, OutcomesBecomeResultEvents) {
  begin();
  send(act(1, {{"kind", "set_value"}, {"outcome", "done"}}));
  auto done = *result(1);
  EXPECT_EQ(done["event"], "delivered");
  EXPECT_EQ(done["units"], 1);
  EXPECT_EQ(done["kind_seen"], "set_value");
  EXPECT_EQ(done["window_seen"], kWindow);
  send(act(2, {{"kind", "ax_action"}, {"outcome", "refused"}}));
  EXPECT_EQ((*result(2))["reason"], "not_settable");
  send(act(3, {{"kind", "invoke_menu"}, {"outcome", "no_reply"}}));
  auto noReply = *result(3);
  EXPECT_EQ(noReply["reason"], "no_reply");
  EXPECT_EQ(noReply["stage"], "partial");
  EXPECT_EQ(noReply["units"], 1);
  send(act(4, {{"kind", "window_frame"}}));
  EXPECT_EQ((*result(4))["reason"], "bad_request");
  // The test hook holds the operation at its last-moment check, so a cancel lands.
  send(act(5, {{"kind", "set_value"}, {"outcome", "check"}, {"test_delay_ms", 800}}));
  ASSERT_TRUE(waitUntil([&] { return operations.load() == 1; }));
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 5}});
  auto stopped = *result(5);
  EXPECT_EQ(stopped["event"], "interrupted");
  EXPECT_EQ(stopped["reason"], "cancelled");
  EXPECT_EQ(stopped["units"], 0);
  EXPECT_EQ(stopped["stage"], "not-delivered");
  EXPECT_GE(stopped["deliver_ms"].get<double>(), 800);
}

TEST_F(ServerAccessibilityActs, RequestsDuringAnEnding) {
  begin();
  // The test hook keeps the running act busy, so the ending takes a while.
  send(act(1, {{"kind", "set_value"}, {"outcome", "check"}, {"test_delay_ms", 1000}}));
  ASSERT_TRUE(waitUntil([&] { return operations.load() == 1; }));
  std::thread ending([&] { send(end()); });
  const Json renew = {{"op", "renew"}, {"session", "s1"}, {"generation", 1}};
  ASSERT_TRUE(waitUntil([&] {
    size_t before = log.size();
    send(renew);
    auto all = log.all();
    return all.size() > before && all.back().value("reason", "") == "ending";
  }));
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "refused"}, {"op", "renew"}, {"reason", "ending"}}));
  send(beginRequest("s2", 1));
  EXPECT_EQ(log.all().back()["reason"], "session_held");
  EXPECT_EQ(log.all().back()["held"], "s1");
  size_t before = log.size();
  send(end());  // already ending: no reply at all
  EXPECT_EQ(log.size(), before);
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 7}});
  EXPECT_EQ(log.all().back()["state"], "unknown");
  send(act(2, kClick));  // accepted, then refused when its turn comes
  ending.join();
  EXPECT_EQ((*result(2))["reason"], "ending");
  auto first = *result(1);
  EXPECT_EQ(first["event"], "interrupted");
  EXPECT_EQ(first["reason"], "ending");
  int ended = 0;
  for (const auto& e : log.all()) ended += e["event"] == "ended";
  EXPECT_EQ(ended, 1);
}

}  // namespace
}  // namespace quorl::courier::testing
