// process-passport's logic over a scripted platform: argument rules, the double
// read, the record's fields and the bundle form's order.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include <nlohmann/json.hpp>

#include "process_passport/passport.hpp"

namespace quorl::passport {
namespace {

struct FakeApp {
  std::optional<std::string> bundleId = "org.example.App";
  std::optional<std::string> bundlePath = "/apps/org.example.App.desktop";
  std::optional<std::string> executablePath = "/usr/bin/app";
  // isTerminated answers in turn (the last answer repeats).
  std::deque<bool> terminated{false};
};

class Handle : public AppHandle {
 public:
  Handle(int32_t pid, FakeApp app) : pid_(pid), app_(std::move(app)) {}
  int32_t pid() const override { return pid_; }
  bool isTerminated() const override {
    bool v = app_.terminated.front();
    if (app_.terminated.size() > 1) app_.terminated.pop_front();
    return v;
  }
  std::optional<std::string> bundleIdentifier() const override { return app_.bundleId; }
  std::optional<std::string> bundlePath() const override { return app_.bundlePath; }
  std::optional<std::string> executablePath() const override { return app_.executablePath; }

 private:
  int32_t pid_;
  mutable FakeApp app_;
};

// Each pid has a script: the starts the kernel gives in turn, and the applications
// the lookups give in turn (nullopt: no application).  The last entry repeats.
class FakePlatform : public PassportPlatform {
 public:
  std::map<int32_t, std::deque<std::optional<ProcessStart>>> starts;
  std::map<int32_t, std::deque<std::optional<FakeApp>>> apps;
  std::map<int32_t, bool> launched;
  std::vector<int32_t> listed;  // what applications(id) lists, in this order

  template <typename T>
  static T next(std::deque<T>& q) {
    T v = q.front();
    if (q.size() > 1) q.pop_front();
    return v;
  }
  std::optional<ProcessStart> kernelStart(int32_t pid) override {
    auto it = starts.find(pid);
    return it == starts.end() ? std::nullopt : next(it->second);
  }
  std::unique_ptr<AppHandle> application(int32_t pid) override {
    auto it = apps.find(pid);
    if (it == apps.end()) return nullptr;
    auto app = next(it->second);
    if (!app) return nullptr;
    return std::make_unique<Handle>(pid, *app);
  }
  std::vector<std::unique_ptr<AppHandle>> applications(const std::string&) override {
    std::vector<std::unique_ptr<AppHandle>> list;
    for (int32_t pid : listed)
      if (auto h = application(pid)) list.push_back(std::move(h));
    return list;
  }
  bool launchedByQuorl(int32_t pid) override { return launched[pid]; }

  void add(int32_t pid, ProcessStart start, FakeApp app = {}) {
    starts[pid] = {start};
    apps[pid] = {app};
  }
};

constexpr ProcessStart kStart{1700000000, 5};

TEST(PassportArguments, UsageForEveryBadShape) {
  FakePlatform platform;
  platform.add(42, kStart);
  std::vector<std::vector<std::string>> bad = {
      {}, {"0"}, {"-5"}, {"+5"}, {"2147483648"}, {"99999999999999999999"}, {"abc"}, {" 5"}, {"5 "}, {""},
      {"42", "43"}, {"bundle"}, {"bundle", ""}, {"bundle", "a b"}, {"bundle", "a\tb"},
      {"bundle", "a\x7f"}, {"bundle", "a\u2028b"}, {"bundle", std::string(256, 'a')},
      {"Bundle", "org.example.App"}, {"bundle", "org.example.App", "x"}};
  for (const auto& args : bad) {
    auto outcome = run(args, platform);
    std::string shown;
    for (auto& a : args) shown += "[" + a + "]";
    EXPECT_EQ(outcome.status, 1) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
    EXPECT_EQ(outcome.err,
              "Usage: process-passport <positive process ID> | process-passport bundle <bundle identifier>\n")
        << shown;
  }
}

TEST(PassportArguments, AcceptedShapes) {
  EXPECT_EQ(parsePid("00042"), 42);
  EXPECT_EQ(parsePid("2147483647"), 2147483647);
  EXPECT_EQ(parsePid("0000000000002147483647"), 2147483647);
  EXPECT_TRUE(validBundleId(std::string(255, 'a')));
  // 255 user-perceived characters of several bytes each are still within the limit.
  std::string accented;
  for (int i = 0; i < 255; ++i) accented += "e\u0301";
  EXPECT_TRUE(validBundleId(accented));
  EXPECT_FALSE(validBundleId(accented + "e"));
}

TEST(PassportRecord, FieldsOfOneProcess) {
  FakePlatform platform;
  platform.add(42, kStart);
  platform.launched[42] = true;
  auto outcome = run({"00042"}, platform);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  ASSERT_EQ(outcome.out.back(), '\n');
  auto j = nlohmann::json::parse(outcome.out);
  EXPECT_EQ(j["pid"], 42);
  EXPECT_EQ(j["bundleId"], "org.example.App");
  EXPECT_EQ(j["processStart"], "1700000000:5");
  EXPECT_DOUBLE_EQ(j["launchDate"].get<double>(), (1700000000.0 - 978307200.0) + 5 / 1000000.0);
  EXPECT_EQ(j["bundlePath"], "/apps/org.example.App.desktop");
  EXPECT_EQ(j["executablePath"], "/usr/bin/app");
  EXPECT_EQ(j["launchedByQuorl"], true);
  EXPECT_EQ(j.size(), 7u);
}

TEST(PassportRecord, AbsentPathsAreLeftOut) {
  FakePlatform platform;
  FakeApp app;
  app.bundlePath.reset();
  app.executablePath.reset();
  platform.add(7, kStart, app);
  auto j = nlohmann::json::parse(run({"7"}, platform).out);
  EXPECT_FALSE(j.contains("bundlePath"));
  EXPECT_FALSE(j.contains("executablePath"));
  EXPECT_EQ(j["launchedByQuorl"], false);
}

TEST(PassportIdentity, UnavailableAndChanged) {
  const auto unavailable = IdentityError::unavailable;
  const auto changed = IdentityError::changed;
  struct Case {
    const char* what;
    std::deque<std::optional<ProcessStart>> starts;
    std::deque<std::optional<FakeApp>> apps;
    IdentityError expected;
  };
  FakeApp noId;
  noId.bundleId.reset();
  FakeApp emptyId;
  emptyId.bundleId = "";
  FakeApp dying;
  dying.terminated = {false, true};  // alive at the first look, gone at the second
  FakeApp dyingLate;
  dyingLate.terminated = {false, false, true};
  FakeApp terminated;
  terminated.terminated = {true};
  FakeApp otherId;
  otherId.bundleId = "org.example.Other";
  std::vector<Case> cases = {
      {"no kernel record", {std::nullopt}, {FakeApp{}}, unavailable},
      {"zero seconds", {ProcessStart{0, 5}}, {FakeApp{}}, unavailable},
      {"micros out of range", {ProcessStart{5, 1000000}}, {FakeApp{}}, unavailable},
      {"not an application", {kStart}, {std::nullopt}, unavailable},
      {"terminated application", {kStart}, {terminated}, unavailable},
      {"no identifier", {kStart}, {noId}, unavailable},
      {"empty identifier", {kStart}, {emptyId}, unavailable},
      {"terminated at the second look", {kStart}, {dying}, changed},
      {"terminated after the second start", {kStart}, {dyingLate}, changed},
      {"gone at the second lookup", {kStart}, {FakeApp{}, std::nullopt}, changed},
      {"identifier changed", {kStart}, {FakeApp{}, otherId}, changed},
      {"second start unreadable", {kStart, std::nullopt}, {FakeApp{}}, unavailable},
      {"start changed", {kStart, ProcessStart{1700000000, 6}}, {FakeApp{}}, changed},
  };
  for (auto& c : cases) {
    FakePlatform platform;
    platform.starts[9] = c.starts;
    platform.apps[9] = c.apps;
    auto outcome = run({"9"}, platform);
    EXPECT_EQ(outcome.status, 1) << c.what;
    EXPECT_EQ(outcome.out, "") << c.what;
    EXPECT_EQ(outcome.err, std::string(message(c.expected)) + "\n") << c.what;
  }
}

TEST(PassportBundle, SortedByPidDroppingFailuresAndOtherIds) {
  FakePlatform platform;
  platform.add(30, kStart);
  platform.add(10, ProcessStart{1700000001, 0});
  platform.add(20, kStart);
  platform.starts[20] = {kStart, ProcessStart{1, 1}};  // replaced while read: dropped
  FakeApp other;
  other.bundleId = "org.example.Other";
  platform.add(5, kStart, other);
  platform.listed = {30, 20, 5, 10};
  auto outcome = run({"bundle", "org.example.App"}, platform);
  ASSERT_EQ(outcome.status, 0);
  auto j = nlohmann::json::parse(outcome.out);
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0]["pid"], 10);
  EXPECT_EQ(j[1]["pid"], 30);

  platform.listed.clear();
  EXPECT_EQ(run({"bundle", "org.example.App"}, platform).out, "[]\n");
}

}  // namespace
}  // namespace quorl::passport
