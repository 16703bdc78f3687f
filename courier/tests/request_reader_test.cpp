// Framing of request lines.
#include "courier/request_reader.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quorl::courier {
namespace {

using Lines = std::vector<std::optional<std::string>>;

Lines frame(const std::vector<std::string>& chunks) {
  Lines out;
  LineFramer framer([&](std::optional<std::string> line) { out.push_back(std::move(line)); });
  for (const auto& c : chunks) framer.feed(c);
  framer.finish();
  return out;
}

TEST(CourierFraming, LinesAndTheirEnds) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines lines;
  };
  const std::string limit(LineFramer::kLimit, 'a');
  const std::vector<Case> cases = {
      {"crlf and lf", {"one\r\ntwo\n"}, {"one", "two"}},
      {"split across reads", {"o", "ne\r", "\nt", "wo"}, {"one", "two"}},
      {"last line without lf keeps its cr", {"x\r"}, {"x\r"}},
      {"empty lines are lines", {"\n\n"}, {"", ""}},
      {"nothing after the last lf", {"a\n"}, {"a"}},
      {"a cr inside a line stays", {"a\rb\n"}, {"a\rb"}},
      {"invalid utf-8 is repaired", {"a\xff" "b\n"}, {"a\xEF\xBF\xBD" "b"}},
      {"exactly the limit", {limit + "\n"}, {limit}},
      {"the limit and a cr", {limit + "\r\n"}, {limit}},
      {"one byte over", {limit + "b\nnext\n"}, {std::nullopt, "next"}},
      {"far over, in pieces", {limit, limit, "\nnext"}, {std::nullopt, "next"}},
      {"over the limit only after repair", {std::string(LineFramer::kLimit - 1, 'a') + "\xff\n"}, {std::nullopt}},
      {"last line over the limit", {limit + "b"}, {std::nullopt}},
  };
  for (const auto& c : cases) EXPECT_EQ(frame(c.chunks), c.lines) << c.name;
}

}  // namespace
}  // namespace quorl::courier
