// Measuring processes and groups over a scripted platform: the identity checks
// around the usage read, the group totals, and the processor-time conversion.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "usage_meter/metrics.hpp"

namespace quorl::usage {
namespace {

class FakeMeter : public MeterPlatform {
 public:
  // Starts in turn per pid (the last one repeats).
  std::map<int32_t, std::deque<std::optional<StartRecord>>> starts;
  std::map<int32_t, Usage> usages;
  std::map<int32_t, std::vector<int32_t>> groups;
  std::optional<Timebase> base = Timebase{1, 1};
  std::vector<std::string> calls;

  std::optional<StartRecord> startRecord(int32_t pid) override {
    calls.push_back("start " + std::to_string(pid));
    auto it = starts.find(pid);
    if (it == starts.end()) return std::nullopt;
    auto v = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    return v;
  }
  std::optional<Usage> usage(int32_t pid) override {
    calls.push_back("usage " + std::to_string(pid));
    auto it = usages.find(pid);
    if (it == usages.end()) return std::nullopt;
    return it->second;
  }
  std::optional<Timebase> timebase() override { return base; }
  std::optional<std::vector<int32_t>> groupMembers(int32_t pgid) override {
    auto it = groups.find(pgid);
    if (it == groups.end()) return std::nullopt;
    return it->second;
  }
  Pressure pressure() override { return Pressure::warning; }
  std::optional<uint64_t> swapUsedBytes() override { return 7; }
  std::optional<uint64_t> availableBytes() override { return std::nullopt; }
};

// Started at 1700000000.010000 s, i.e. 1700000000010 ms.
constexpr StartRecord kStart{1700000000, 10000, 1};
constexpr double kStartMs = 1700000000010.0;

TEST(MeterProcess, IdentityChecksByWhatTheRequestGives) {
  struct Case {
    const char* what;
    std::optional<double> startedAt;
    std::optional<int32_t> parentPid;
    bool measured;
  };
  for (auto c : {Case{"start within 1.5 ms", kStartMs + 1.5, {}, true},
                 Case{"start exactly 2 ms off", kStartMs - 2.0, {}, true},
                 Case{"start 2.5 ms off", kStartMs + 2.5, {}, false},
                 Case{"start and parent exact", kStartMs, 1, true},
                 Case{"start 0.5 ms off with parent", kStartMs + 0.5, 1, false},
                 Case{"start exact, other parent", kStartMs, 2, false},
                 Case{"parent only", {}, 1, true},
                 Case{"other parent only", {}, 3, false}}) {
    FakeMeter m;
    m.starts[9] = {kStart};
    m.usages[9] = Usage{100, 200, 3000};
    auto r = readProcessMetrics(m, ProcessRequest{9, c.startedAt, c.parentPid});
    EXPECT_EQ(r.has_value(), c.measured) << c.what;
    if (r) {
      EXPECT_EQ(r->startedAt, c.startedAt.value_or(kStartMs)) << c.what;
      EXPECT_EQ(r->footprintBytes, 100u);
      EXPECT_EQ(r->residentBytes, 200u);
      EXPECT_EQ(r->cpuTimeNs, 3000u);
    }
  }
}

TEST(MeterProcess, UsageIsReadBetweenTwoIdenticalIdentityReads) {
  FakeMeter m;
  m.starts[9] = {kStart};
  m.usages[9] = Usage{1, 2, 3};
  ASSERT_TRUE(readProcessMetrics(m, ProcessRequest{9, {}, 1}));
  EXPECT_EQ(m.calls, (std::vector<std::string>{"start 9", "usage 9", "start 9"}));

  // Replaced during the read: same parent, another start.
  m.starts[9] = {kStart, StartRecord{1700000000, 20000, 1}};
  EXPECT_FALSE(readProcessMetrics(m, ProcessRequest{9, {}, 1}));
  // Reparented during the read.
  m.starts[9] = {kStart, StartRecord{1700000000, 10000, 77}};
  EXPECT_FALSE(readProcessMetrics(m, ProcessRequest{9, {}, 1}));
  // Gone during the read; unreadable records.
  m.starts[9] = {kStart, std::nullopt};
  EXPECT_FALSE(readProcessMetrics(m, ProcessRequest{9, kStartMs, {}}));
  m.starts[9] = {StartRecord{0, 0, 1}};
  EXPECT_FALSE(readProcessMetrics(m, ProcessRequest{9, {}, 1}));
  m.starts[9] = {kStart};
  m.usages.clear();
  EXPECT_FALSE(readProcessMetrics(m, ProcessRequest{9, {}, 1}));
}

TEST(MeterProcess, ProcessorTimeConversion) {
  EXPECT_EQ(cpuNanoseconds(125, Timebase{125, 3}), 5208u);
  EXPECT_EQ(cpuNanoseconds(9007199254740991ull, Timebase{1, 1}), 9007199254740991ull);
  EXPECT_FALSE(cpuNanoseconds(9007199254740993ull, Timebase{1, 1}));
  EXPECT_FALSE(cpuNanoseconds(5, Timebase{1, 0}));
  EXPECT_FALSE(cpuNanoseconds(5, std::nullopt));
  EXPECT_FALSE(cpuNanoseconds(std::nullopt, Timebase{1, 1}));
  // Only the processor time may be missing; the sample is still measured.
  FakeMeter m;
  m.starts[9] = {kStart};
  m.usages[9] = Usage{1, 2, std::nullopt};
  auto r = readProcessMetrics(m, ProcessRequest{9, {}, 1});
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->cpuTimeNs);
}

TEST(MeterGroup, SumsReadableMembers) {
  FakeMeter m;
  m.starts[50] = {kStart};
  m.groups[50] = {50, 51, 0, 52, 53};  // 53 cannot be read: skipped
  m.usages[50] = Usage{1, 10, {}};
  m.usages[51] = Usage{2, 20, {}};
  m.usages[52] = Usage{4, 40, {}};
  auto g = readGroupMetrics(m, GroupRequest{50, kStartMs + 1});
  ASSERT_TRUE(g);
  EXPECT_EQ(g->processCount, 3u);
  EXPECT_EQ(g->footprintBytes, 7u);
  EXPECT_EQ(g->residentBytes, 70u);
  EXPECT_EQ(g->startedAt, kStartMs + 1);
  EXPECT_EQ(readGroupMetrics(m, GroupRequest{50, {}})->startedAt, kStartMs);

  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{50, kStartMs + 3}));  // another leader
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{1, {}}));
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{60, {}}));            // no leader
  m.starts[60] = {kStart};
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{60, {}}));            // no listing
  m.groups[60] = {61};
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{60, {}}));            // nobody readable
  m.starts[50] = {kStart, StartRecord{1700000001, 0, 1}};
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{50, {}}));            // leader replaced
  m.starts[50] = {kStart};
  m.usages[51] = Usage{1ull << 53, 0, {}};
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{50, {}}));            // total not exact
  m.usages[51] = Usage{UINT64_MAX, 0, {}};
  EXPECT_FALSE(readGroupMetrics(m, GroupRequest{50, {}}));            // total overflows
}

TEST(MeterAnswer, UnavailableSamplesRepeatTheRequestAndSystemValuesFollow) {
  FakeMeter m;
  m.starts[9] = {kStart};
  m.usages[9] = Usage{1, 2, 3};
  Request request{"r", {ProcessRequest{9, {}, 1}, ProcessRequest{10, 5.0, {}}, ProcessRequest{11, {}, 4}},
                  {GroupRequest{70, 8.0}, GroupRequest{71, {}}}, };
  auto r = answer(m, request);
  EXPECT_EQ(r.id, "r");
  ASSERT_EQ(r.processes.size(), 3u);
  EXPECT_EQ(r.processes[0].startedAt, kStartMs);
  EXPECT_EQ(r.processes[0].footprintBytes, 1u);
  EXPECT_EQ(r.processes[1].pid, 10);
  EXPECT_EQ(r.processes[1].startedAt, 5.0);
  EXPECT_FALSE(r.processes[1].footprintBytes || r.processes[1].residentBytes || r.processes[1].cpuTimeNs);
  EXPECT_FALSE(r.processes[2].startedAt);
  ASSERT_EQ(r.groups.size(), 2u);
  EXPECT_EQ(r.groups[0].startedAt, 8.0);
  EXPECT_FALSE(r.groups[0].processCount);
  EXPECT_FALSE(r.groups[1].startedAt);
  EXPECT_EQ(r.pressure, "warning");
  EXPECT_EQ(r.swapUsedBytes, 7u);
  EXPECT_FALSE(r.availableBytes);
}

}  // namespace
}  // namespace quorl::usage
