#pragma once
// A Server on the recording platform with a private lock directory and an event
// log in place of standard output.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/out.hpp"
#include "courier/server.hpp"
#include "courier/tests/fake_courier_platform.hpp"

namespace quorl::courier::testing {

class EventLog {
 public:
  void add(Json event) {
    std::lock_guard<std::mutex> g(mu_);
    event["t"] = r1(quorl::nowMs());
    events_.push_back(std::move(event));
    cv_.notify_all();
  }
  std::vector<Json> all() {
    std::lock_guard<std::mutex> g(mu_);
    return events_;
  }
  size_t size() {
    std::lock_guard<std::mutex> g(mu_);
    return events_.size();
  }
  // The first logged event (at or after index `from`) that satisfies the predicate.
  std::optional<Json> waitFor(const std::function<bool(const Json&)>& pred, int ms = 5000, size_t from = 0) {
    std::unique_lock<std::mutex> lk(mu_);
    std::optional<Json> found;
    cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] {
      for (size_t i = from; i < events_.size(); ++i)
        if (pred(events_[i])) {
          found = events_[i];
          return true;
        }
      return false;
    });
    return found;
  }
  std::optional<Json> waitEvent(const std::string& name, int ms = 5000) {
    return waitFor([&](const Json& e) { return e.value("event", "") == name; }, ms);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Json> events_;
};

inline std::string makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "courier-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

class ServerFixture : public ::testing::Test {
 protected:
  static constexpr pid_t kTarget = 4242;
  static constexpr int64_t kWindow = 77;
  static constexpr const char* kStart = "1700000000:123456";

  explicit ServerFixture(bool virtualClock = false) : platform(virtualClock) {}

  void SetUp() override {
    dir = makeTempDir();
    lockDir = dir + "/quorl-input-courier";
    platform.setStart(kTarget, kStart);
    platform.setWindows({targetWindow()});
    makeServer();
  }
  void TearDown() override {
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  virtual void makeServer(ServerOptions options = {}) {
    options.lockDirectory = lockDir;
    options.emit = [this](Json e) { log.add(std::move(e)); };
    server = std::make_unique<Server>(platform, std::move(options));
  }

  static WindowInfo targetWindow() { return WindowInfo{kWindow, kTarget, 0, 1.0, Rect{100, 100, 400, 300}}; }

  void send(const Json& request) { server->handleLine(request.dump()); }
  void sendText(const std::string& line) { server->handleLine(line); }

  Json beginRequest(const std::string& id = "s1", int64_t generation = 1) {
    return {{"op", "begin"}, {"session", id}, {"generation", generation}, {"pid", kTarget}, {"process_start", kStart}};
  }
  // Begins a session and returns its "ready".
  Json begin(const std::string& id = "s1", int64_t generation = 1) {
    size_t before = log.size();
    send(beginRequest(id, generation));
    auto ready = log.waitFor([](const Json& e) { return e["event"] == "ready" || e["event"] == "refused"; }, 5000,
                             before);
    EXPECT_TRUE(ready && (*ready)["event"] == "ready") << (ready ? ready->dump() : "nothing");
    return ready.value_or(Json());
  }
  Json act(int64_t seq, Json action, const std::string& id = "s1", int64_t generation = 1) {
    return {{"op", "act"}, {"session", id}, {"generation", generation}, {"seq", seq}, {"window_id", kWindow},
            {"action", std::move(action)}};
  }
  Json end(const std::string& id = "s1", int64_t generation = 1) {
    return {{"op", "end"}, {"session", id}, {"generation", generation}};
  }
  // The answer to act `seq` ("delivered", "interrupted" or "refused").
  std::optional<Json> result(int64_t seq, int ms = 5000) {
    return log.waitFor(
        [&](const Json& e) {
          return e.value("seq", int64_t{-1}) == seq &&
                 (e["event"] == "delivered" || e["event"] == "interrupted" || e["event"] == "refused");
        },
        ms);
  }

  // Whether a mouse event of this type has been posted.
  bool postedType(int type) {
    for (const auto& p : platform.posted())
      if (p.kind == Posted::Kind::mouse && p.type == type) return true;
    return false;
  }

  FakeCourierPlatform platform;
  EventLog log;
  std::string dir;
  std::string lockDir;
  std::unique_ptr<Server> server;
};

// Polls a condition every 2 ms until it holds or the deadline passes.
inline bool waitUntil(const std::function<bool()>& condition, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Only these keys (plus "t").
inline ::testing::AssertionResult hasExactly(const Json& event, const Json& expected) {
  Json without = event;
  without.erase("t");
  if (without == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << event.dump() << "\nwant " << expected.dump();
}

}  // namespace quorl::courier::testing
