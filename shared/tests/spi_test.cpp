// The entry point table's ordering and absence rules, and the loader without a display.
#include "shared/spi.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

namespace detail = quorl::SPI::detail;

TEST(SpiMissing, ListsAbsentRequiredEntriesInFixedOrder) {
  using V = std::vector<std::string>;
  struct Case {
    bool front, keyFocus, pid;
    V missing;
  };
  const std::vector<Case> cases = {
      {true, true, true, {}},
      {false, false, false, {"_SLPSGetFrontProcess", "SLPSGetKeyFocusProcess", "GetProcessPID"}},
      {true, true, false, {"GetProcessPID"}},
      {false, true, true, {"_SLPSGetFrontProcess"}},
      {true, false, true, {"SLPSGetKeyFocusProcess"}},
      {false, true, false, {"_SLPSGetFrontProcess", "GetProcessPID"}},
  };
  for (const auto& c : cases) {
    detail::Table t;
    t.getFront = c.front;
    t.getKeyFocus = c.keyFocus;
    t.pidForPSN = c.pid;
    // The optional entries never show up.
    t.skyPost = t.setField = t.setWindowLocation = t.windowNumber = false;
    EXPECT_EQ(detail::missingOf(t), c.missing);
  }
}

TEST(SpiPidQuery, AnswersOnlyWhenEverythingAnswers) {
  struct Case {
    const char* what;
    bool queryPresent, pidPresent;
    std::optional<uint32_t> window;
    std::optional<int32_t> pid;
    pid_t expected;
    bool pidAsked;
  };
  const std::vector<Case> cases = {
      {"all answer", true, true, 0x400001, 4321, 4321, true},
      {"only the pid lookup missing", true, false, 0x400001, 4321, -1, false},
      {"window query missing", false, true, 0x400001, 4321, -1, false},
      {"no front window", true, true, std::nullopt, 4321, -1, false},
      {"window without a known pid", true, true, 0x400001, std::nullopt, -1, true},
      {"a zero pid is not a pid", true, true, 0x400001, 0, -1, true},
  };
  for (const auto& c : cases) {
    bool windowAsked = false, pidAsked = false;
    pid_t got = detail::pidVia(
        c.queryPresent, c.pidPresent,
        [&] {
          windowAsked = true;
          return c.window;
        },
        [&](uint32_t w) {
          pidAsked = true;
          EXPECT_EQ(w, *c.window) << c.what;
          return c.pid;
        });
    EXPECT_EQ(got, c.expected) << c.what;
    EXPECT_EQ(pidAsked, c.pidAsked) << c.what;
    if (!c.queryPresent || !c.pidPresent) {
      EXPECT_FALSE(windowAsked) << c.what;
    }
  }
}

// Resolution happens once per process; this binary touches the display nowhere else.
TEST(SpiWithoutDisplay, EverythingAbsent) {
  unsetenv("DISPLAY");
  EXPECT_EQ(quorl::SPI::missing(),
            (std::vector<std::string>{"_SLPSGetFrontProcess", "SLPSGetKeyFocusProcess", "GetProcessPID"}));
  EXPECT_EQ(quorl::SPI::frontPid(), -1);
  EXPECT_EQ(quorl::SPI::keyFocusPid(), -1);
  EXPECT_FALSE(quorl::SPI::hasSkyPost());
  EXPECT_FALSE(quorl::SPI::hasSetField());
  EXPECT_FALSE(quorl::SPI::hasSetWindowLocation());
  EXPECT_FALSE(quorl::SPI::hasWindowNumber());
  EXPECT_FALSE(quorl::SPI::hasMainConnection());
  EXPECT_FALSE(quorl::SPI::hasSpaces());
}
