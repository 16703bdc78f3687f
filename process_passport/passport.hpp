#pragma once
// process-passport: who a running application process is (identifier, start,
// paths, whether the agent started it), for one pid or for every process of one
// identifier.  The logic runs over PassportPlatform; linux_platform.cpp is the real one.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorl::passport {

// The kernel's start of a process: seconds since 1970 and microseconds.
struct ProcessStart {
  uint64_t seconds = 0;
  uint64_t micros = 0;
  bool operator==(const ProcessStart&) const = default;
};

struct ProcessPassport {
  int32_t pid = 0;
  std::string bundleId;
  ProcessStart start;
  std::optional<std::string> bundlePath;
  std::optional<std::string> executablePath;
  bool launchedByQuorl = false;
};

enum class IdentityError { usage, unavailable, changed };
std::string_view message(IdentityError error);

// A handle on one running application, as the platform keeps it.
class AppHandle {
 public:
  virtual ~AppHandle() = default;
  virtual int32_t pid() const = 0;
  virtual bool isTerminated() const = 0;  // read live
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  virtual std::optional<std::string> bundlePath() const = 0;
  virtual std::optional<std::string> executablePath() const = 0;
};

class PassportPlatform {
 public:
  virtual ~PassportPlatform() = default;
  // The kernel's start record; absent when it cannot be read.
  virtual std::optional<ProcessStart> kernelStart(int32_t pid) = 0;
  // The running application with this pid; null when there is none.
  virtual std::unique_ptr<AppHandle> application(int32_t pid) = 0;
  // The running applications with this identifier, in any order.
  virtual std::vector<std::unique_ptr<AppHandle>> applications(const std::string& bundleId) = 0;
  // The process's initial environment holds the exact entry "QUORL_LAUNCHED=1".
  virtual bool launchedByQuorl(int32_t pid) = 0;
};

// Seconds since 2001-01-01 00:00:00 UTC with the microsecond fraction.
double launchDate(const ProcessStart& start);
std::string startToken(const ProcessStart& start);
nlohmann::json toJson(const ProcessPassport& passport);

using IdentityResult = std::variant<ProcessPassport, IdentityError>;
IdentityResult readIdentity(PassportPlatform& platform, int32_t pid);
std::vector<ProcessPassport> readProcesses(PassportPlatform& platform, const std::string& bundleId);

// The two command-line forms.
struct Command {
  std::optional<int32_t> pid;    // `process-passport <pid>`
  std::string bundleId;          // `process-passport bundle <id>` when pid is absent
};
std::optional<int32_t> parsePid(std::string_view text);
bool validBundleId(std::string_view text);
std::optional<Command> parseArguments(const std::vector<std::string>& args);

// Runs one invocation: the text for standard output or standard error, and the status.
struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};
Outcome run(const std::vector<std::string>& args, PassportPlatform& platform);

// The real platform: /proc and the running-applications layer.
std::unique_ptr<PassportPlatform> linuxPlatform();

}  // namespace quorl::passport
