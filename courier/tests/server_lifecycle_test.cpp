// The service from its first to its last line: "hello", requests on a pipe,
// and the end of input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "courier/tests/server_fixture.hpp"

namespace quorl::courier::testing {
namespace {

class ServerLifecycle : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    ASSERT_EQ(pipe(fds), 0);
  }
  void TearDown() override {
    if (fds[1] >= 0) close(fds[1]);
    close(fds[0]);
    ServerFixture::TearDown();
  }
  void write(const Json& request) {
    std::string line = request.dump() + "\n";
    ASSERT_EQ(::write(fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void closeInput() {
    close(fds[1]);
    fds[1] = -1;
  }
  int fds[2] = {-1, -1};
};

TEST_F(ServerLifecycle, HelloThenAQuietExitWithoutSession) {
  auto running = std::async(std::launch::async, [&] { return server->run(fds[0]); });
  auto hello = log.waitEvent("hello");
  ASSERT_TRUE(hello);
  Json got = *hello;
  EXPECT_EQ(got["pid"], getpid());
  EXPECT_TRUE(got["start"].is_string());
  got.erase("pid");
  got.erase("start");
  EXPECT_TRUE(hasExactly(got, {{"event", "hello"}, {"route", "sky"}, {"post_access", true}, {"missing", Json::array()}}));
  closeInput();
  ASSERT_EQ(running.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_TRUE(running.get());
  EXPECT_EQ(log.size(), 1u);
  server->shutdown();
}

TEST_F(ServerLifecycle, EndOfInputDuringALongActReleasesAndEnds) {
  auto running = std::async(std::launch::async, [&] { return server->run(fds[0]); });
  write(beginRequest());
  write(act(1, {{"kind", "press_key"}, {"key", "a"}, {"modifiers", {"shift"}}, {"hold_ms", 2000}}));
  ASSERT_TRUE(log.waitEvent("ready"));
  ASSERT_TRUE(waitUntil([&] { return platform.posted().size() >= 2; }));
  double closedAt = quorl::nowMs();
  closeInput();
  ASSERT_EQ(running.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_TRUE(running.get());
  EXPECT_LT(quorl::nowMs() - closedAt, 1000);
  auto r = *result(1, 0);
  EXPECT_EQ(r["event"], "interrupted");
  EXPECT_EQ(r["reason"], "ending");
  EXPECT_EQ(r["released"], (Json{"key", "modifier"}));
  auto ended = *log.waitEvent("ended", 0);
  EXPECT_EQ(ended["reason"], "stdin_eof");
  EXPECT_EQ(ended["yielded"], false);
  EXPECT_EQ(ended["acts"], 1);
  // Every key went up, and the lock file was left empty.
  auto posted = platform.posted();
  int down = 0;
  for (const auto& p : posted) down += p.down ? 1 : -1;
  EXPECT_EQ(down, 0);
  auto file = TargetLock::path(lockDir, kTarget, kStart);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  // "t" never decreases.
  double last = 0;
  for (const auto& e : log.all()) {
    EXPECT_GE(e["t"].get<double>(), last);
    last = e["t"].get<double>();
  }
  server->shutdown();
}

}  // namespace
}  // namespace quorl::courier::testing
