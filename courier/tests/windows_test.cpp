// Hit-testing over hand-made window lists.
#include "courier/windows.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "shared/process_start.hpp"

using quorl::Point;
using quorl::Rect;
using quorl::courier::isDecoration;
using quorl::courier::ownerAt;
using quorl::courier::pressable;
using quorl::courier::WindowInfo;

namespace {

WindowInfo win(int64_t id, int32_t pid, Rect bounds, int64_t layer = 0, double alpha = 1.0) {
  return WindowInfo{id, pid, layer, alpha, bounds};
}

}  // namespace

TEST(Pressable, FollowsLayerAlphaAndSize) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    WindowInfo w;
    bool pressable;
  };
  const Rect normal{0, 0, 300, 200};
  const std::vector<Case> cases = {
      {"normal window", win(1, 1, normal), true},
      {"alpha 0", win(1, 1, normal, 0, 0.0), false},
      {"alpha NaN", win(1, 1, normal, 0, nan), false},
      {"alpha negative", win(1, 1, normal, 0, -0.5), false},
      {"alpha tiny", win(1, 1, normal, 0, 0.01), true},
      {"layer 3 (above)", win(1, 1, normal, 3), true},
      {"layer 17", win(1, 1, normal, 17), true},
      {"layer 18", win(1, 1, normal, 18), false},
      {"layer 20 (dock)", win(1, 1, normal, 20), false},
      {"layer 25 (tooltip)", win(1, 1, normal, 25), false},
      {"layer 26", win(1, 1, normal, 26), true},
      {"layer 101 (pop-up)", win(1, 1, normal, 101), true},
      {"layer 999", win(1, 1, normal, 999), true},
      {"layer 1000 (screen saver)", win(1, 1, normal, 1000), false},
      {"layer -1", win(1, 1, normal, -1), false},
      {"desktop layer", win(1, 1, normal, -2147483623), false},
      {"4 wide", win(1, 1, {0, 0, 4, 300}), false},
      {"4.5 wide", win(1, 1, {0, 0, 4.5, 300}), true},
      {"4 high", win(1, 1, {0, 0, 300, 4}), false},
      {"4.5 high", win(1, 1, {0, 0, 300, 4.5}), true},
      {"empty", win(1, 1, {0, 0, 0, 0}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(pressable(c.w), c.pressable) << c.what;
}

TEST(OwnerAt, TakesTheFrontmostPressableWindowContainingThePoint) {
  // Front to back: a dock strip, a small window, an invisible window, a big window.
  const std::vector<WindowInfo> windows = {
      win(10, 100, {0, 0, 1280, 30}, 20),
      win(11, 101, {100, 100, 200, 100}),
      win(12, 102, {0, 0, 1280, 800}, 0, 0.0),
      win(13, 103, {50, 50, 600, 400}),
      win(14, -1, {700, 50, 100, 100}),  // a window whose client is unknown still covers
  };
  struct Case {
    Point p;
    int64_t owner;  // 0: none
  };
  const std::vector<Case> cases = {
      {{150, 150}, 11},  // inside the small window
      {{100, 100}, 11},  // its top left corner is inside
      {{300, 150}, 13},  // its right edge is outside: the window below owns it
      {{150, 200}, 13},  // its bottom edge likewise
      {{299.5, 199.5}, 11},
      {{10, 10}, 0},     // only the dock (not pressable) and the invisible window
      {{60, 60}, 13},
      {{650, 450}, 0},   // right/bottom edge of the big window, nothing else below
      {{750, 100}, 14},
      {{-1, -1}, 0},
  };
  for (const auto& c : cases) {
    auto owner = ownerAt(c.p, windows);
    if (c.owner == 0) {
      EXPECT_FALSE(owner) << c.p.x << "," << c.p.y << " owned by " << (owner ? owner->id : 0);
    } else {
      ASSERT_TRUE(owner) << c.p.x << "," << c.p.y;
      EXPECT_EQ(owner->id, c.owner) << c.p.x << "," << c.p.y;
    }
  }
  EXPECT_FALSE(ownerAt({10, 10}, {}));
}

TEST(IsDecoration, UnknownAndOrdinaryProcessesAreNotTheOverlay) {
  EXPECT_FALSE(isDecoration(-1));
  EXPECT_FALSE(isDecoration(0));
  EXPECT_FALSE(isDecoration(getpid()));
  EXPECT_FALSE(isDecoration(1));
  EXPECT_FALSE(isDecoration(std::numeric_limits<pid_t>::max()));
}

// A process running an executable named agent-overlay beside this test binary is the
// overlay: its windows are skipped, and what lies under them owns the point.
TEST(IsDecoration, OverlayWindowsAreSkippedByOwnerAt) {
  namespace fs = std::filesystem;
  auto self = quorl::executablePath(getpid());
  ASSERT_TRUE(self);
  const fs::path overlay = fs::path(*self).parent_path() / "agent-overlay";
  // Put a copy of sleep there (atomically, as other test processes may do the same at
  // once).  It stays: removing it could pull it from under a concurrent test's process.
  if (!fs::exists(overlay)) {
    const fs::path tmp = overlay.string() + ".tmp." + std::to_string(getpid());
    fs::copy_file("/bin/sleep", tmp, fs::copy_options::overwrite_existing);
    fs::rename(tmp, overlay);
  }
  ASSERT_TRUE(quorl::decorationPath());
  ASSERT_EQ(*quorl::decorationPath(), quorl::canonicalPath(overlay.string()));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(overlay.c_str(), "agent-overlay", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the child has exec'd (its executable is the overlay's).
  bool execd = false;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < until && !execd;) {
    auto path = quorl::executablePath(child);
    execd = path && *path == *quorl::decorationPath();
    if (!execd) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(execd);
  EXPECT_TRUE(isDecoration(child));

  const std::vector<WindowInfo> windows = {
      win(1, child, {0, 0, 500, 500}),       // overlay panel over everything
      win(2, getpid(), {400, 400, 50, 50}),  // our own window is never transparent
      win(3, 4242, {100, 100, 300, 300}),    // the target
  };
  auto owner = ownerAt({150, 150}, windows);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->id, 3);
  owner = ownerAt({420, 420}, windows);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->id, 2);
  EXPECT_FALSE(ownerAt({10, 10}, windows));  // only the overlay there

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}
