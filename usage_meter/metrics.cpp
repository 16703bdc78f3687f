#include "usage_meter/metrics.hpp"

#include <cmath>

namespace quorl::usage {
namespace {

// How far a start given by the host may be from the kernel's when it is the only proof.
constexpr double kStartToleranceMs = 2.0;
// Integers above this are no longer exact in a double, which is what hosts read them as.
constexpr uint64_t kMaxExact = 9007199254740992ull;  // 2^53

std::optional<StartRecord> readableStart(MeterPlatform& platform, int32_t pid) {
  auto record = platform.startRecord(pid);
  if (!record || !startMilliseconds(*record)) return std::nullopt;
  return record;
}

bool sameStart(const StartRecord& a, const StartRecord& b) {
  return a.seconds == b.seconds && a.micros == b.micros;
}

}  // namespace

std::optional<double> startMilliseconds(const StartRecord& r) {
  if (r.seconds == 0 || r.micros >= 1000000) return std::nullopt;
  return static_cast<double>(r.seconds) * 1000.0 + static_cast<double>(r.micros) / 1000.0;
}

std::optional<uint64_t> cpuNanoseconds(std::optional<uint64_t> total, std::optional<Timebase> timebase) {
  if (!total || !timebase || timebase->denominator == 0) return std::nullopt;
  double ns = static_cast<double>(*total) * static_cast<double>(timebase->numerator) /
              static_cast<double>(timebase->denominator);
  if (!std::isfinite(ns) || ns < 0 || ns > 9007199254740991.0) return std::nullopt;
  return static_cast<uint64_t>(ns);
}

std::optional<ProcessMetrics> readProcessMetrics(MeterPlatform& platform, const ProcessRequest& request) {
  auto before = readableStart(platform, request.pid);
  if (!before) return std::nullopt;
  double start = *startMilliseconds(*before);

  if (request.startedAt && request.parentPid) {
    if (start != *request.startedAt || before->ppid != *request.parentPid) return std::nullopt;
  } else if (request.startedAt) {
    if (std::fabs(start - *request.startedAt) > kStartToleranceMs) return std::nullopt;
  } else if (request.parentPid) {
    if (before->ppid != *request.parentPid) return std::nullopt;
  } else {
    return std::nullopt;
  }

  auto usage = platform.usage(request.pid);
  if (!usage) return std::nullopt;

  // The figures were read between two identical identity reads, so they are this process's.
  auto after = readableStart(platform, request.pid);
  if (!after || !sameStart(*before, *after)) return std::nullopt;
  if (request.parentPid && after->ppid != *request.parentPid) return std::nullopt;

  ProcessMetrics m;
  m.startedAt = request.startedAt.value_or(start);
  m.footprintBytes = usage->footprintBytes;
  m.residentBytes = usage->residentBytes;
  m.cpuTimeNs = cpuNanoseconds(usage->cpuTime, platform.timebase());
  return m;
}

std::optional<GroupMetrics> readGroupMetrics(MeterPlatform& platform, const GroupRequest& request) {
  if (request.pgid <= 1) return std::nullopt;
  auto leader = readableStart(platform, request.pgid);
  if (!leader) return std::nullopt;
  double start = *startMilliseconds(*leader);
  if (request.startedAt && std::fabs(start - *request.startedAt) > kStartToleranceMs) return std::nullopt;

  auto members = platform.groupMembers(request.pgid);
  if (!members || members->empty()) return std::nullopt;

  GroupMetrics m;
  size_t listed = 0;
  for (int32_t pid : *members) {
    if (++listed > 1024) break;
    if (pid <= 0) continue;
    auto usage = platform.usage(pid);
    if (!usage) continue;
    if (m.footprintBytes > UINT64_MAX - usage->footprintBytes) return std::nullopt;
    if (m.residentBytes > UINT64_MAX - usage->residentBytes) return std::nullopt;
    m.footprintBytes += usage->footprintBytes;
    m.residentBytes += usage->residentBytes;
    ++m.processCount;
  }
  if (m.processCount == 0) return std::nullopt;

  auto again = readableStart(platform, request.pgid);
  if (!again || !sameStart(*leader, *again)) return std::nullopt;
  if (m.footprintBytes >= kMaxExact || m.residentBytes >= kMaxExact) return std::nullopt;
  m.startedAt = request.startedAt.value_or(start);
  return m;
}

std::string pressureName(Pressure p) {
  switch (p) {
    case Pressure::normal: return "normal";
    case Pressure::warning: return "warning";
    case Pressure::critical: return "critical";
    case Pressure::unknown: break;
  }
  return "unknown";
}

Response answer(MeterPlatform& platform, const Request& request) {
  platform.beginRequest();
  Response response;
  response.id = request.id;
  for (const auto& p : request.processes) {
    ProcessSample s;
    s.pid = p.pid;
    s.startedAt = p.startedAt;
    if (auto m = readProcessMetrics(platform, p)) {
      s.startedAt = m->startedAt;
      s.footprintBytes = m->footprintBytes;
      s.residentBytes = m->residentBytes;
      s.cpuTimeNs = m->cpuTimeNs;
    }
    response.processes.push_back(s);
  }
  for (const auto& g : request.groups) {
    GroupSample s;
    s.pgid = g.pgid;
    s.startedAt = g.startedAt;
    if (auto m = readGroupMetrics(platform, g)) {
      s.startedAt = m->startedAt;
      s.processCount = m->processCount;
      s.footprintBytes = m->footprintBytes;
      s.residentBytes = m->residentBytes;
    }
    response.groups.push_back(s);
  }
  response.pressure = pressureName(platform.pressure());
  response.swapUsedBytes = platform.swapUsedBytes();
  response.availableBytes = platform.availableBytes();
  platform.endRequest();
  return response;
}

}  // namespace quorl::usage
