#include "courier/target_lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <vector>

#include "common/event_json.hpp"
#include "common/json_fields.hpp"

namespace quorl::courier {
namespace {

using Json = nlohmann::json;

constexpr int kAttempts = 4;
constexpr size_t kSweepLimit = 512;
constexpr size_t kRecordLimit = 4096;

bool sameFile(int fd, const std::string& path) {
  struct stat a {};
  struct stat b {};
  if (fstat(fd, &a) != 0 || lstat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<int32_t> parsePid(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

// Absent: unreadable (read error, not JSON, not an object).
std::optional<Json> readRecord(int fd) {
  std::string bytes(kRecordLimit, '\0');
  ssize_t n;
  do {
    n = pread(fd, bytes.data(), bytes.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  if (n == 0) return Json::object();
  bytes.resize(static_cast<size_t>(n));
  Json parsed = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

void sweep(const std::string& dir, const TargetLock::StartOf& startOf) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (names.size() < kSweepLimit) {
    dirent* e = readdir(d);
    if (!e) break;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  static const std::string kPrefix = "target-";
  static const std::string kSuffix = ".lock";
  for (const auto& name : names) {
    if (name.size() < kPrefix.size() + kSuffix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0 ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
      continue;
    std::string rest = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    std::vector<std::string> pieces;
    size_t from = 0;
    while (from <= rest.size()) {
      size_t dash = rest.find('-', from);
      if (dash == std::string::npos) dash = rest.size();
      if (dash > from) pieces.push_back(rest.substr(from, dash - from));
      from = dash + 1;
    }
    if (pieces.size() != 3) continue;
    auto oldPid = parsePid(pieces[0]);
    if (!oldPid) continue;
    std::string token = pieces[1] + ":" + pieces[2];
    if (startOf(*oldPid) == token) continue;  // the old target still runs
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && sameFile(fd, path)) unlink(path.c_str());
    close(fd);
  }
}

Json reclaimedFrom(const Json& old) {
  Json r = Json::object();
  auto hp = fields::integer(old, "helper_pid");
  r["holder_pid"] = hp.value_or(0);
  auto pressed = fields::boolean(old, "pressed");
  r["pressed"] = pressed.value_or(true);
  if (auto held = fields::object(old, "held")) r["held"] = *held;
  return r;
}

double wallSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

const std::string& TargetLock::directory() {
  static const std::string dir = [] {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base;
    if (runtime && *runtime) {
      base = runtime;
    } else {
      const char* tmp = std::getenv("TMPDIR");
      base = (tmp && *tmp) ? tmp : "/tmp";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/quorl-input-courier";
  }();
  return dir;
}

std::string TargetLock::path(const std::string& dir, pid_t pid, const std::string& start) {
  std::string token = start;
  for (char& c : token)
    if (c == ':') c = '-';
  return dir + "/target-" + std::to_string(pid) + "-" + token + ".lock";
}

TargetLock::Acquired TargetLock::acquire(const std::string& dir, pid_t pid, const std::string& start,
                                         const std::string& session, const StartOf& startOf) {
  const Failed failed{"ownership_unavailable"};
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed;
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 022) != 0)
    return failed;

  sweep(dir, startOf);

  const std::string file = path(dir, pid, start);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      auto record = readRecord(fd);
      close(fd);
      if (err == EWOULDBLOCK) return Busy{record.value_or(Json::object())};
      return failed;
    }
    if (!sameFile(fd, file)) {
      close(fd);  // unlinked or replaced after the open: try a fresh file
      continue;
    }
    std::optional<Json> reclaimed;
    auto previous = readRecord(fd);
    if (!previous) {
      reclaimed = Json{{"holder_pid", 0}, {"pressed", true}};
    } else if (!previous->empty()) {
      int64_t hp = fields::integer(*previous, "helper_pid").value_or(0);
      auto hs = fields::string(*previous, "helper_start");
      if (hp >= 1 && hp <= INT32_MAX && hs && startOf(static_cast<pid_t>(hp)) == *hs) {
        // The owner still runs although the file is unlocked: do not take over.
        flock(fd, LOCK_UN);
        close(fd);
        Json record = *previous;
        record["unverified"] = true;
        return Busy{record};
      }
      reclaimed = reclaimedFrom(*previous);
    }
    Json record = {{"helper_pid", getpid()},
                   {"helper_start", startOf(getpid()).value_or("")},
                   {"session", session},
                   {"target_pid", pid},
                   {"target_start", start},
                   {"pressed", false},
                   {"since", wallSeconds()}};
    std::unique_ptr<TargetLock> lock(new TargetLock(fd, std::move(record)));
    bool written;
    {
      std::lock_guard<std::mutex> g(lock->guardLock_);
      written = lock->write();
    }
    if (!written) {
      lock->release();
      return failed;
    }
    return Held{std::move(lock), std::move(reclaimed)};
  }
  return failed;
}

TargetLock::~TargetLock() {
  std::lock_guard<std::mutex> g(guardLock_);
  if (!released_ && fd_ >= 0) close(fd_);
}

bool TargetLock::write() {
  auto text = writeEventJson(record_);
  if (!text) return false;
  if (ftruncate(fd_, 0) != 0) return false;
  ssize_t n;
  do {
    n = pwrite(fd_, text->data(), text->size(), 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text->size());
}

void TargetLock::update(const std::optional<Json>& held) {
  std::lock_guard<std::mutex> g(guardLock_);
  if (released_) return;
  if (held == held_) return;
  held_ = held;
  record_["pressed"] = held.has_value();
  if (held)
    record_["held"] = *held;
  else
    record_.erase("held");
  (void)write();
}

void TargetLock::release() {
  std::lock_guard<std::mutex> g(guardLock_);
  if (released_) return;
  released_ = true;
  if (ftruncate(fd_, 0) != 0) {
    // Nothing more to do: the lock is dropped below all the same.
  }
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

TargetLock::Json TargetLock::record() const {
  std::lock_guard<std::mutex> g(guardLock_);
  return record_;
}

}  // namespace quorl::courier
