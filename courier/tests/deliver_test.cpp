#include "courier/deliver.hpp"

#include <gtest/gtest.h>

#include "courier/tests/recording_sink.hpp"
#include "courier/x11_sink.hpp"

namespace quorl::courier {
namespace {

using testing::RecordingSink;
using Fields = std::vector<std::pair<uint32_t, int64_t>>;

int64_t field(const SynthEvent& e, uint32_t number) {
  for (auto [n, v] : e.fields) {
    if (n == number) return v;
  }
  ADD_FAILURE() << "no field " << number;
  return -1;
}

class DeliverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<RecordingSink>();
    Deliver::setSink(sink_);
  }
  std::shared_ptr<RecordingSink> sink_;
};

TEST(Button, NamesNumbersAndTypes) {
  EXPECT_EQ(buttonFromString("left"), Button::left);
  EXPECT_EQ(buttonFromString("right"), Button::right);
  EXPECT_EQ(buttonFromString("Left"), std::nullopt);
  EXPECT_EQ(buttonFromString("middle"), std::nullopt);
  EXPECT_STREQ(toString(Button::right), "right");
  EXPECT_EQ(buttonNumber(Button::left), 0);
  EXPECT_EQ(buttonNumber(Button::right), 1);
  EXPECT_EQ(downType(Button::left), 1);
  EXPECT_EQ(upType(Button::left), 2);
  EXPECT_EQ(draggedType(Button::left), 6);
  EXPECT_EQ(downType(Button::right), 3);
  EXPECT_EQ(upType(Button::right), 4);
  EXPECT_EQ(draggedType(Button::right), 7);
}

TEST_F(DeliverTest, MouseEventsCarryTheirFieldsInOrder) {
  Deliver::noteWindows({{.id = 77, .pid = 5, .bounds = {100, 50, 400, 300}}});
  ASSERT_TRUE(Deliver::mouse(4242, kMouseMoved, Button::right, {150.5, 80}, 77, 0));
  ASSERT_TRUE(Deliver::mouse(4242, 3, Button::right, {150.5, 80}, 77, 1));
  auto posted = sink_->posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].pid, 4242);
  const SynthEvent& move = posted[0].event;
  EXPECT_EQ(move.kind, SynthEvent::Kind::mouse);
  EXPECT_EQ(move.type, 5);
  EXPECT_EQ(move.button, 1);
  EXPECT_EQ(move.at, (Point{150.5, 80}));
  ASSERT_TRUE(move.windowLocation);
  EXPECT_EQ(*move.windowLocation, (Point{50.5, 30}));
  int64_t group = field(move, 58);
  EXPECT_EQ(move.fields, (Fields{{0, 2}, {1, 0}, {3, 1}, {7, 3}, {40, 4242}, {51, 77}, {58, group}, {91, 77}, {92, 77}}));
  const SynthEvent& down = posted[1].event;
  EXPECT_EQ(down.fields[0], (std::pair<uint32_t, int64_t>{0, 3}));
  EXPECT_EQ(down.fields[1], (std::pair<uint32_t, int64_t>{1, 1}));
  EXPECT_EQ(down.clicks, 1);
  EXPECT_GE(field(down, 58), 0);
  EXPECT_LT(field(down, 58), 1000000000);
}

TEST_F(DeliverTest, GroupIsSharedByAPressAndRenewedByTheNext) {
  Button b = Button::left;
  Deliver::mouse(1, kMouseMoved, b, {}, 9, 0);
  Deliver::mouse(1, downType(b), b, {}, 9, 1);
  Deliver::mouse(1, draggedType(b), b, {}, 9, 1);
  Deliver::mouse(1, upType(b), b, {}, 9, 1);
  Deliver::mouse(1, downType(b), b, {}, 9, 2);
  Deliver::mouse(1, upType(b), b, {}, 9, 2);
  auto posted = sink_->posted();
  ASSERT_EQ(posted.size(), 6u);
  std::vector<int64_t> g;
  for (const auto& p : posted) g.push_back(field(p.event, 58));
  EXPECT_NE(g[0], g[1]);  // a move and a press each start a group
  EXPECT_EQ(g[1], g[2]);  // dragged and up reuse the press's group
  EXPECT_EQ(g[1], g[3]);
  EXPECT_NE(g[3], g[4]);  // the second press of a double click has its own
  EXPECT_EQ(g[4], g[5]);
  // Click states pass through unchanged; only moves carry event number 2.
  EXPECT_EQ(posted[4].event.clicks, 2);
  EXPECT_EQ(field(posted[4].event, 1), 2);
  EXPECT_EQ(field(posted[2].event, 0), 3);
}

TEST_F(DeliverTest, WheelEventsCarryOnlyWindowFields) {
  Deliver::noteWindows({{.id = 12, .bounds = {10, 20, 100, 100}}});
  ASSERT_TRUE(Deliver::wheel(300, {30, 60}, 12, true, -40, 3));
  auto posted = sink_->posted();
  ASSERT_EQ(posted.size(), 1u);
  const SynthEvent& e = posted[0].event;
  EXPECT_EQ(e.kind, SynthEvent::Kind::wheel);
  EXPECT_TRUE(e.pixel);
  EXPECT_EQ(e.dy, -40);
  EXPECT_EQ(e.dx, 3);
  EXPECT_EQ(e.fields, (Fields{{40, 300}, {51, 12}, {91, 12}, {92, 12}}));
  EXPECT_EQ(*e.windowLocation, (Point{20, 40}));
}

TEST_F(DeliverTest, KeyEventsCarryFlagsAndTextButNoFields) {
  ASSERT_TRUE(Deliver::key(8, 56, true, 0x120000, std::nullopt));
  ASSERT_TRUE(Deliver::key(8, 0, false, 0, u"\U0001F600"));
  auto posted = sink_->posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].event.kind, SynthEvent::Kind::key);
  EXPECT_EQ(posted[0].event.code, 56);
  EXPECT_TRUE(posted[0].event.down);
  EXPECT_EQ(posted[0].event.flags, 0x120000u);
  EXPECT_FALSE(posted[0].event.unicode);
  EXPECT_TRUE(posted[0].event.fields.empty());
  EXPECT_FALSE(posted[0].event.windowLocation);
  EXPECT_FALSE(posted[1].event.down);
  EXPECT_EQ(*posted[1].event.unicode, u"\U0001F600");
}

TEST_F(DeliverTest, WindowPointUsesTheLatestOrigin) {
  Deliver::noteWindows({{.id = 501, .bounds = {10, 10, 5, 5}}, {.id = 502, .bounds = {-20, 30, 5, 5}}});
  EXPECT_EQ(Deliver::windowPoint({15, 15}, 501), (Point{5, 5}));
  EXPECT_EQ(Deliver::windowPoint({0, 0}, 502), (Point{20, -30}));
  Deliver::noteWindows({{.id = 501, .bounds = {100, 0, 5, 5}}});
  EXPECT_EQ(Deliver::windowPoint({15, 15}, 501), (Point{-85, 15}));
  // A window that is known nowhere: the point comes back unchanged.
  EXPECT_EQ(Deliver::windowPoint({15.25, 7}, 0x7ffffff0), (Point{15.25, 7}));
}

TEST_F(DeliverTest, WithoutEntryPointsNoFieldsOrWindowLocation) {
  auto bare = std::make_shared<RecordingSink>("cg", false, false);
  Deliver::setSink(bare);
  EXPECT_EQ(Deliver::route(), "cg");
  Deliver::mouse(1, kMouseMoved, Button::left, {1, 2}, 3, 0);
  Deliver::mouse(1, 1, Button::left, {1, 2}, 3, 1);
  Deliver::mouse(1, 2, Button::left, {1, 2}, 3, 1);
  Deliver::wheel(1, {1, 2}, 3, false, 1, 0);
  auto posted = bare->posted();
  ASSERT_EQ(posted.size(), 4u);
  for (const auto& p : posted) {
    EXPECT_TRUE(p.event.fields.empty());
    EXPECT_FALSE(p.event.windowLocation);
  }
  EXPECT_EQ(posted[1].event.type, 1);
  EXPECT_EQ(posted[1].event.clicks, 1);
}

TEST(X11Sink, WithoutADisplayRouteIsCgAndPostingIsHarmless) {
  auto sink = makeX11Sink(":987");  // no server there
  EXPECT_EQ(sink->route(), "cg");
  EXPECT_FALSE(sink->stampsFields());
  Deliver::setSink(sink);
  EXPECT_EQ(Deliver::route(), "cg");
  EXPECT_TRUE(Deliver::mouse(1, 1, Button::left, {5, 5}, 1, 1));
  EXPECT_TRUE(Deliver::key(1, 0, true, 0, u"x"));
  EXPECT_TRUE(Deliver::wheel(1, {5, 5}, 1, false, 3, 0));
}

TEST(WheelScaler, LinesAreClicksAndPixelsCarryTheirRemainder) {
  WheelScaler s;
  EXPECT_EQ(s.convert(1, false, 3, -2).vertical, 3);
  EXPECT_EQ(s.convert(1, false, 3, -2).horizontal, -2);
  // -100 px in chunks of -40, -40, -20: two clicks, 20 px carried.
  EXPECT_EQ(s.convert(1, true, -40, 0).vertical, -1);
  EXPECT_EQ(s.convert(1, true, -40, 0).vertical, -1);
  EXPECT_EQ(s.convert(1, true, -20, 0).vertical, 0);
  EXPECT_EQ(s.convert(1, true, -20, 0).vertical, -1);  // the carried 20 px complete a click
  EXPECT_EQ(s.convert(1, true, -30, 0).vertical, 0);
  EXPECT_EQ(s.convert(1, true, 30, 0).vertical, 0);  // a change of direction drops the remainder
  EXPECT_EQ(s.convert(1, true, 10, 0).vertical, 1);
  EXPECT_EQ(s.convert(1, true, 39, 0).vertical, 0);
  EXPECT_EQ(s.convert(2, true, 1, 0).vertical, 0);  // another window starts afresh
  EXPECT_EQ(s.convert(2, true, 0, 120).horizontal, 3);
}

TEST(X11Sink, ButtonsMapToXButtons) {
  EXPECT_EQ(xButtonFor(0), 1);
  EXPECT_EQ(xButtonFor(1), 3);
}

}  // namespace
}  // namespace quorl::courier
