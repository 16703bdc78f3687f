// Request lines and their replies: framing refusals, field rules of every
// request, and the session handlers' answers.
#include <gtest/gtest.h>

#include <thread>

#include "courier/request_reader.hpp"
#include "courier/tests/server_fixture.hpp"

namespace quorl::courier::testing {
namespace {

using ServerProtocol = ServerFixture;

struct LineCase {
  const char* name;
  std::string line;
  Json reply;  // exact keys besides "t"
};

TEST_F(ServerProtocol, RefusalsWithoutSessionHaveExactlyTheirKeys) {
  const Json framing = {{"event", "refused"}, {"reason", "bad_request"}};
  const Json beginBad = {{"event", "refused"}, {"op", "begin"}, {"reason", "bad_request"}};
  const std::string start = std::string("\"process_start\":\"") + kStart + "\"";
  const std::vector<LineCase> cases = {
      {"empty array", "[]", framing},
      {"empty object", "{}", framing},
      {"bare number", "5", framing},
      {"numeric op", R"({"op":5})", framing},
      {"no op", R"({"session":"s1"})", framing},
      {"not json", "begin please", framing},
      {"empty line", "", framing},
      {"capitalised op", R"({"op":"Begin"})", {{"event", "refused"}, {"op", "Begin"}, {"reason", "bad_request"}}},
      {"unknown op", R"({"op":"jump","session":"s1"})",
       {{"event", "refused"}, {"op", "jump"}, {"reason", "bad_request"}}},
      {"begin pid 0", R"({"op":"begin","session":"a","generation":1,"pid":0,)" + start + "}", beginBad},
      {"begin pid string", R"({"op":"begin","session":"a","generation":1,"pid":"4242",)" + start + "}", beginBad},
      {"begin pid beyond 32 bits",
       R"({"op":"begin","session":"a","generation":1,"pid":2147483648,)" + start + "}", beginBad},
      {"begin generation true", R"({"op":"begin","session":"a","generation":true,"pid":4242,)" + start + "}",
       beginBad},
      {"begin empty session", R"({"op":"begin","session":"","generation":1,"pid":4242,)" + start + "}", beginBad},
      {"begin 65 characters",
       R"({"op":"begin","session":")" + std::string(65, 'x') + R"(","generation":1,"pid":4242,)" + start + "}",
       beginBad},
      {"begin without start", R"({"op":"begin","session":"a","generation":1,"pid":4242})", beginBad},
      {"begin numeric start", R"({"op":"begin","session":"a","generation":1,"pid":4242,"process_start":5})",
       beginBad},
      {"cancel without session", R"({"op":"cancel","session":"s1","generation":1,"seq":1})",
       {{"event", "refused"}, {"op", "cancel"}, {"reason", "no_session"}}},
      {"renew without session", R"({"op":"renew","session":"s1","generation":1})",
       {{"event", "refused"}, {"op", "renew"}, {"reason", "no_session"}}},
      {"end without session", R"({"op":"end","session":"s1","generation":1})",
       {{"event", "refused"}, {"op", "end"}, {"reason", "no_session"}}},
      {"act without seq", R"({"op":"act","session":"s1","generation":1,"window_id":77,"action":{}})",
       {{"event", "refused"}, {"op", "act"}, {"reason", "bad_request"}, {"session", "s1"}, {"generation", 1}}},
      {"act without session", R"({"op":"act","session":"s1","generation":2.7,"seq":3})",
       {{"event", "refused"},
        {"op", "act"},
        {"reason", "no_session"},
        {"session", "s1"},
        {"generation", 2},
        {"seq", 3},
        {"stage", "not-delivered"}}},
      {"act echoes only usable fields",
       R"({"op":"act","session":")" + std::string(65, 'y') + R"(","generation":"1","seq":4})",
       {{"event", "refused"}, {"op", "act"}, {"reason", "no_session"}, {"seq", 4}, {"stage", "not-delivered"}}},
  };
  for (const auto& c : cases) {
    size_t before = log.size();
    sendText(c.line);
    auto all = log.all();
    ASSERT_EQ(all.size(), before + 1) << c.name;
    EXPECT_TRUE(hasExactly(all.back(), c.reply)) << c.name;
  }
}

TEST_F(ServerProtocol, TheLineLimitCountsRepairedBytes) {
  // 1,048,576 bytes is a request; one more byte is refused by the framing.
  std::string head = R"({"op":"nope","pad":")";
  std::string exact = head + std::string(LineFramer::kLimit - head.size() - 2, 'p') + "\"}";
  ASSERT_EQ(exact.size(), LineFramer::kLimit);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    std::string all = exact + "\r\n" + head + std::string(LineFramer::kLimit - head.size() - 1, 'p') + "\"}\n" +
                      R"({"op":"last"})";
    size_t off = 0;
    while (off < all.size()) {
      ssize_t n = write(fds[1], all.data() + off, all.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  EXPECT_TRUE(server->readInput(fds[0]));
  writer.join();
  close(fds[0]);
  auto all = log.all();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(hasExactly(all[0], {{"event", "refused"}, {"op", "nope"}, {"reason", "bad_request"}}));
  EXPECT_TRUE(hasExactly(all[1], {{"event", "refused"}, {"reason", "bad_request"}}));
  EXPECT_TRUE(hasExactly(all[2], {{"event", "refused"}, {"op", "last"}, {"reason", "bad_request"}}));
}

TEST_F(ServerProtocol, ReadyHasExactlyItsKeys) {
  platform.setFront(kTarget);
  auto ready = begin();
  EXPECT_TRUE(hasExactly(ready, {{"event", "ready"},
                                 {"session", "s1"},
                                 {"generation", 1},
                                 {"pid", kTarget},
                                 {"front_pid", kTarget},
                                 {"target_front", true},
                                 {"route", "sky"}}));
}

TEST_F(ServerProtocol, IdleTimeIsClampedNeverRefused) {
  const std::vector<std::pair<Json, double>> cases = {
      {Json(5), 1000}, {Json(10000000), 600000}, {Json(1500.9), 1500}, {Json("soon"), 90000}, {Json(), 90000}};
  int generation = 1;
  for (const auto& [value, expected] : cases) {
    Json request = beginRequest("s1", generation);
    if (!value.is_null()) request["idle_ms"] = value;
    send(request);
    auto s = server->session();
    ASSERT_TRUE(s) << value.dump();
    EXPECT_EQ(s->idleMs, expected) << value.dump();
    send(end("s1", generation));
    ++generation;
  }
}

struct BeginCase {
  const char* name;
  std::function<void(FakeCourierPlatform&)> arrange;
  Json refusal;  // extra keys of the refusal and its reason
};

TEST_F(ServerProtocol, BeginChecksInTheirOrder) {
  const std::vector<BeginCase> cases = {
      {"missing entry points beat everything",
       [](FakeCourierPlatform& p) {
         p.setMissing({"_SLPSGetFrontProcess", "GetProcessPID"});
         p.setPostAccess(false);
         p.setStart(kTarget, std::nullopt);
       },
       {{"reason", "unavailable"}, {"missing", {"_SLPSGetFrontProcess", "GetProcessPID"}}}},
      {"no post access",
       [](FakeCourierPlatform& p) {
         p.setPostAccess(false);
         p.setStart(kTarget, std::nullopt);
       },
       {{"reason", "not_permitted"}}},
      {"target gone", [](FakeCourierPlatform& p) { p.setStart(kTarget, std::nullopt); }, {{"reason", "pid_exited"}}},
      {"target replaced", [](FakeCourierPlatform& p) { p.setStart(kTarget, "1700000001:0"); },
       {{"reason", "process_replaced"}}},
      {"user typed in the front target a second ago",
       [](FakeCourierPlatform& p) {
         p.setFront(kTarget);
         p.userEventAgo(UserEvent::keyDown, 1.0);
       },
       {{"reason", "user_active_in_target"}}},
      {"user clicked in the front target just now",
       [](FakeCourierPlatform& p) {
         p.setFront(kTarget);
         p.userEventAgo(UserEvent::otherDown, 0.2);
       },
       {{"reason", "user_active_in_target"}}},
  };
  for (const auto& c : cases) {
    FakeCourierPlatform fresh;
    fresh.setStart(kTarget, kStart);
    c.arrange(fresh);
    EventLog events;
    Server s(fresh, {lockDir, [&](Json e) { events.add(std::move(e)); }, false, {}});
    s.handleLine(beginRequest().dump());
    auto all = events.all();
    ASSERT_EQ(all.size(), 1u) << c.name;
    Json expected = c.refusal;
    expected["event"] = "refused";
    expected["op"] = "begin";
    expected["session"] = "s1";
    expected["generation"] = 1;
    EXPECT_TRUE(hasExactly(all[0], expected)) << c.name;
    EXPECT_FALSE(s.session()) << c.name;
  }
}

TEST_F(ServerProtocol, RecentTypingInABackgroundTargetDoesNotBlockBegin) {
  platform.setFront(999);
  platform.userEventAgo(UserEvent::keyDown, 0.5);
  auto ready = begin();
  EXPECT_EQ(ready["target_front"], false);
  EXPECT_EQ(ready["front_pid"], 999);
}

TEST_F(ServerProtocol, SessionRequestsAndTheirAnswers) {
  begin();
  // A second begin while one is current.
  send(beginRequest("s2", 1));
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "refused"},
                                            {"op", "begin"},
                                            {"session", "s2"},
                                            {"generation", 1},
                                            {"reason", "session_held"},
                                            {"held", "s1"}}));
  send({{"op", "renew"}, {"session", "s1"}, {"generation", 1}});
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "renewed"}, {"session", "s1"}}));
  // Wrong generation matches nothing.
  send({{"op", "renew"}, {"session", "s1"}, {"generation", 2}});
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "refused"}, {"op", "renew"}, {"reason", "no_session"}}));
  // A cancel without seq for the current session.
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}});
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "refused"}, {"op", "cancel"}, {"reason", "no_session"}}));
  send({{"op", "cancel"}, {"session", "s1"}, {"generation", 1}, {"seq", 9}});
  EXPECT_TRUE(hasExactly(log.all().back(),
                         {{"event", "cancelling"}, {"seq", 9}, {"session", "s1"}, {"generation", 1}, {"state", "unknown"}}));
  // An act without window_id.
  send({{"op", "act"}, {"session", "s1"}, {"generation", 1}, {"seq", 1}, {"action", {{"kind", "click"}}}});
  EXPECT_TRUE(hasExactly(log.all().back(), {{"event", "refused"},
                                            {"op", "act"},
                                            {"session", "s1"},
                                            {"generation", 1},
                                            {"seq", 1},
                                            {"stage", "not-delivered"},
                                            {"reason", "bad_request"}}));
  // The end reason keeps its first 64 characters.
  send({{"op", "end"}, {"session", "s1"}, {"generation", 1}, {"reason", std::string(100, 'r')}});
  auto ended = log.all().back();
  EXPECT_EQ(ended["event"], "ended");
  EXPECT_EQ(ended["reason"], std::string(64, 'r'));
  EXPECT_EQ(ended["yielded"], false);
  EXPECT_EQ(ended["released"], Json::array());
  EXPECT_EQ(ended["acts"], 0);
  for (const char* key : {"released_t", "elapsed_ms", "session", "generation"}) EXPECT_TRUE(ended.contains(key)) << key;
  EXPECT_EQ(ended.size(), 10u);
  EXPECT_FALSE(server->session());
  // The same id with a new generation begins again; the lock file was left empty.
  begin("s1", 2);
  send(end("s1", 2));
  EXPECT_EQ(log.all().back()["reason"], "requested");
}

}  // namespace
}  // namespace quorl::courier::testing
