#include "shared/process_start.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace quorl;

TEST(ProcessStart, OwnTokenHasTheWireForm) {
  auto token = processStart(getpid());
  ASSERT_TRUE(token.has_value());
  EXPECT_TRUE(std::regex_match(*token, std::regex("[1-9][0-9]*:(0|[1-9][0-9]{0,5})"))) << *token;
  EXPECT_EQ(processStart(getpid()), token);  // stable
}

TEST(ProcessStart, DeadPidIsAbsent) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(processStart(child).has_value());
  EXPECT_FALSE(processStart(0).has_value());
  EXPECT_FALSE(processStart(-5).has_value());
  EXPECT_FALSE(executablePath(child).has_value());
}

TEST(ProcessStart, FormatsWithoutLeadingZeros) {
  EXPECT_EQ(formatStartToken(1700000000000005), "1700000000:5");
  EXPECT_EQ(formatStartToken(1700000000000000), "1700000000:0");
  EXPECT_EQ(formatStartToken(1700000000999999), "1700000000:999999");
}

TEST(ProcessStart, ParsesStatLines) {
  struct Case {
    std::string stat;
    std::optional<uint64_t> ticks;
  };
  std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 424242 20 21\n";
  const Case cases[] = {
      {"123 (bash)" + tail, 424242},
      {"123 (a) b (c))" + tail, 424242},  // a command name with spaces and parentheses
      {"123 (x y" + tail, std::nullopt},  // no closing parenthesis... the one in tail is absent
      {"123 (short) S 1 2", std::nullopt},
      {"123 (bad) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 4x2 20", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(procfs::startTicksFromStat(c.stat), c.ticks) << c.stat;
  EXPECT_EQ(procfs::bootTimeFromProcStat("cpu 1 2\nbtime 1765400000\nprocesses 5\n"), 1765400000);
  EXPECT_FALSE(procfs::bootTimeFromProcStat("cpu 1\nbtime x\n"));
  EXPECT_FALSE(procfs::bootTimeFromProcStat("cpu 1\n"));
}

TEST(ExecutablePath, ResolvesSymbolicLinks) {
  auto own = executablePath(getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(*own, std::filesystem::canonical("/proc/self/exe").string());

  auto dir = std::filesystem::temp_directory_path() / ("quorl-exe-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto link = dir / "sleeper";
  std::filesystem::create_symlink("/bin/sleep", link);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(link.c_str(), "sleeper", "5", nullptr);
    _exit(127);
  }
  // The exec has happened once /proc shows the new image.
  std::optional<std::string> path;
  for (int i = 0; i < 500; ++i) {
    path = executablePath(child);
    if (path && *path != *own) break;
    usleep(2000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, std::filesystem::canonical("/bin/sleep").string());
}

TEST(CanonicalPath, KeepsAPathThatCannotBeResolved) {
  EXPECT_EQ(canonicalPath("/no/such/place/x"), "/no/such/place/x");
  EXPECT_EQ(canonicalPath("/usr/../usr/bin"), "/usr/bin");
}

TEST(DecorationPath, IsTheOverlayBesideThisExecutable) {
  auto own = std::filesystem::canonical("/proc/self/exe");
  ASSERT_TRUE(decorationPath().has_value());
  EXPECT_EQ(*decorationPath(), (own.parent_path() / "agent-overlay").string());
}
