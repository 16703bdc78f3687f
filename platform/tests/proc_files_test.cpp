// /proc readers: the parsers on fixed texts, and the readers on this test's own
// process and a child of its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/proc_files.hpp"
#include "shared/process_start.hpp"

namespace quorl::platform::proc {
namespace {

TEST(ProcStat, ParsesFieldsAfterAnAwkwardCommandName) {
  std::string text =
      "4242 (a) b (c)) S 17 4200 17 0 -1 4194304 143 0 0 0 250 31 0 0 20 0 1 0 97971 2990080 408 "
      "18446744073709551615 1 1 0 0 0 0 0 6 0 1 0 0 17 1 0 0 0 0 0\n";
  auto s = parseStat(text);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, 'S');
  EXPECT_EQ(s->ppid, 17);
  EXPECT_EQ(s->pgrp, 4200);
  EXPECT_EQ(s->utimeTicks, 250u);
  EXPECT_EQ(s->stimeTicks, 31u);
  EXPECT_EQ(s->startTicks, 97971u);
  EXPECT_FALSE(parseStat("4242 (a) S 17"));
  EXPECT_FALSE(parseStat("no parenthesis"));
}

TEST(ProcStatus, ResidentIsVmRssFootprintIsAnonPlusSwap) {
  auto m = parseStatus("Name:\tx\nVmRSS:\t    1808 kB\nRssAnon:\t     112 kB\nRssFile:\t 1696 kB\nVmSwap:\t  8 kB\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->residentBytes, 1808u * 1024);
  EXPECT_EQ(m->footprintBytes, (112u + 8u) * 1024);
  // Kernel threads and zombies have no memory lines.
  EXPECT_FALSE(parseStatus("Name:\tkthreadd\nState:\tS (sleeping)\n"));
}

TEST(ProcStatm, ResidentAndAnonymousPages) {
  auto m = parseStatm("2990 452 424 5 0 87 0\n", 4096);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->residentBytes, 452u * 4096);
  EXPECT_EQ(m->footprintBytes, 28u * 4096);
  EXPECT_FALSE(parseStatm("0 0 0 0 0 0 0\n", 4096));
  EXPECT_FALSE(parseStatm("12 x", 4096));

  // Both readers agree on a live process (up to pages touched between the reads).
  auto slow = readMemory(getpid());
  auto fast = readMemoryFast(getpid(), true);
  auto noSwap = readMemoryFast(getpid(), false);
  ASSERT_TRUE(slow && fast && noSwap);
  EXPECT_NEAR(static_cast<double>(fast->residentBytes), static_cast<double>(slow->residentBytes), 256 * 1024.0);
  EXPECT_NEAR(static_cast<double>(fast->footprintBytes), static_cast<double>(slow->footprintBytes), 256 * 1024.0);
  EXPECT_NEAR(static_cast<double>(noSwap->footprintBytes), static_cast<double>(fast->footprintBytes), 256 * 1024.0);
}

TEST(ProcEnvironment, ExactEntriesOnly) {
  using namespace std::string_literals;
  std::string block = "A=1\0QUORL_LAUNCHED=10\0X=QUORL_LAUNCHED=1\0\0B=2\0"s;
  EXPECT_FALSE(environmentHasEntry(block, "QUORL_LAUNCHED=1"));
  EXPECT_TRUE(environmentHasEntry(block, "B=2"));  // an empty entry does not end the block
  EXPECT_EQ(environmentValue(block, "QUORL_LAUNCHED"), "10");
  EXPECT_EQ(environmentValue(block, "X"), "QUORL_LAUNCHED=1");
  EXPECT_FALSE(environmentValue(block, "QUORL"));
}

TEST(ProcSystem, MemInfoAndPressure) {
  auto info = parseMemInfo("MemTotal: 100 kB\nMemAvailable:  50 kB\nSwapTotal: 40 kB\nSwapFree: 30 kB\n");
  EXPECT_EQ(info.availableBytes, 50u * 1024);
  EXPECT_EQ(info.swapUsedBytes, 10u * 1024);
  EXPECT_FALSE(parseMemInfo("MemTotal: 100 kB\n").swapUsedBytes);

  auto p = parsePressure("some avg10=12.50 avg60=1.00 avg300=0.00 total=5\nfull avg10=0.40 avg60=0 avg300=0 total=1\n");
  ASSERT_TRUE(p);
  EXPECT_DOUBLE_EQ(p->someAvg10, 12.5);
  EXPECT_DOUBLE_EQ(p->fullAvg10, 0.4);
  EXPECT_FALSE(parsePressure("garbage"));

  struct Case { double some, full; PressureLevel level; };
  for (auto c : {Case{0, 0, PressureLevel::normal}, Case{9.99, 1.99, PressureLevel::normal},
                 Case{10, 0, PressureLevel::warning}, Case{0, 2, PressureLevel::warning},
                 Case{40, 0, PressureLevel::critical}, Case{0, 10, PressureLevel::critical}})
    EXPECT_EQ(pressureLevel({c.some, c.full}), c.level) << c.some << " " << c.full;
}

TEST(ProcLive, OwnProcessAndAChild) {
  auto self = readStartRecord(getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->ppid, getppid());
  EXPECT_EQ(self->pgrp, getpgrp());
  EXPECT_EQ(std::to_string(self->seconds) + ":" + std::to_string(self->micros), processStart(getpid()));
  auto memory = readMemory(getpid());
  ASSERT_TRUE(memory);
  EXPECT_GT(memory->residentBytes, 0u);
  EXPECT_GT(memory->footprintBytes, 0u);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    pause();
    _exit(0);
  }
  // The child is in a group of its own once setpgid has run in it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<pid_t> members;
  while (std::chrono::steady_clock::now() < deadline) {
    members = processGroupMembers(child);
    if (members == std::vector<pid_t>{child}) break;
    usleep(2000);
  }
  EXPECT_EQ(members, std::vector<pid_t>{child});
  auto own = processGroupMembers(getpgrp());
  EXPECT_NE(std::find(own.begin(), own.end(), getpid()), own.end());
  EXPECT_TRUE(cpuTimeNs(child));

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(readStartRecord(child));
  EXPECT_FALSE(readMemory(child));
  EXPECT_FALSE(readMemoryFast(child, false));
  EXPECT_FALSE(cpuTimeNs(child));
  EXPECT_FALSE(readStartRecord(0));
}

}  // namespace
}  // namespace quorl::platform::proc
