#include "platform/proc_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "shared/process_start.hpp"

namespace quorl::platform::proc {
namespace {

// Reads a whole file (at most `cap` bytes).  /proc files report a size of 0, so
// this reads until end of file rather than trusting stat.
std::optional<std::string> readFile(const char* path, size_t cap = 1 << 16) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  size_t used = 0;
  text.resize(4096);
  for (;;) {
    if (used == text.size()) {
      if (text.size() >= cap) break;
      text.resize(std::min(cap, text.size() * 2));
    }
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return text;
}

std::string pidPath(pid_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

using procfs::parseUnsigned;

std::optional<int32_t> parseInt32(std::string_view text) {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  auto v = parseUnsigned(text);
  if (!v || *v > 2147483648ull) return std::nullopt;
  if (!negative && *v > 2147483647ull) return std::nullopt;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(*v)) : static_cast<int32_t>(*v);
}

// The value of a "Key:   123 kB" line of status or meminfo, in bytes.
std::optional<uint64_t> kilobyteField(std::string_view text, std::string_view key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      std::string_view rest = line.substr(key.size() + 1);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      size_t digits = 0;
      while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
      auto kb = parseUnsigned(rest.substr(0, digits));
      if (!kb || *kb > UINT64_MAX / 1024) return std::nullopt;
      rest.remove_prefix(digits);
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      if (rest == "kB") return *kb * 1024;
      if (rest.empty()) return *kb;  // a plain count
      return std::nullopt;
    }
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<StatRecord> parseStat(std::string_view text) {
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  StatRecord record;
  int field = 2;  // the command name was field 2
  size_t i = 0;
  bool haveStart = false;
  while (i < rest.size() && field < 22) {
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\n')) ++i;
    if (i >= rest.size()) break;
    size_t end = i;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\n') ++end;
    std::string_view token = rest.substr(i, end - i);
    ++field;
    switch (field) {
      case 3:
        if (token.size() != 1) return std::nullopt;
        record.state = token[0];
        break;
      case 4: {
        auto v = parseInt32(token);
        if (!v) return std::nullopt;
        record.ppid = *v;
        break;
      }
      case 5: {
        auto v = parseInt32(token);
        if (!v) return std::nullopt;
        record.pgrp = *v;
        break;
      }
      case 14:
      case 15:
      case 22: {
        auto v = parseUnsigned(token);
        if (!v) return std::nullopt;
        if (field == 14) record.utimeTicks = *v;
        else if (field == 15) record.stimeTicks = *v;
        else {
          record.startTicks = *v;
          haveStart = true;
        }
        break;
      }
      default:
        break;
    }
    i = end;
  }
  if (!haveStart) return std::nullopt;
  return record;
}

std::optional<StatRecord> readStat(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto text = readFile(pidPath(pid, "stat").c_str());
  if (!text) return std::nullopt;
  return parseStat(*text);
}

namespace {
std::optional<StartRecord> startRecordOf(const std::optional<StatRecord>& stat) {
  if (!stat) return std::nullopt;
  auto micros = quorl::procfs::startMicrosFromTicks(stat->startTicks);
  if (!micros || *micros <= 0) return std::nullopt;
  StartRecord r;
  r.seconds = static_cast<uint64_t>(*micros / 1000000);
  r.micros = static_cast<uint64_t>(*micros % 1000000);
  r.ppid = stat->ppid;
  r.pgrp = stat->pgrp;
  r.zombie = stat->state == 'Z' || stat->state == 'X';
  return r;
}
}  // namespace

std::optional<StartRecord> readStartRecord(pid_t pid) { return startRecordOf(readStat(pid)); }

StatHandle::StatHandle(pid_t pid) {
  if (pid <= 0) return;
  char path[48];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
}

StatHandle::~StatHandle() {
  if (fd_ >= 0) ::close(fd_);
}

StatHandle::StatHandle(StatHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

std::optional<StartRecord> StatHandle::read() const {
  if (fd_ < 0) return std::nullopt;
  // The record is one short line; a process name cannot make it longer than this.
  char buf[2048];
  ssize_t n;
  do {
    n = ::pread(fd_, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  return startRecordOf(parseStat(std::string_view(buf, static_cast<size_t>(n))));
}

std::optional<MemoryFigures> parseStatus(std::string_view text) {
  auto rss = kilobyteField(text, "VmRSS");
  if (!rss) return std::nullopt;
  auto anon = kilobyteField(text, "RssAnon");
  auto swap = kilobyteField(text, "VmSwap");
  MemoryFigures m;
  m.residentBytes = *rss;
  m.footprintBytes = anon.value_or(0) + swap.value_or(0);
  return m;
}

std::optional<MemoryFigures> readMemory(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto text = readFile(pidPath(pid, "status").c_str());
  if (!text) return std::nullopt;
  return parseStatus(*text);
}

std::optional<MemoryFigures> parseStatm(std::string_view text, uint64_t pageSize) {
  // size resident shared text lib data dt, in pages
  uint64_t values[3] = {};
  size_t i = 0;
  for (uint64_t& v : values) {
    while (i < text.size() && text[i] == ' ') ++i;
    size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    auto parsed = parseUnsigned(text.substr(i, end - i));
    if (!parsed || *parsed > UINT64_MAX / pageSize) return std::nullopt;
    v = *parsed;
    i = end;
  }
  uint64_t resident = values[1], shared = values[2];
  // A process without an address space (kernel thread, zombie) shows all zeros.
  if (values[0] == 0 && resident == 0) return std::nullopt;
  MemoryFigures m;
  m.residentBytes = resident * pageSize;
  m.footprintBytes = (resident >= shared ? resident - shared : 0) * pageSize;
  return m;
}

std::optional<MemoryFigures> readMemoryFast(pid_t pid, bool swapInUse) {
  if (pid <= 0) return std::nullopt;
  static const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  char path[48];
  snprintf(path, sizeof path, "/proc/%d/statm", pid);
  // statm is one short line, produced whole by the first read.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[256];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  auto m = parseStatm(std::string_view(buf, static_cast<size_t>(n)), pageSize);
  if (!m || !swapInUse) return m;
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  auto status = readFile(path);
  if (!status) return std::nullopt;
  auto swap = kilobyteField(*status, "VmSwap");
  if (swap) m->footprintBytes += *swap;
  return m;
}

std::optional<uint64_t> cpuTimeNs(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  // The process CPU clock of a pid, as clock_getcpuclockid makes it (the kernel's
  // encoding: the inverted pid, shifted, with the scheduler-clock type), without its
  // extra system call to check that the pid exists: clock_gettime fails for one that
  // does not.
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(pid)) << 3) | 2;
  struct timespec ts;
  if (clock_gettime(clock, &ts) != 0 || ts.tv_sec < 0) return std::nullopt;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::vector<std::pair<pid_t, pid_t>> processGroupTable() {
  std::vector<std::pair<pid_t, pid_t>> table;
  DIR* dir = opendir("/proc");
  if (!dir) return table;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    auto pid = parseInt32(e->d_name);
    if (!pid || *pid <= 0) continue;
    pid_t group = getpgid(*pid);
    if (group < 0) continue;  // gone since the listing
    table.emplace_back(*pid, group);
  }
  closedir(dir);
  return table;
}

std::vector<pid_t> processGroupMembers(pid_t pgid, size_t limit) {
  std::vector<pid_t> members;
  if (pgid <= 0) return members;
  for (auto [pid, group] : processGroupTable()) {
    if (group != pgid) continue;
    if (members.size() >= limit) break;
    members.push_back(pid);
  }
  return members;
}

std::optional<std::string> readEnvironment(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  // The environment and arguments of a process together stay under the kernel's
  // argument limit; a few megabytes is ample.
  return readFile(pidPath(pid, "environ").c_str(), 8u << 20);
}

bool environmentHasEntry(std::string_view block, std::string_view entry) {
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find('\0', pos);
    if (end == std::string_view::npos) end = block.size();
    if (block.substr(pos, end - pos) == entry) return true;
    pos = end + 1;
  }
  return false;
}

std::optional<std::string> environmentValue(std::string_view block, std::string_view name) {
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find('\0', pos);
    if (end == std::string_view::npos) end = block.size();
    std::string_view entry = block.substr(pos, end - pos);
    if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
        entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    pos = end + 1;
  }
  return std::nullopt;
}

MemInfo parseMemInfo(std::string_view text) {
  MemInfo info;
  info.availableBytes = kilobyteField(text, "MemAvailable");
  auto total = kilobyteField(text, "SwapTotal");
  auto free = kilobyteField(text, "SwapFree");
  if (total && free) info.swapUsedBytes = *total >= *free ? *total - *free : 0;
  return info;
}

MemInfo readMemInfo() {
  auto text = readFile("/proc/meminfo");
  if (!text) return {};
  return parseMemInfo(*text);
}

std::optional<MemoryPressure> parsePressure(std::string_view text) {
  auto avg10 = [&](std::string_view kind) -> std::optional<double> {
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(pos, end - pos);
      if (line.size() > kind.size() && line.substr(0, kind.size()) == kind &&
          line[kind.size()] == ' ') {
        size_t at = line.find("avg10=");
        if (at == std::string_view::npos) return std::nullopt;
        std::string number(line.substr(at + 6, line.find(' ', at) - (at + 6)));
        char* stop = nullptr;
        double v = std::strtod(number.c_str(), &stop);
        if (number.empty() || stop != number.c_str() + number.size() || !(v >= 0)) return std::nullopt;
        return v;
      }
      pos = end + 1;
    }
    return std::nullopt;
  };
  auto some = avg10("some");
  if (!some) return std::nullopt;
  // Old kernels report no "full" line for memory; count it as no full stall.
  MemoryPressure p;
  p.someAvg10 = *some;
  p.fullAvg10 = avg10("full").value_or(0.0);
  return p;
}

std::optional<MemoryPressure> readMemoryPressure() {
  auto text = readFile("/proc/pressure/memory");
  if (!text) return std::nullopt;
  return parsePressure(*text);
}

PressureLevel pressureLevel(const MemoryPressure& p) {
  if (p.someAvg10 >= 40.0 || p.fullAvg10 >= 10.0) return PressureLevel::critical;
  if (p.someAvg10 >= 10.0 || p.fullAvg10 >= 2.0) return PressureLevel::warning;
  return PressureLevel::normal;
}

}  // namespace quorl::platform::proc
