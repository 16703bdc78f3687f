#include "common/out.hpp"
#include "common/event_json.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

using nlohmann::json;
using quorl::writeEventJson;

TEST(EventJson, WritesTheWireForm) {
  struct Case {
    json value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {json{{"b", 1}, {"a", 2}, {"_x", 3}}, R"({"_x":3,"a":2,"b":1})"},
      {json{{"path", "/opt/x/agent-overlay"}}, R"({"path":"\/opt\/x\/agent-overlay"})"},
      {json{{"ms", 90000.0}, {"neg", -2.0}, {"frac", 12.5}, {"zero", -0.0}},
       R"({"frac":12.5,"ms":90000,"neg":-2,"zero":0})"},
      {json{{"s", "q\"\\\n\t\x01"}}, R"({"s":"q\"\\\n\t\u0001"})"},
      {json{{"u", "é😀"}}, "{\"u\":\"é😀\"}"},
      {json{{"a", json::array({"x", "y"})}, {"o", json{{"z", true}, {"m", false}}}, {"n", nullptr}},
       R"({"a":["x","y"],"n":null,"o":{"m":false,"z":true}})"},
      {json{{"big", int64_t{-9007199254740993}}}, R"({"big":-9007199254740993})"},
      {json{{"tenth", 0.1}}, R"({"tenth":0.1})"},
  };
  for (const auto& c : cases) {
    auto text = writeEventJson(c.value);
    ASSERT_TRUE(text.has_value()) << c.text;
    EXPECT_EQ(*text, c.text);
  }
}

TEST(EventJson, RefusesWhatCannotBeWritten) {
  EXPECT_FALSE(writeEventJson(json{{"x", std::nan("")}}).has_value());
  EXPECT_FALSE(writeEventJson(json{{"x", std::string("\xff")}}).has_value());
}

TEST(Clock, RoundsHalvesAwayFromZero) {
  EXPECT_DOUBLE_EQ(quorl::r1(1.25), 1.3);
  EXPECT_DOUBLE_EQ(quorl::r1(-1.25), -1.3);
  EXPECT_DOUBLE_EQ(quorl::r1(1.24), 1.2);
  EXPECT_DOUBLE_EQ(quorl::r1(7.0), 7.0);
}

TEST(Clock, NeverDecreases) {
  double last = quorl::nowMs();
  for (int i = 0; i < 10000; ++i) {
    double now = quorl::nowMs();
    ASSERT_GE(now, last);
    last = now;
  }
}

namespace {
std::string drain(int fd) {
  std::string all;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  return all;
}
}  // namespace

TEST(Out, EmitsWholeStampedLinesFromManyThreads) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string collected;
  std::thread reader([&] { collected = drain(fds[0]); });
  const std::string filler(3000, 'x');  // lines longer than an atomic pipe write
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 200; ++i)
        quorl::Out::emit(json{{"event", "probe"}, {"w", w}, {"i", i}, {"fill", filler}, {"t", "old"}}, fds[1]);
    });
  }
  for (auto& t : writers) t.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);

  size_t lines = 0;
  double lastT = -1;
  size_t pos = 0;
  while (pos < collected.size()) {
    size_t nl = collected.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    auto parsed = json::parse(collected.substr(pos, nl - pos));
    ASSERT_EQ(parsed["fill"], filler);
    ASSERT_TRUE(parsed["t"].is_number());
    EXPECT_GE(parsed["t"].get<double>(), lastT);
    lastT = parsed["t"].get<double>();
    ++lines;
    pos = nl + 1;
  }
  EXPECT_EQ(lines, 800u);
}

TEST(Out, DropsTheEventWhenTheReaderIsGone) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  quorl::Out::emit(json{{"event", "lost"}}, fds[1]);  // must simply return
  close(fds[1]);
  SUCCEED();
}

TEST(EventJson, StampsTInItsSortedPlace) {
  struct Case {
    json value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {json::object(), R"({"t":5})"},
      {json{{"event", "x"}, {"window", 7}}, R"({"event":"x","t":5,"window":7})"},
      {json{{"t", "old"}, {"a", 1}}, R"({"a":1,"t":5})"},
      {json{{"event", "x"}, {"stage", "s"}}, R"({"event":"x","stage":"s","t":5})"},
      {json{{"u", 1}}, R"({"t":5,"u":1})"},
  };
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(quorl::appendStampedEventJson(c.value, 5.0, out));
    EXPECT_EQ(out, c.text);
  }
  std::string out;
  EXPECT_FALSE(quorl::appendStampedEventJson(json::array(), 5.0, out));
}
