// quorl-usage-meter as the host drives it: the real program over pipes, measuring
// real processes and comparing with what ps reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/proc_files.hpp"
#include "tests/support/test_desktop.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using quorl::testdesk::Child;
using quorl::testdesk::waitFor;

std::string meter() { return quorl::testdesk::binDir() + "/quorl-usage-meter"; }

double startedAtMs(pid_t pid) {
  auto r = quorl::platform::proc::readStartRecord(pid);
  EXPECT_TRUE(r);
  return static_cast<double>(r->seconds) * 1000.0 + static_cast<double>(r->micros) / 1000.0;
}

// One request, one response.
json ask(Child& m, const json& request) {
  EXPECT_TRUE(m.writeLine(request.dump()));
  auto line = m.readLine(10s);
  EXPECT_TRUE(line) << m.stderrText();
  return line ? json::parse(*line) : json();
}

struct PsFigures {
  uint64_t rssKiB = 0;
  uint64_t cpuSeconds = 0;
};
// What ps reports for a pid: resident size in KiB and processor time in whole seconds.
PsFigures ps(pid_t pid) {
  auto r = quorl::testdesk::run({"ps", "-o", "rss=,times=", "-p", std::to_string(pid)});
  std::istringstream in(r.out);
  PsFigures f;
  in >> f.rssKiB >> f.cpuSeconds;
  return f;
}

std::map<pid_t, uint64_t> psGroup(pid_t pgid) {
  auto r = quorl::testdesk::run({"ps", "-e", "-o", "pid=,pgid=,rss="});
  std::istringstream in(r.out);
  std::map<pid_t, uint64_t> members;
  pid_t pid, group;
  uint64_t rss;
  while (in >> pid >> group >> rss)
    if (group == pgid) members[pid] = rss;
  return members;
}

TEST(UsageMeterProgram, BusyChildAgreesWithPs) {
  // Spins and keeps 40 MB of touched memory resident.
  auto busy = Child::start({"python3", "-c",
                            "b = bytearray(40 << 20)\n"
                            "for i in range(0, len(b), 4096): b[i] = 1\n"
                            "print('ready', flush=True)\n"
                            "while True: pass\n"});
  ASSERT_TRUE(busy->readLine(20s));
  // Enough processor time for ps's whole seconds to say something.
  ASSERT_TRUE(waitFor([&] { return ps(busy->pid()).cpuSeconds >= 1; }, 30s, 50ms));

  auto m = Child::start({meter()});
  double started = startedAtMs(busy->pid());
  auto before = ps(busy->pid());
  auto response = ask(*m, {{"id", "busy"},
                           {"processes", {{{"pid", busy->pid()}, {"startedAt", started}, {"parentPid", getpid()}}}}});
  auto after = ps(busy->pid());
  ASSERT_EQ(response["id"], "busy");
  auto sample = response["processes"][0];
  EXPECT_EQ(sample["pid"], busy->pid());
  EXPECT_EQ(sample["startedAt"].get<double>(), started);

  uint64_t resident = sample["residentBytes"].get<uint64_t>();
  uint64_t low = std::min(before.rssKiB, after.rssKiB) * 1024, high = std::max(before.rssKiB, after.rssKiB) * 1024;
  EXPECT_GE(resident + (256 << 10), low);
  EXPECT_LE(resident, high + (256 << 10));
  EXPECT_GE(resident, 40u << 20);
  // The 40 MB are private anonymous memory: all of it counts toward the footprint.
  EXPECT_GE(sample["footprintBytes"].get<uint64_t>(), 40u << 20);
  EXPECT_LE(sample["footprintBytes"].get<uint64_t>(), resident);

  double cpu = static_cast<double>(sample["cpuTimeNs"].get<uint64_t>()) / 1e9;
  EXPECT_GE(cpu, static_cast<double>(before.cpuSeconds));
  EXPECT_LT(cpu, static_cast<double>(after.cpuSeconds) + 1.0);

  // Without "startedAt" the kernel's start comes back; the system values are there.
  response = ask(*m, {{"id", "p"}, {"processes", {{{"pid", busy->pid()}, {"startedAt", nullptr}, {"parentPid", getpid()}}}}});
  EXPECT_EQ(response["processes"][0]["startedAt"].get<double>(), started);
  EXPECT_TRUE(response["availableBytes"].is_number_unsigned());
  EXPECT_TRUE(response["swapUsedBytes"].is_number_unsigned());
  EXPECT_TRUE(response["pressure"] == "normal" || response["pressure"] == "warning" ||
              response["pressure"] == "critical" || response["pressure"] == "unknown");

  m->closeStdin();
  EXPECT_EQ(m->waitExit(5s), 0);
  EXPECT_EQ(m->stderrText(), "");
}

TEST(UsageMeterProgram, GroupOfThreeSumsItsMembers) {
  // Child::start makes its child the leader of a new group: the shell and two sleeps.
  auto group = Child::start({"/bin/sh", "-c", "sleep 600 & sleep 600 & echo ready; wait"});
  ASSERT_TRUE(group->readLine(10s));
  pid_t pgid = group->pid();
  ASSERT_TRUE(waitFor([&] { return psGroup(pgid).size() == 3; }, 10s, 20ms));

  auto m = Child::start({meter()});
  double started = startedAtMs(pgid);
  auto members = psGroup(pgid);
  auto response = ask(*m, {{"id", "g"}, {"processes", json::array()},
                           {"groups", {{{"pgid", pgid}, {"startedAt", started + 1.5}}, {{"pgid", pgid}}}}});
  auto g = response["groups"][0];
  EXPECT_EQ(g["pgid"], pgid);
  EXPECT_EQ(g["processCount"], 3);
  EXPECT_EQ(g["startedAt"].get<double>(), started + 1.5);
  uint64_t sum = 0;
  for (auto [pid, rss] : members) sum += rss * 1024;
  // Sleeping processes do not change; allow a page or two per member anyway.
  EXPECT_NEAR(static_cast<double>(g["residentBytes"].get<uint64_t>()), static_cast<double>(sum), 3 * 16384.0);
  EXPECT_GT(g["footprintBytes"].get<uint64_t>(), 0u);
  EXPECT_EQ(response["groups"][1]["startedAt"].get<double>(), started);
  EXPECT_EQ(response["groups"][1]["processCount"], 3);
}

TEST(UsageMeterProgram, WrongStartOrParentOrGoneGivesNulls) {
  auto target = Child::start({"sleep", "600"});
  auto gone = Child::start({"true"});
  ASSERT_TRUE(gone->waitExit(5s));
  pid_t goneId = gone->pid();
  gone.reset();  // reaped: the pid names nobody now
  double started = startedAtMs(target->pid());

  auto m = Child::start({meter()});
  json processes = json::array({
      {{"pid", target->pid()}, {"startedAt", started + 2.5}},                          // 2.5 ms off
      {{"pid", target->pid()}, {"startedAt", started + 0.5}, {"parentPid", getpid()}}, // exact needed
      {{"pid", target->pid()}, {"startedAt", nullptr}, {"parentPid", 1}},              // other parent
      {{"pid", goneId}, {"startedAt", started}},
      {{"pid", target->pid()}, {"startedAt", started + 1.5}},                          // measured
  });
  auto response = ask(*m, {{"id", "x"}, {"processes", processes},
                           {"groups", {{{"pgid", target->pid()}, {"startedAt", started + 50}}}}});
  auto samples = response["processes"];
  ASSERT_EQ(samples.size(), 5u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(samples[i]["startedAt"], processes[i]["startedAt"]) << i;
    EXPECT_TRUE(samples[i]["footprintBytes"].is_null()) << i;
    EXPECT_TRUE(samples[i]["residentBytes"].is_null()) << i;
    EXPECT_TRUE(samples[i]["cpuTimeNs"].is_null()) << i;
  }
  EXPECT_TRUE(samples[4]["residentBytes"].is_number_unsigned());
  EXPECT_EQ(response["groups"][0]["startedAt"].get<double>(), started + 50);
  EXPECT_TRUE(response["groups"][0]["processCount"].is_null());
}

TEST(UsageMeterProgram, EveryInvalidRequestEndsTheService) {
  std::string many = "[";
  for (int i = 0; i < 33; ++i) many += std::string(i ? "," : "") + R"({"pid":1,"parentPid":1,"startedAt":null})";
  many += "]";
  std::vector<std::string> lines = {
      "",
      "{",
      R"({"id":"a","processes":[{"pid":5}]})",
      R"({"id":"a","processes":[{"pid":5,"startedAt":null}]})",
      "{\"id\":\"" + std::string(129, 'i') + "\",\"processes\":[]}",
      "{\"id\":\"a\",\"processes\":" + many + "}",
      R"({"id":"a","processes":[],"groups":[{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2},{"pgid":2}]})",
      R"({"id":"a","processes":[{"pid":0,"startedAt":1}]})",
      R"({"id":"a","processes":[],"groups":[{"pgid":1}]})",
      R"({"id":"a","processes":[{"pid":5,"startedAt":-1}]})",
      "{\"id\":\"a\",\"processes\":[]}" + std::string(16384, ' '),  // 16385 bytes and more
  };
  for (const auto& line : lines) {
    auto m = Child::start({meter()});
    ASSERT_TRUE(m->writeLine(R"({"id":"first","processes":[]})"));
    ASSERT_TRUE(m->readLine(10s));
    m->writeLine(line);
    m->writeLine(R"({"id":"never","processes":[]})");
    EXPECT_EQ(m->waitExit(10s), 1) << line.substr(0, 80);
    EXPECT_TRUE(m->waitOutputEnd(5s));
    EXPECT_EQ(m->stderrText(), "Usage meter protocol or transport failed.\n") << line.substr(0, 80);
    EXPECT_EQ(m->stdoutText(), "") << line.substr(0, 80);
  }
  auto withArgument = Child::start({meter(), "--verbose"});
  EXPECT_EQ(withArgument->waitExit(5s), 1);
  EXPECT_TRUE(withArgument->waitOutputEnd(5s));
  EXPECT_EQ(withArgument->stderrText(), "Usage meter protocol or transport failed.\n");
}

TEST(UsageMeterProgram, TwoRequestsInOneWriteThenEndOfInput) {
  auto m = Child::start({meter()});
  // writeLine writes the text and its line feed in one write.
  ASSERT_TRUE(m->writeLine("{\"id\":\"one\",\"processes\":[]}\n{\"id\":\"two\",\"processes\":[]}"));
  auto first = m->readLine(10s);
  auto second = m->readLine(10s);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(json::parse(*first)["id"], "one");
  EXPECT_EQ(json::parse(*second)["id"], "two");
  // A line exactly at the limit is answered.
  std::string request = R"({"id":"long","processes":[]})";
  ASSERT_TRUE(m->writeLine(request + std::string(16384 - request.size(), ' ')));
  auto third = m->readLine(10s);
  ASSERT_TRUE(third);
  EXPECT_EQ(json::parse(*third)["id"], "long");
  m->closeStdin();
  EXPECT_EQ(m->waitExit(5s), 0);
  EXPECT_TRUE(m->waitOutputEnd(5s));
  EXPECT_EQ(m->stderrText(), "");
}

// The meter with pipes this test controls: its output is never read.
TEST(UsageMeterProgram, AHostThatStopsReadingEndsTheService) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::string path = meter();
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  struct Reap {
    pid_t pid;
    int fds[3];
    ~Reap() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
      for (int fd : fds) close(fd);
    }
  } reap{pid, {in[1], out[0], err[0]}};

  // Requests until the answers fill the output pipe and the meter gives up.
  fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
  std::string request = "{\"id\":\"" + std::string(100, 'f') + "\",\"processes\":[]}\n";
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t w = write(in[1], request.data(), request.size());
    (void)w;  // a full input pipe, or a meter that has gone
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reap.pid = -1;
      break;
    }
    if (w < 0) usleep(1000);
  }
  ASSERT_EQ(reap.pid, -1) << "the meter kept waiting for a host that does not read";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  char buf[256] = {};
  ssize_t n = read(err[0], buf, sizeof buf - 1);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "Usage meter protocol or transport failed.\n");
}

}  // namespace
