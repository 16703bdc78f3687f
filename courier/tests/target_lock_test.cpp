// The target ownership lock on real lock files with real flock locks.  Two
// TargetLocks in one process exclude each other as two processes would (flock
// locks belong to the open file description).
#include "courier/target_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "courier/tests/server_fixture.hpp"
#include "shared/process_start.hpp"

namespace quorl::courier::testing {
namespace {

class CourierTargetLock : public ::testing::Test {
 protected:
  void SetUp() override {
    base = makeTempDir();
    dir = base + "/quorl-input-courier";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
  }
  // Starts of the fake world: the target 4242 runs with kStart; other pids ask /proc.
  TargetLock::StartOf startOf = [](pid_t pid) -> std::optional<std::string> {
    if (pid == 4242) return std::string("1700000000:123456");
    return quorl::processStart(pid);
  };
  TargetLock::Acquired acquire(const std::string& session = "s1") {
    return TargetLock::acquire(dir, 4242, "1700000000:123456", session, startOf);
  }
  std::string file() const { return TargetLock::path(dir, 4242, "1700000000:123456"); }
  std::string contents(const std::string& path) const {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0700);
    std::ofstream(path) << text;
  }
  // A pid that ran once and no longer does.
  static pid_t deadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
  }

  std::string base, dir;
};

TEST_F(CourierTargetLock, PathNamesPidAndStartToken) {
  EXPECT_EQ(TargetLock::path("/d", 501, "17:42"), "/d/target-501-17-42.lock");
  EXPECT_TRUE(TargetLock::directory().ends_with("/quorl-input-courier"));
}

TEST_F(CourierTargetLock, OwnershipIsExclusiveAndACleanReleaseLeavesAnEmptyFile) {
  auto first = acquire();
  auto* held = std::get_if<TargetLock::Held>(&first);
  ASSERT_TRUE(held);
  EXPECT_FALSE(held->reclaimed);
  struct stat st {};
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(lstat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Json record = Json::parse(contents(file()));
  EXPECT_EQ(record["helper_pid"], getpid());
  EXPECT_EQ(record["helper_start"], *quorl::processStart(getpid()));
  EXPECT_EQ(record["session"], "s1");
  EXPECT_EQ(record["target_pid"], 4242);
  EXPECT_EQ(record["target_start"], "1700000000:123456");
  EXPECT_EQ(record["pressed"], false);
  EXPECT_TRUE(record["since"].is_number());
  EXPECT_FALSE(record.contains("held"));
  EXPECT_NE(contents(file()).back(), '\n');

  auto second = acquire("s2");
  auto* busy = std::get_if<TargetLock::Busy>(&second);
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->record["helper_pid"], getpid());
  EXPECT_FALSE(busy->record.contains("unverified"));

  held->lock->release();
  held->lock->release();  // once only
  EXPECT_EQ(contents(file()), "");
  auto third = acquire("s3");
  auto* again = std::get_if<TargetLock::Held>(&third);
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->reclaimed);
}

TEST_F(CourierTargetLock, UpdateMirrorsHeldInputUntilRelease) {
  auto acquired = acquire();
  auto& lock = *std::get<TargetLock::Held>(acquired).lock;
  Json held = {{"keys", 0}, {"modifiers", Json::array()}, {"button", "left"}};
  lock.update(held);
  Json record = Json::parse(contents(file()));
  EXPECT_EQ(record["pressed"], true);
  EXPECT_EQ(record["held"], held);
  lock.update(std::nullopt);
  record = Json::parse(contents(file()));
  EXPECT_EQ(record["pressed"], false);
  EXPECT_FALSE(record.contains("held"));
  lock.release();
  lock.update(held);  // after release: nothing
  EXPECT_EQ(contents(file()), "");
}

struct ReclaimCase {
  const char* name;
  std::function<std::string(pid_t dead)> content;
  std::optional<Json> reclaimed;  // with "holder_pid" -1 standing for the dead pid
};

TEST_F(CourierTargetLock, ADeadOwnersRecordIsReclaimed) {
  const pid_t dead = deadPid();
  const std::vector<ReclaimCase> cases = {
      {"garbage", [](pid_t) { return std::string("\x01garbage{"); }, Json{{"holder_pid", 0}, {"pressed", true}}},
      {"not an object", [](pid_t) { return std::string("[1,2]"); }, Json{{"holder_pid", 0}, {"pressed", true}}},
      {"empty object", [](pid_t) { return std::string("{}"); }, std::nullopt},
      {"empty file", [](pid_t) { return std::string(); }, std::nullopt},
      {"dead owner holding shift",
       [](pid_t d) {
         return Json{{"helper_pid", d},
                     {"helper_start", "1:2"},
                     {"pressed", true},
                     {"held", {{"keys", 1}, {"modifiers", {"shift"}}}}}
             .dump();
       },
       Json{{"holder_pid", -1}, {"pressed", true}, {"held", {{"keys", 1}, {"modifiers", {"shift"}}}}}},
      {"dead owner, nothing held",
       [](pid_t d) { return Json{{"helper_pid", d}, {"helper_start", "1:2"}, {"pressed", false}}.dump(); },
       Json{{"holder_pid", -1}, {"pressed", false}}},
      {"fields of the wrong type", [](pid_t) { return Json{{"helper_pid", "7"}, {"pressed", "no"}}.dump(); },
       Json{{"holder_pid", 0}, {"pressed", true}}},
  };
  for (const auto& c : cases) {
    writeFile(file(), c.content(dead));
    auto acquired = acquire();
    auto* held = std::get_if<TargetLock::Held>(&acquired);
    ASSERT_TRUE(held) << c.name;
    std::optional<Json> want = c.reclaimed;
    if (want && (*want)["holder_pid"] == -1) (*want)["holder_pid"] = dead;
    EXPECT_EQ(held->reclaimed, want) << c.name;
    held->lock->release();
  }
}

TEST_F(CourierTargetLock, AnUnlockedRecordOfARunningOwnerIsBusyUnverified) {
  writeFile(file(), Json{{"helper_pid", getpid()}, {"helper_start", *quorl::processStart(getpid())}}.dump());
  auto acquired = acquire();
  auto* busy = std::get_if<TargetLock::Busy>(&acquired);
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->record["helper_pid"], getpid());
  EXPECT_EQ(busy->record["unverified"], true);
  // The file was left unlocked.
  int fd = open(file().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}

TEST_F(CourierTargetLock, AnUnusableDirectoryFails) {
  auto failed = [&] { return std::holds_alternative<TargetLock::Failed>(acquire()); };
  std::filesystem::create_directories(dir);
  chmod(dir.c_str(), 0770);
  EXPECT_TRUE(failed()) << "group-writable";
  chmod(dir.c_str(), 0702);
  EXPECT_TRUE(failed()) << "world-writable";
  std::filesystem::remove(dir);
  std::filesystem::create_directories(base + "/elsewhere");
  chmod((base + "/elsewhere").c_str(), 0700);
  std::filesystem::create_directory_symlink(base + "/elsewhere", dir);
  EXPECT_TRUE(failed()) << "symbolic link";
  std::filesystem::remove(dir);
  std::ofstream(dir) << "x";
  EXPECT_TRUE(failed()) << "a file";
  EXPECT_TRUE(std::holds_alternative<TargetLock::Failed>(
      TargetLock::acquire(base + "/no/such/parent", 4242, "1:1", "s", startOf)))
      << "cannot be created";
}

TEST_F(CourierTargetLock, SweepRemovesOnlyUnlockedFilesOfGoneTargets) {
  const pid_t dead = deadPid();
  const std::string gone = TargetLock::path(dir, dead, "1:1");
  const std::string goneLocked = TargetLock::path(dir, dead, "1:2");
  const std::string alive = TargetLock::path(dir, getpid(), *quorl::processStart(getpid()));
  const std::string other = dir + "/target-notes.lock";
  for (const auto& path : {gone, goneLocked, alive, other}) writeFile(path, "{}");
  int locker = open(goneLocked.c_str(), O_RDWR);
  ASSERT_EQ(flock(locker, LOCK_EX | LOCK_NB), 0);

  auto acquired = acquire();
  ASSERT_TRUE(std::holds_alternative<TargetLock::Held>(acquired));
  EXPECT_FALSE(std::filesystem::exists(gone));
  EXPECT_TRUE(std::filesystem::exists(goneLocked));
  EXPECT_TRUE(std::filesystem::exists(alive));
  EXPECT_TRUE(std::filesystem::exists(other));
  close(locker);
}

}  // namespace
}  // namespace quorl::courier::testing
