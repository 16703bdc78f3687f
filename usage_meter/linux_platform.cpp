#include "usage_meter/linux_platform.hpp"

#include <unordered_map>

#include "platform/proc_files.hpp"

namespace quorl::usage {
namespace {

namespace proc = platform::proc;

class LinuxMeterPlatform : public MeterPlatform {
 public:
  void beginRequest() override {
    groups_.reset();
    memInfo_.reset();
  }

  std::optional<StartRecord> startRecord(int32_t pid) override {
    auto r = proc::readStartRecord(pid);
    if (!r) return std::nullopt;
    return StartRecord{r->seconds, r->micros, r->ppid};
  }

  std::optional<Usage> usage(int32_t pid) override {
    auto memory = proc::readMemory(pid);
    if (!memory) return std::nullopt;
    return Usage{memory->footprintBytes, memory->residentBytes, proc::cpuTimeNs(pid)};
  }

  // The process CPU clock counts in nanoseconds.
  std::optional<Timebase> timebase() override { return Timebase{1, 1}; }

  // Linux has no call listing one group, so /proc is scanned once per request and
  // shared by every group entry of that request.
  std::optional<std::vector<int32_t>> groupMembers(int32_t pgid) override {
    if (!groups_) {
      groups_.emplace();
      for (auto [pid, group] : proc::processGroupTable()) {
        auto& members = (*groups_)[group];
        if (members.size() < 1024) members.push_back(pid);
      }
    }
    auto it = groups_->find(pgid);
    if (it == groups_->end()) return std::nullopt;
    return it->second;
  }

  Pressure pressure() override {
    auto p = proc::readMemoryPressure();
    if (!p) return Pressure::unknown;
    switch (proc::pressureLevel(*p)) {
      case proc::PressureLevel::normal: return Pressure::normal;
      case proc::PressureLevel::warning: return Pressure::warning;
      case proc::PressureLevel::critical: return Pressure::critical;
    }
    return Pressure::unknown;
  }

  std::optional<uint64_t> swapUsedBytes() override { return memInfo().swapUsedBytes; }
  std::optional<uint64_t> availableBytes() override { return memInfo().availableBytes; }

 private:
  const proc::MemInfo& memInfo() {
    if (!memInfo_) memInfo_ = proc::readMemInfo();
    return *memInfo_;
  }

  std::optional<std::unordered_map<int32_t, std::vector<int32_t>>> groups_;
  std::optional<proc::MemInfo> memInfo_;
};

}  // namespace

std::unique_ptr<MeterPlatform> linuxPlatform() { return std::make_unique<LinuxMeterPlatform>(); }

}  // namespace quorl::usage
