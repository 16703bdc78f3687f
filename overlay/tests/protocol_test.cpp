// Command lines of agent-overlay: line cutting, parsing, validation, freshness.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "overlay/protocol.hpp"

using namespace quorl::overlay;

namespace {

constexpr int64_t kNow = 1'700'000'000'000;

std::string showLine(const std::string& overrides = "", int64_t issued = kNow) {
  // Keys given in `overrides` replace the defaults (a later key wins in JSON).
  nlohmann::json j = {{"type", "show"},
                      {"pid", 42},
                      {"processStart", "1700000000:5"},
                      {"windowId", 7},
                      {"windowBounds", {{"x", 0}, {"y", 0}, {"width", 800}, {"height", 600}}},
                      {"x", 100.5},
                      {"y", 200},
                      {"phase", "click"},
                      {"ttlMs", 1500},
                      {"issuedAtMs", issued}};
  if (!overrides.empty()) j.update(nlohmann::json::parse(overrides));
  return j.dump();
}

std::string presenceLine(const std::string& overrides, bool turn = false) {
  nlohmann::json j = turn ? nlohmann::json{{"type", "presence"}, {"id", 3},       {"pid", 42},
                                           {"windowId", 7},      {"state", "turn"}, {"title", "Your turn"},
                                           {"ttlMs", 3000},      {"issuedAtMs", kNow}}
                          : nlohmann::json{{"type", "presence"}, {"id", 3},          {"pid", 42},
                                           {"windowId", 7},      {"state", "working"}, {"title", "Editing"},
                                           {"stop", "Stop"}};
  if (!overrides.empty()) j.update(nlohmann::json::parse(overrides));
  return j.dump();
}

bool accepted(const std::string& line, int64_t now = kNow) {
  return std::holds_alternative<HelperCommand>(HelperCommand::parse(line, now));
}

std::string without(const std::string& line, const std::string& key) {
  auto j = nlohmann::json::parse(line);
  j.erase(key);
  return j.dump();
}

}  // namespace

TEST(OverlayProtocol, ParsesEachCommand) {
  auto show = HelperCommand::parse(showLine(), kNow);
  const auto& cursor = std::get<CursorCommand>(std::get<HelperCommand>(show).value);
  const auto& request = std::get<CursorRequest>(cursor);
  EXPECT_EQ(request.pid, 42);
  EXPECT_EQ(request.processStart, (ProcessBirth{1700000000, 5}));
  EXPECT_EQ(request.windowId, 7u);
  EXPECT_EQ(request.windowBounds, (CursorRect{0, 0, 800, 600}));
  EXPECT_EQ(request.x, 100.5);
  EXPECT_EQ(request.phase, CursorPhase::click);
  EXPECT_EQ(request.glyphBounds(), (CursorRect{84.5, 184, 88, 56}));

  auto hide = HelperCommand::parse(R"({"type":"hide"})", kNow);
  EXPECT_TRUE(std::holds_alternative<CursorHide>(std::get<CursorCommand>(std::get<HelperCommand>(hide).value)));
  auto conceal = HelperCommand::parse(R"({"type":"conceal"})", kNow);
  EXPECT_TRUE(
      std::holds_alternative<PresenceConceal>(std::get<PresenceCommand>(std::get<HelperCommand>(conceal).value)));

  auto working = HelperCommand::parse(presenceLine(R"({"note":" step 2 "})"), kNow);
  const auto& p = std::get<PresenceRequest>(std::get<PresenceCommand>(std::get<HelperCommand>(working).value));
  EXPECT_EQ(p.state, PresenceState::working);
  EXPECT_EQ(p.title, "Editing");
  EXPECT_EQ(p.note, " step 2 ");
  EXPECT_EQ(p.stop, "Stop");
  EXPECT_FALSE(p.ttlMs);

  auto turn = HelperCommand::parse(presenceLine("", true), kNow);
  const auto& t = std::get<PresenceRequest>(std::get<PresenceCommand>(std::get<HelperCommand>(turn).value));
  EXPECT_EQ(t.state, PresenceState::turn);
  EXPECT_EQ(t.ttlMs, 3000);
}

TEST(OverlayProtocol, RejectsBrokenCommands) {
  struct Case {
    const char* what;
    std::string line;
    CommandError error;
  };
  const Case cases[] = {
      {"empty line", "", CommandError::invalid},
      {"not JSON", "{\"type\":", CommandError::json},
      {"bare string", "\"hide\"", CommandError::json},
      {"array", "[1]", CommandError::invalid},
      {"empty object", "{}", CommandError::invalid},
      {"type not a string", R"({"type":1})", CommandError::invalid},
      {"unknown type", R"({"type":"move"})", CommandError::invalid},
      {"hide with extra key", R"({"type":"hide","x":1})", CommandError::invalid},
      {"conceal with extra key", R"({"type":"conceal","id":1})", CommandError::invalid},
      {"phase", showLine(R"({"phase":"drag"})"), CommandError::invalid},
      {"fifth bounds key", showLine(R"({"windowBounds":{"x":0,"y":0,"width":8,"height":6,"z":0}})"),
       CommandError::invalid},
      {"bounds width 0", showLine(R"({"windowBounds":{"x":0,"y":0,"width":0,"height":6}})"), CommandError::invalid},
      {"bounds beyond 1e7", showLine(R"({"windowBounds":{"x":9999999,"y":0,"width":2,"height":6}})"),
       CommandError::invalid},
      {"seconds 0", showLine(R"({"processStart":"0:5"})"), CommandError::invalid},
      {"microseconds 1000000", showLine(R"({"processStart":"1:1000000"})"), CommandError::invalid},
      {"empty piece", showLine(R"({"processStart":"1:"})"), CommandError::invalid},
      {"three pieces", showLine(R"({"processStart":"1:2:3"})"), CommandError::invalid},
      {"sign in stamp", showLine(R"({"processStart":"+1:2"})"), CommandError::invalid},
      {"stamp past 64 bits", showLine(R"({"processStart":"18446744073709551616:0"})"), CommandError::invalid},
      {"stamp of 33 bytes", showLine(R"({"processStart":"0000000000000000000000000000001:1"})"),
       CommandError::invalid},
      {"pid 0", showLine(R"({"pid":0})"), CommandError::invalid},
      {"pid past 32 bits", showLine(R"({"pid":2147483648})"), CommandError::invalid},
      {"pid 7.5", showLine(R"({"pid":7.5})"), CommandError::invalid},
      {"pid true", showLine(R"({"pid":true})"), CommandError::invalid},
      {"windowId 0", showLine(R"({"windowId":0})"), CommandError::invalid},
      {"windowId past 32 bits", showLine(R"({"windowId":4294967296})"), CommandError::invalid},
      {"ttlMs 1501", showLine(R"({"ttlMs":1501})"), CommandError::invalid},
      {"ttlMs 0", showLine(R"({"ttlMs":0})"), CommandError::invalid},
      {"x a string", showLine(R"({"x":"1"})"), CommandError::invalid},
      {"y beyond 1e7", showLine(R"({"y":10000001})"), CommandError::invalid},
      {"show missing a key", without(showLine(), "phase"), CommandError::invalid},
      {"show with extra key", showLine(R"({"extra":1})"), CommandError::invalid},
      {"working with ttlMs", presenceLine(R"({"ttlMs":100})"), CommandError::invalid},
      {"working without stop", without(presenceLine(""), "stop"), CommandError::invalid},
      {"turn with stop", presenceLine(R"({"stop":"Stop"})", true), CommandError::invalid},
      {"turn with note", presenceLine(R"({"note":"n"})", true), CommandError::invalid},
      {"turn without issuedAtMs", without(presenceLine("", true), "issuedAtMs"), CommandError::invalid},
      {"turn ttlMs 10001", presenceLine(R"({"ttlMs":10001})", true), CommandError::invalid},
      {"unknown state", presenceLine(R"({"state":"idle"})"), CommandError::invalid},
      {"id true", presenceLine(R"({"id":true})"), CommandError::invalid},
      {"id 7.5", presenceLine(R"({"id":7.5})"), CommandError::invalid},
      {"id \"7\"", presenceLine(R"({"id":"7"})"), CommandError::invalid},
      {"id 0", presenceLine(R"({"id":0})"), CommandError::invalid},
      {"id past 31 bits", presenceLine(R"({"id":2147483648})"), CommandError::invalid},
      {"presence pid 0", presenceLine(R"({"pid":0})"), CommandError::invalid},
      {"presence windowId past 32 bits", presenceLine(R"({"windowId":4294967296})"), CommandError::invalid},
      {"title of spaces", presenceLine(R"({"title":"   "})"), CommandError::invalid},
      {"title of tab and no-break space", presenceLine(R"({"title":"\t\u00a0"})"), CommandError::invalid},
      {"title with tab", presenceLine(R"({"title":"a\tb"})"), CommandError::invalid},
      {"title with line feed", presenceLine(R"({"title":"a\nb"})"), CommandError::invalid},
      {"title with zero-width joiner alone", presenceLine(R"({"title":"a\u200db"})"), CommandError::invalid},
      {"title not a string", presenceLine(R"({"title":5})"), CommandError::invalid},
      {"stop blank", presenceLine(R"({"stop":" "})"), CommandError::invalid},
      {"note of 97 characters", presenceLine(R"({"note":")" + std::string(97, 'n') + "\"}"),
       CommandError::invalid},
      {"line of 1025 bytes", std::string(1025, ' '), CommandError::invalid},
  };
  for (const auto& c : cases) {
    auto result = HelperCommand::parse(c.line, kNow);
    ASSERT_TRUE(std::holds_alternative<CommandError>(result)) << c.what;
    EXPECT_EQ(std::get<CommandError>(result), c.error) << c.what;
  }
}

TEST(OverlayProtocol, AcceptsTheEdgesOfEachRule) {
  std::string emoji64, emoji65;
  for (int i = 0; i < 64; ++i) emoji64 += "\xF0\x9F\x98\x80";  // U+1F600
  emoji65 = emoji64 + "\xF0\x9F\x98\x80";
  // "é" as e and a combining accent: one user-perceived character, two code points.
  std::string accented;
  for (int i = 0; i < 64; ++i) accented += "e\xCC\x81";
  struct Case {
    const char* what;
    std::string line;
    bool ok;
  };
  const Case cases[] = {
      {"id 7.0", presenceLine(R"({"id":7.0})"), true},
      {"id 7e0", presenceLine(R"({"id":7e0})"), true},
      {"title padded by spaces", presenceLine(R"({"title":" word "})"), true},
      {"title of 64 emoji", presenceLine(R"({"title":")" + emoji64 + "\"}"), true},
      {"title of 65 emoji", presenceLine(R"({"title":")" + emoji65 + "\"}"), false},
      {"title of 64 combined characters", presenceLine(R"({"title":")" + accented + "\"}"), true},
      {"title of 65 combined characters", presenceLine(R"({"title":")" + accented + "e\xCC\x81\"}"), false},
      {"note of 96 characters", presenceLine(R"({"note":")" + std::string(96, 'n') + "\"}"), true},
      {"windowId 4294967295", presenceLine(R"({"windowId":4294967295})"), true},
      {"id 2147483647", presenceLine(R"({"id":2147483647})"), true},
      {"show pid 7.0", showLine(R"({"pid":7.0})"), true},
      {"leading zeros in the stamp", showLine(R"({"processStart":"0001:000999"})"), true},
      {"microseconds 999999", showLine(R"({"processStart":"1:999999"})"), true},
      {"ttlMs 1", showLine(R"({"ttlMs":1})"), true},
      {"negative hot spot", showLine(R"({"x":-5,"y":-10000000})"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(accepted(c.line), c.ok) << c.what;

  auto working = HelperCommand::parse(presenceLine(R"({"title":" word "})"), kNow);
  EXPECT_EQ(std::get<PresenceRequest>(std::get<PresenceCommand>(std::get<HelperCommand>(working).value)).title,
            " word ");
}

TEST(OverlayProtocol, LineLimitIs1024Bytes) {
  // A "hide" object padded with spaces to exactly the limit.
  std::string line = R"({"type":"hide"})";
  line.insert(line.size() - 1, HelperCommand::maximumLineBytes - line.size(), ' ');
  ASSERT_EQ(line.size(), 1024u);
  EXPECT_TRUE(accepted(line));
  EXPECT_FALSE(accepted(line + " "));
}

TEST(OverlayProtocol, FreshnessRule) {
  struct Case {
    const char* what;
    int64_t ttl;
    int64_t issued;
    int64_t now;
    std::optional<int64_t> remaining;
  };
  const Case cases[] = {
      {"just issued", 1500, kNow, kNow, 1500},
      {"1000 ms ahead", 1500, kNow + 1000, kNow, 1500},
      {"1001 ms ahead", 1500, kNow + 1001, kNow, std::nullopt},
      {"half gone", 1500, kNow - 700, kNow, 800},
      {"issued + ttl == now", 1500, kNow - 1500, kNow, std::nullopt},
      {"one ms left", 1500, kNow - 1499, kNow, 1},
      {"issued 0", 1500, 0, kNow, std::nullopt},
      {"now 0", 1500, kNow, 0, std::nullopt},
      {"ttl 0", 0, kNow, kNow, std::nullopt},
      {"ttl 1501", 1501, kNow, kNow, std::nullopt},
      {"stamp at the end of time", 1500, INT64_MAX, INT64_MAX - 10, 1500},
  };
  for (const auto& c : cases) {
    CursorRequest r;
    r.ttlMs = c.ttl;
    r.issuedAtMs = c.issued;
    EXPECT_EQ(r.remainingMilliseconds(c.now), c.remaining) << c.what;
  }
  PresenceRequest turn;
  turn.state = PresenceState::turn;
  turn.ttlMs = 10000;
  turn.issuedAtMs = kNow;
  EXPECT_EQ(turn.remainingMilliseconds(kNow + 2500), 7500);
  turn.ttlMs = 10001;
  EXPECT_EQ(turn.remainingMilliseconds(kNow), std::nullopt);
  PresenceRequest working;
  working.ttlMs = 100;
  working.issuedAtMs = kNow;
  EXPECT_EQ(working.remainingMilliseconds(kNow), std::nullopt);

  // Parsing applies the rule against the parse time.
  EXPECT_TRUE(accepted(showLine("", kNow + 1000)));
  EXPECT_FALSE(accepted(showLine("", kNow + 1001)));
  EXPECT_FALSE(accepted(showLine("", kNow - 1500)));
  EXPECT_FALSE(accepted(presenceLine(R"({"issuedAtMs":1})", true)));
}

TEST(OverlayProtocol, RectOperations) {
  CursorRect r{0, 0, 100, 50};
  EXPECT_TRUE(r.contains({0, 0, 100, 50}));
  EXPECT_FALSE(r.contains({0.5, 0, 100, 50}));
  EXPECT_TRUE(r.intersects({100, 50, 5, 5}));  // touching corners count
  EXPECT_FALSE(r.intersects({100.01, 0, 5, 5}));
  EXPECT_TRUE(r.matches({0.5, -0.5, 100.5, 49.5}));
  EXPECT_FALSE(r.matches({0.6, 0, 100, 50}));
  EXPECT_FALSE((CursorRect{0, 0, 1, 1}).contains({0, 0, 0, 0}));  // an invalid rectangle is inside nothing
  EXPECT_FALSE((CursorRect{NAN, 0, 1, 1}).isValid());
  EXPECT_FALSE((CursorRect{9'999'999, 0, 2, 1}).isValid());  // x + width past the limit
}

TEST(OverlayLineReader, CutsLinesAndKeepsTheRest) {
  CursorLineReader reader;
  auto lines = std::get<std::vector<std::string>>(reader.consume("a\n\nb\r\nc"));
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b\r"}));
  EXPECT_EQ(reader.pending(), "c");
  lines = std::get<std::vector<std::string>>(reader.consume("d\n"));
  EXPECT_EQ(lines, (std::vector<std::string>{"cd"}));
}

TEST(OverlayLineReader, OverlongLineFailsTheWholeChunk) {
  CursorLineReader reader;
  std::string exact(1024, 'x');
  EXPECT_EQ(std::get<std::vector<std::string>>(reader.consume(exact + "\n")).size(), 1u);
  auto result = reader.consume("ok\n" + exact + "y");
  ASSERT_TRUE(std::holds_alternative<CommandError>(result));
  EXPECT_EQ(std::get<CommandError>(result), CommandError::oversized);
}

TEST(OverlayLineReader, ReadsAtMost2048BytesAndReportsTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string big(5000, 'z');
  ASSERT_EQ(write(fds[1], big.data(), big.size()), 5000);
  close(fds[1]);
  EXPECT_EQ(readCursorInputChunk(fds[0]).bytes.size(), 2048u);
  EXPECT_EQ(readCursorInputChunk(fds[0]).bytes.size(), 2048u);
  EXPECT_EQ(readCursorInputChunk(fds[0]).bytes.size(), 904u);
  EXPECT_EQ(readCursorInputChunk(fds[0]).kind, InputChunk::Kind::end);
  close(fds[0]);
  auto failed = readCursorInputChunk(fds[0]);
  EXPECT_EQ(failed.kind, InputChunk::Kind::error);
  EXPECT_EQ(failed.error, EBADF);
}

TEST(OverlayProtocol, StopEventBytes) {
  EXPECT_EQ(stopEventLine(42), "{\"type\":\"stop\",\"id\":42}\n");
  EXPECT_EQ(stopEventLine(2147483647), "{\"type\":\"stop\",\"id\":2147483647}\n");
}
