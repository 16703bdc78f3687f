#include "usage_meter/linux_platform.hpp"

#include <unordered_map>

#include "platform/proc_files.hpp"

namespace quorl::usage {
namespace {

namespace proc = platform::proc;

class LinuxMeterPlatform : public MeterPlatform {
 public:
  void beginRequest() override { endRequest(); }
  void endRequest() override {
    groups_.reset();
    memInfo_.reset();
    swapInUse_.reset();
    stats_.clear();
    usages_.clear();
  }

  // The first read of a pid opens its stat file and keeps it for the request; later
  // reads go through the same descriptor, so they fail rather than describe another
  // process that took the pid meanwhile.
  std::optional<StartRecord> startRecord(int32_t pid) override {
    auto it = stats_.find(pid);
    if (it == stats_.end()) it = stats_.emplace(pid, proc::StatHandle(pid)).first;
    auto r = it->second.read();
    if (!r) return std::nullopt;
    return StartRecord{r->seconds, r->micros, r->ppid};
  }

  // A process already measured in this request (a process entry that is also a group
  // member, say) is not read again: its figures are microseconds old.
  std::optional<Usage> usage(int32_t pid) override {
    if (auto it = usages_.find(pid); it != usages_.end()) return it->second;
    std::optional<Usage> figures;
    if (auto memory = proc::readMemoryFast(pid, swapInUse()))
      figures = Usage{memory->footprintBytes, memory->residentBytes, proc::cpuTimeNs(pid)};
    usages_.emplace(pid, figures);
    return figures;
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
  // Whether anything on the system is swapped out (asked once per request); when not,
  // no process has swap to add to its footprint.
  bool swapInUse() {
    if (!swapInUse_) {
      auto used = memInfo().swapUsedBytes;
      swapInUse_ = !used || *used > 0;
      memInfo_.reset();  // the response's system values are read after the processes
    }
    return *swapInUse_;
  }

  const proc::MemInfo& memInfo() {
    if (!memInfo_) memInfo_ = proc::readMemInfo();
    return *memInfo_;
  }

  std::optional<std::unordered_map<int32_t, std::vector<int32_t>>> groups_;
  std::optional<proc::MemInfo> memInfo_;
  std::optional<bool> swapInUse_;
  std::unordered_map<int32_t, proc::StatHandle> stats_;
  std::unordered_map<int32_t, std::optional<Usage>> usages_;
};

}  // namespace

std::unique_ptr<MeterPlatform> linuxPlatform() { return std::make_unique<LinuxMeterPlatform>(); }

}  // namespace quorl::usage
