#include "process_passport/passport.hpp"

#include <algorithm>

#include "common/unicode.hpp"

namespace quorl::passport {
namespace {

// 2001-01-01 00:00:00 UTC in seconds since 1970.
constexpr double kEpoch2001 = 978307200.0;

// A start the kernel record may be trusted for: seconds set, microseconds in range.
std::optional<ProcessStart> validStart(const std::optional<ProcessStart>& s) {
  if (!s || s->seconds == 0 || s->micros >= 1000000) return std::nullopt;
  return s;
}

}  // namespace

std::string_view message(IdentityError error) {
  switch (error) {
    case IdentityError::usage:
      return "Usage: process-passport <positive process ID> | process-passport bundle <bundle identifier>";
    case IdentityError::unavailable:
      return "The application process has no readable, live bundle identity and launch date.";
    case IdentityError::changed:
      return "The application process changed while its identity was being read.";
  }
  return {};
}

double launchDate(const ProcessStart& start) {
  return (static_cast<double>(start.seconds) - kEpoch2001) + static_cast<double>(start.micros) / 1000000.0;
}

std::string startToken(const ProcessStart& start) {
  return std::to_string(start.seconds) + ":" + std::to_string(start.micros);
}

nlohmann::json toJson(const ProcessPassport& p) {
  nlohmann::json j = nlohmann::json::object();
  j["pid"] = p.pid;
  j["bundleId"] = p.bundleId;
  j["launchDate"] = launchDate(p.start);
  j["processStart"] = startToken(p.start);
  if (p.bundlePath) j["bundlePath"] = *p.bundlePath;
  if (p.executablePath) j["executablePath"] = *p.executablePath;
  j["launchedByQuorl"] = p.launchedByQuorl;
  return j;
}

IdentityResult readIdentity(PassportPlatform& platform, int32_t pid) {
  auto first = validStart(platform.kernelStart(pid));
  if (!first) return IdentityError::unavailable;

  auto a = platform.application(pid);
  if (!a || a->isTerminated()) return IdentityError::unavailable;
  auto bundleId = a->bundleIdentifier();
  if (!bundleId || bundleId->empty()) return IdentityError::unavailable;

  // Second look: the same application must still be there under the same pid.
  if (a->isTerminated()) return IdentityError::changed;
  auto b = platform.application(pid);
  if (!b || b->isTerminated()) return IdentityError::changed;
  auto again = b->bundleIdentifier();
  if (!again || *again != *bundleId) return IdentityError::changed;

  auto second = validStart(platform.kernelStart(pid));
  if (!second) return IdentityError::unavailable;
  if (!(*second == *first)) return IdentityError::changed;
  if (a->isTerminated()) return IdentityError::changed;

  ProcessPassport passport;
  passport.pid = pid;
  passport.bundleId = *bundleId;
  passport.start = *first;
  passport.bundlePath = b->bundlePath();
  passport.executablePath = b->executablePath();
  passport.launchedByQuorl = platform.launchedByQuorl(pid);
  return passport;
}

std::vector<ProcessPassport> readProcesses(PassportPlatform& platform, const std::string& bundleId) {
  std::vector<ProcessPassport> list;
  for (const auto& app : platform.applications(bundleId)) {
    if (!app || app->isTerminated()) continue;
    auto result = readIdentity(platform, app->pid());
    if (auto* passport = std::get_if<ProcessPassport>(&result))
      if (passport->bundleId == bundleId) list.push_back(std::move(*passport));
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const ProcessPassport& x, const ProcessPassport& y) { return x.pid < y.pid; });
  return list;
}

std::optional<int32_t> parsePid(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483647) {
      // Leading zeros are fine, so only the value (not the length) can overflow.
      return std::nullopt;
    }
  }
  if (value < 1) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool validBundleId(std::string_view text) {
  if (text.empty()) return false;
  for (char32_t cp : unicode::codePoints(text)) {
    if (cp <= 0x1F || cp == 0x7F) return false;
    if (unicode::isWhiteSpace(cp)) return false;
  }
  // A grapheme is at least one byte, so only long texts need counting.
  if (text.size() > 255 && unicode::graphemeCount(text) > 255) return false;
  return true;
}

std::optional<Command> parseArguments(const std::vector<std::string>& args) {
  if (args.size() == 1) {
    auto pid = parsePid(args[0]);
    if (!pid) return std::nullopt;
    return Command{pid, {}};
  }
  if (args.size() == 2 && args[0] == "bundle") {
    if (!validBundleId(args[1])) return std::nullopt;
    return Command{std::nullopt, args[1]};
  }
  return std::nullopt;
}

namespace {
std::string dumpLine(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
}  // namespace

Outcome run(const std::vector<std::string>& args, PassportPlatform& platform) {
  auto command = parseArguments(args);
  if (!command) return Outcome{1, {}, std::string(message(IdentityError::usage)) + "\n"};
  if (command->pid) {
    auto result = readIdentity(platform, *command->pid);
    if (auto* error = std::get_if<IdentityError>(&result))
      return Outcome{1, {}, std::string(message(*error)) + "\n"};
    return Outcome{0, dumpLine(toJson(std::get<ProcessPassport>(result))), {}};
  }
  nlohmann::json array = nlohmann::json::array();
  for (const auto& passport : readProcesses(platform, command->bundleId)) array.push_back(toJson(passport));
  return Outcome{0, dumpLine(array), {}};
}

}  // namespace quorl::passport
