#pragma once
// Measuring processes, process groups and the system for quorl-usage-meter, over a
// narrow platform interface (linux_platform.cpp: /proc; tests: a recording fake).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usage_meter/protocol.hpp"

namespace quorl::usage {

// The kernel's start record of a process.
struct StartRecord {
  uint64_t seconds = 0;
  uint64_t micros = 0;
  int32_t ppid = 0;
};

// Memory and processor use of one process; cpuTime in the platform's time units.
struct Usage {
  uint64_t footprintBytes = 0;
  uint64_t residentBytes = 0;
  std::optional<uint64_t> cpuTime;
};

// Platform time units per nanosecond as numerator / denominator.
struct Timebase {
  uint32_t numerator = 1;
  uint32_t denominator = 1;
};

enum class Pressure { normal, warning, critical, unknown };

class MeterPlatform {
 public:
  virtual ~MeterPlatform() = default;
  // Called before and after each request is measured: anything the platform keeps
  // while measuring belongs to one request and is released at its end.
  virtual void beginRequest() {}
  virtual void endRequest() {}
  // The start record; within one request, every read of one pid must describe the
  // same process or fail.
  virtual std::optional<StartRecord> startRecord(int32_t pid) = 0;
  virtual std::optional<Usage> usage(int32_t pid) = 0;
  virtual std::optional<Timebase> timebase() = 0;
  // The members of a process group, at most 1024; absent when they cannot be listed.
  virtual std::optional<std::vector<int32_t>> groupMembers(int32_t pgid) = 0;
  virtual Pressure pressure() = 0;
  virtual std::optional<uint64_t> swapUsedBytes() = 0;
  virtual std::optional<uint64_t> availableBytes() = 0;
};

struct ProcessMetrics {
  double startedAt = 0;
  uint64_t footprintBytes = 0;
  uint64_t residentBytes = 0;
  std::optional<uint64_t> cpuTimeNs;
};

struct GroupMetrics {
  double startedAt = 0;
  uint64_t processCount = 0;
  uint64_t footprintBytes = 0;
  uint64_t residentBytes = 0;
};

// Start time in milliseconds since 1970; absent for an unreadable record.
std::optional<double> startMilliseconds(const StartRecord& record);

// User + system time in nanoseconds; absent when it cannot be expressed exactly
// enough (no time base, a zero denominator, beyond 2^53 - 1).
std::optional<uint64_t> cpuNanoseconds(std::optional<uint64_t> total, std::optional<Timebase> timebase);

std::optional<ProcessMetrics> readProcessMetrics(MeterPlatform& platform, const ProcessRequest& request);
std::optional<GroupMetrics> readGroupMetrics(MeterPlatform& platform, const GroupRequest& request);

std::string pressureName(Pressure p);

// Measures a whole (valid) request, in order: processes, groups, system values.
Response answer(MeterPlatform& platform, const Request& request);

}  // namespace quorl::usage
