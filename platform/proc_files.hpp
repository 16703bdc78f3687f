#pragma once
// Process and system figures from /proc: start record, memory, processor time,
// process groups, initial environment, available memory, swap and memory pressure.
//
// Every reader returns absent when the file cannot be read or parsed (a process
// that is gone, a kernel thread without memory figures, a kernel without PSI).
// Files are read with one open/read/close each, into a small buffer where the file
// is small, so that sampling dozens of processes stays cheap.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorl::platform::proc {

// The fields of /proc/PID/stat that the suite uses.
struct StatRecord {
  char state = '?';             // R, S, D, Z, ...
  int32_t ppid = 0;
  int32_t pgrp = 0;
  uint64_t startTicks = 0;      // clock ticks after boot
  uint64_t utimeTicks = 0;
  uint64_t stimeTicks = 0;
};

// Parses the text of /proc/PID/stat (the command name may hold spaces and parentheses).
std::optional<StatRecord> parseStat(std::string_view text);
std::optional<StatRecord> readStat(pid_t pid);

// A process's start and parent as one consistent read of /proc/PID/stat.
struct StartRecord {
  uint64_t seconds = 0;         // since 1970
  uint64_t micros = 0;          // within that second, 0..999999
  int32_t ppid = 0;
  int32_t pgrp = 0;
  bool zombie = false;
};
// The same start that the start token of a process is made from; absent for a pid
// that does not exist.
std::optional<StartRecord> readStartRecord(pid_t pid);

// An open /proc/PID/stat.  Every read through it describes the process that held the
// pid when it was opened, and fails once that process has gone, even when a new
// process has taken the pid since: two identical reads bracket whatever was read in
// between with the same process.
class StatHandle {
 public:
  explicit StatHandle(pid_t pid);
  ~StatHandle();
  StatHandle(StatHandle&& other) noexcept;
  StatHandle& operator=(StatHandle&&) = delete;
  StatHandle(const StatHandle&) = delete;
  StatHandle& operator=(const StatHandle&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  std::optional<StartRecord> read() const;

 private:
  int fd_ = -1;
};

// Memory of a process, from /proc/PID/status:
//  resident  = VmRSS (every resident page the process maps: anonymous, file, shmem);
//  footprint = RssAnon + VmSwap (the memory only this process is charged for: its
//              private, dirty anonymous pages, whether in RAM or swapped out).
struct MemoryFigures {
  uint64_t residentBytes = 0;
  uint64_t footprintBytes = 0;
};
// Absent when the status has no VmRSS line (kernel threads, zombies).
std::optional<MemoryFigures> parseStatus(std::string_view text);
std::optional<MemoryFigures> readMemory(pid_t pid);

// The same figures from /proc/PID/statm (resident and shared pages: resident less
// shared is RssAnon), which the kernel produces far more cheaply than status.  statm
// has no swap figure: with `swapInUse` false (nothing on the system is swapped out,
// so VmSwap is 0 everywhere) status is not read at all; otherwise VmSwap comes from it.
// Absent for a process without memory (kernel threads, zombies).
std::optional<MemoryFigures> parseStatm(std::string_view text, uint64_t pageSize);
std::optional<MemoryFigures> readMemoryFast(pid_t pid, bool swapInUse);

// Processor time (user + system, every thread, living and exited) of a process in
// nanoseconds, from its process CPU clock.
std::optional<uint64_t> cpuTimeNs(pid_t pid);

// Every process on the system as (pid, process group): the pids of /proc, each
// group asked of the kernel (getpgid), without reading a file per process.
std::vector<std::pair<pid_t, pid_t>> processGroupTable();

// The members of one process group, at most `limit` of them, in /proc order.
std::vector<pid_t> processGroupMembers(pid_t pgid, size_t limit = 1024);

// The raw initial environment of a process (/proc/PID/environ: NUL-terminated
// entries); absent when it cannot be read (another user's process, no such pid).
std::optional<std::string> readEnvironment(pid_t pid);

// Whether one entry of an environment block is byte for byte `entry`.
bool environmentHasEntry(std::string_view block, std::string_view entry);
// The value of NAME in an environment block (the first NAME=... entry).
std::optional<std::string> environmentValue(std::string_view block, std::string_view name);

// System memory from /proc/meminfo.
struct MemInfo {
  std::optional<uint64_t> availableBytes;   // MemAvailable
  std::optional<uint64_t> swapUsedBytes;    // SwapTotal - SwapFree
};
MemInfo parseMemInfo(std::string_view text);
MemInfo readMemInfo();

// Memory pressure stall information (/proc/pressure/memory): the share of the last
// ten seconds in which some task (some) or every non-idle task (full) waited for memory.
struct MemoryPressure {
  double someAvg10 = 0;
  double fullAvg10 = 0;
};
std::optional<MemoryPressure> parsePressure(std::string_view text);
std::optional<MemoryPressure> readMemoryPressure();

enum class PressureLevel { normal, warning, critical };
// normal below the thresholds; warning from some avg10 >= 10 % or full avg10 >= 2 %;
// critical from some avg10 >= 40 % or full avg10 >= 10 %.
PressureLevel pressureLevel(const MemoryPressure& p);

}  // namespace quorl::platform::proc
