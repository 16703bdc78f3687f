#include "shared/process_start.hpp"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace quorl {
namespace {

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return buffer.str();
}


// Boot time is read once per process: the same process then keeps the same token
// for as long as this program runs, whatever the wall clock does.
std::optional<int64_t> bootTime() {
  static std::once_flag once;
  static std::optional<int64_t> value;
  std::call_once(once, [] {
    if (auto text = readFile("/proc/stat")) value = procfs::bootTimeFromProcStat(*text);
  });
  return value;
}

}  // namespace

namespace procfs {

std::optional<uint64_t> parseUnsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return std::nullopt;
    v = next;
  }
  return v;
}

std::optional<uint64_t> startTicksFromStat(std::string_view stat) {
  // The command name (field 2) is in parentheses and may itself hold spaces and
  // parentheses; the fields after it start after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // rest begins with " S ..." : field 3 is the state; starttime is field 22.
  int field = 2;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i >= rest.size()) break;
    size_t end = rest.find(' ', i);
    if (end == std::string_view::npos) end = rest.size();
    ++field;
    if (field == 22) {
      std::string_view token = rest.substr(i, end - i);
      while (!token.empty() && (token.back() == '\n')) token.remove_suffix(1);
      return parseUnsigned(token);
    }
    i = end;
  }
  return std::nullopt;
}

std::optional<int64_t> bootTimeFromProcStat(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.substr(0, 6) == "btime ") {
      auto v = parseUnsigned(line.substr(6));
      if (!v || *v == 0 || *v > static_cast<uint64_t>(INT64_MAX / 1000000)) return std::nullopt;
      return static_cast<int64_t>(*v);
    }
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace procfs

std::optional<int64_t> processStartMicros(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto boot = bootTime();
  if (!boot) return std::nullopt;
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  auto ticks = procfs::startTicksFromStat(*stat);
  if (!ticks) return std::nullopt;
  return procfs::startMicrosFromTicks(*ticks);
}

std::optional<int64_t> procfs::startMicrosFromTicks(uint64_t ticks) {
  auto boot = bootTime();
  if (!boot) return std::nullopt;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) return std::nullopt;
  if (ticks > static_cast<uint64_t>(INT64_MAX / 1000000)) return std::nullopt;
  int64_t micros = *boot * 1000000 + static_cast<int64_t>(ticks) * 1000000 / hz;
  if (micros / 1000000 == 0) return std::nullopt;
  return micros;
}

std::string formatStartToken(int64_t micros) {
  return std::to_string(micros / 1000000) + ":" + std::to_string(micros % 1000000);
}

std::optional<std::string> processStart(pid_t pid) {
  auto micros = processStartMicros(pid);
  if (!micros) return std::nullopt;
  return formatStartToken(*micros);
}

std::optional<std::string> executablePath(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  char buf[4096];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 1) return std::nullopt;
  buf[n] = '\0';
  return canonicalPath(std::string(buf));
}

std::string canonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return std::string(resolved);
  return path;
}

const std::optional<std::string>& decorationPath() {
  static const std::optional<std::string> value = []() -> std::optional<std::string> {
    auto own = executablePath(getpid());
    if (!own) return std::nullopt;
    size_t slash = own->rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : own->substr(0, slash);
    return canonicalPath(dir + "/agent-overlay");
  }();
  return value;
}

}  // namespace quorl
