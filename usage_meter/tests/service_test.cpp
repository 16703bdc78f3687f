// The service loop over real pipes: framing, order, limits, end of input, idle
// exit and the write deadline.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "usage_meter/service.hpp"

namespace quorl::usage {
namespace {

class NoProcesses : public MeterPlatform {
 public:
  std::optional<StartRecord> startRecord(int32_t) override { return std::nullopt; }
  std::optional<Usage> usage(int32_t) override { return std::nullopt; }
  std::optional<Timebase> timebase() override { return Timebase{}; }
  std::optional<std::vector<int32_t>> groupMembers(int32_t) override { return std::nullopt; }
  Pressure pressure() override { return Pressure::normal; }
  std::optional<uint64_t> swapUsedBytes() override { return 0; }
  std::optional<uint64_t> availableBytes() override { return 1; }
};

struct Pipes {
  int in[2];
  int out[2];
  Pipes() {
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  }
  ~Pipes() {
    for (int fd : {in[0], in[1], out[0], out[1]})
      if (fd >= 0) close(fd);
  }
  void send(const std::string& text) {
    ASSERT_EQ(write(in[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void endInput() {
    close(in[1]);
    in[1] = -1;
  }
  // Everything written to the output so far.
  std::string output() {
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }
};

const std::string kAnswerA =
    R"({"availableBytes":1,"groups":[],"id":"a","pressure":"normal","processes":[],"swapUsedBytes":0})" "\n";

TEST(MeterService, TwoRequestsInOneWriteThenEndOfInput) {
  NoProcesses platform;
  Pipes p;
  // A large input is fed by a writer on the side; here two lines fit the pipe.
  p.send("{\"id\":\"a\",\"processes\":[]}\n{\"id\":\"b\",\"processes\":[{\"pid\":4,\"startedAt\":9}]}\r\n");
  p.endInput();
  Service service(platform, p.in[0], p.out[1]);
  EXPECT_EQ(service.run(), std::nullopt);
  EXPECT_EQ(p.output(),
            kAnswerA +
                R"({"availableBytes":1,"groups":[],"id":"b","pressure":"normal","processes":[{"cpuTimeNs":null,"footprintBytes":null,"pid":4,"residentBytes":null,"startedAt":9.0}],"swapUsedBytes":0})"
                "\n");
}

TEST(MeterService, FirstInvalidLineEndsTheServiceUnanswered) {
  for (const std::string& bad : std::vector<std::string>{"", "{\"id\":\"a\",\"processes\":[{\"pid\":0,\"startedAt\":1}]}", "not json"}) {
    NoProcesses platform;
    Pipes p;
    p.send("{\"id\":\"a\",\"processes\":[]}\n" + bad + "\n{\"id\":\"a\",\"processes\":[]}\n");
    p.endInput();
    Service service(platform, p.in[0], p.out[1]);
    EXPECT_EQ(service.run(), MonitorError::invalidInput) << bad;
    EXPECT_EQ(p.output(), kAnswerA) << bad;
  }
}

TEST(MeterService, LineLimitIs16384Bytes) {
  std::string request = "{\"id\":\"a\",\"processes\":[]}";
  std::string longest = request + std::string(kMaxLineBytes - request.size(), ' ');
  ASSERT_EQ(longest.size(), 16384u);
  {
    NoProcesses platform;
    Pipes p;
    p.send(longest + "\n");
    p.endInput();
    Service service(platform, p.in[0], p.out[1]);
    EXPECT_EQ(service.run(), std::nullopt);
    EXPECT_EQ(p.output(), kAnswerA);
  }
  {
    NoProcesses platform;
    Pipes p;
    p.send(longest + " ");  // no newline needed: the byte past the limit already fails
    Service service(platform, p.in[0], p.out[1]);
    EXPECT_EQ(service.run(), MonitorError::invalidInput);
    EXPECT_EQ(p.output(), "");
  }
}

TEST(MeterService, IdleLimitCountsFromTheLastAnsweredRequest) {
  NoProcesses platform;
  {
    // The clock has already run past the limit: nothing more is read.
    Pipes p;
    p.send("{\"id\":\"a\",\"processes\":[]}\n");
    int calls = 0;
    Service service(platform, p.in[0], p.out[1], [&] { return calls++ == 0 ? 0.0 : 120.0; });
    EXPECT_EQ(service.run(), std::nullopt);
    EXPECT_EQ(p.output(), "");
  }
  {
    // 10 ms left and nothing arrives: the wait times out and the service ends.
    Pipes p;
    int calls = 0;
    Service service(platform, p.in[0], p.out[1], [&] { return calls++ == 0 ? 0.0 : 119.99; });
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(service.run(), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  }
}

TEST(MeterService, AHostThatStopsReadingEndsTheServiceAfterOneSecond) {
  NoProcesses platform;
  Pipes p;
  // Fill the output pipe so that nothing more fits.
  fcntl(p.out[1], F_SETFL, fcntl(p.out[1], F_GETFL) | O_NONBLOCK);
  std::string block(65536, 'x');
  while (write(p.out[1], block.data(), block.size()) > 0) {
  }
  while (write(p.out[1], block.data(), 1) > 0) {
  }
  p.send("{\"id\":\"a\",\"processes\":[]}\n");
  Service service(platform, p.in[0], p.out[1]);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(service.run(), MonitorError::outputFailure);
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, std::chrono::milliseconds(990));
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(MeterService, ClosedOutputIsAnOutputFailure) {
  NoProcesses platform;
  Pipes p;
  close(p.out[0]);
  p.out[0] = -1;
  p.send("{\"id\":\"a\",\"processes\":[]}\n");
  Service service(platform, p.in[0], p.out[1]);
  EXPECT_EQ(service.run(), MonitorError::outputFailure);
}

}  // namespace
}  // namespace quorl::usage
