#include "common/json_fields.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace f = quorl::fields;
using nlohmann::json;

TEST(Fields, ParseContainerAcceptsOnlyObjectsAndArrays) {
  EXPECT_TRUE(f::parseContainer("{}").has_value());
  EXPECT_TRUE(f::parseContainer("[]").has_value());
  EXPECT_TRUE(f::parseContainer(R"({"op":"begin"})").has_value());
  for (const char* bad : {"5", "\"x\"", "true", "null", "", "{", "{} {}", "{\"a\":1,}"})
    EXPECT_FALSE(f::parseContainer(bad).has_value()) << bad;
}

TEST(Fields, IntegerReader) {
  struct Case {
    const char* text;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {R"({"v":3})", 3},
      {R"({"v":3.9})", 3},
      {R"({"v":-3.9})", -3},
      {R"({"v":true})", std::nullopt},
      {R"({"v":"3"})", std::nullopt},
      {R"({"v":null})", std::nullopt},
      {R"({"v":1e30})", std::numeric_limits<int64_t>::max()},
      {R"({"v":-1e30})", std::numeric_limits<int64_t>::min()},
      {R"({"v":18446744073709551615})", std::numeric_limits<int64_t>::max()},
      {R"({})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(f::integer(json::parse(c.text), "v"), c.expected) << c.text;
}

TEST(Fields, PointReader) {
  EXPECT_EQ(f::point(json::parse(R"({"x":1.5,"y":-2})"), "x", "y"), (f::Point{1.5, -2}));
  EXPECT_EQ(f::point(json::parse(R"({"x":true,"y":false})"), "x", "y"), (f::Point{1, 0}));
  EXPECT_FALSE(f::point(json::parse(R"({"x":1})"), "x", "y"));
  EXPECT_FALSE(f::point(json::parse(R"({"x":"1","y":2})"), "x", "y"));
  EXPECT_FALSE(f::point(json{{"x", std::numeric_limits<double>::infinity()}, {"y", 2}}, "x", "y"));
}

TEST(Fields, StringObjectAndArrayReaders) {
  auto v = json::parse(R"({"s":"a","o":{"k":1},"a":["x","y"],"mixed":["x",1],"n":5,"b":false})");
  EXPECT_EQ(f::string(v, "s"), "a");
  EXPECT_FALSE(f::string(v, "n"));
  EXPECT_TRUE(f::object(v, "o"));
  EXPECT_FALSE(f::object(v, "a"));
  EXPECT_EQ(f::stringArray(v, "a"), (std::vector<std::string>{"x", "y"}));
  EXPECT_FALSE(f::stringArray(v, "mixed"));
  EXPECT_EQ(f::boolean(v, "b"), false);
  EXPECT_FALSE(f::boolean(v, "n"));
  EXPECT_EQ(f::number(v, "n"), 5.0);
  EXPECT_FALSE(f::number(v, "b"));
}
