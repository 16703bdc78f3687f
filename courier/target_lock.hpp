#pragma once
// TargetLock: one session's exclusive ownership of one target process incarnation,
// through an advisory lock (flock) on a small file in a per-user directory.  The
// file holds a JSON record of the owner and of the input it holds down, so that a
// later owner learns what a dead owner left pressed.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

namespace quorl::courier {

class TargetLock {
 public:
  using Json = nlohmann::json;
  // Start token of a process (absent when it does not run); injectable for tests.
  using StartOf = std::function<std::optional<std::string>(pid_t)>;

  struct Held {
    std::unique_ptr<TargetLock> lock;
    std::optional<Json> reclaimed;
  };
  struct Busy {
    Json record;  // the owner's record, possibly empty; "unverified": true in the unverified case
  };
  struct Failed {
    std::string reason;  // "ownership_unavailable"
  };
  using Acquired = std::variant<Held, Busy, Failed>;

  // Where this process keeps lock files: $XDG_RUNTIME_DIR when set, else $TMPDIR,
  // else /tmp, joined with "quorl-input-courier".  Computed once.
  static const std::string& directory();
  // <dir>/target-<pid>-<start with ':' as '-'>.lock
  static std::string path(const std::string& dir, pid_t pid, const std::string& start);

  // `dir` is directory() in the service and a private directory in tests.
  static Acquired acquire(const std::string& dir, pid_t pid, const std::string& start,
                          const std::string& session, const StartOf& startOf);

  ~TargetLock();  // closes the descriptor if release() never ran
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  // Mirrors the held-input summary (none when nothing is held) into the record.
  void update(const std::optional<Json>& held);
  // Truncates the file, unlocks and closes it.  Once.
  void release();

  // The record as last built (for tests).
  Json record() const;

 private:
  TargetLock(int fd, Json record) : fd_(fd), record_(std::move(record)) {}
  bool write();  // guardLock_ held

  int fd_;
  mutable std::mutex guardLock_;
  Json record_;
  std::optional<Json> held_;
  bool released_ = false;
};

}  // namespace quorl::courier
