#pragma once
// The input-courier service: request reader, sessions, the act queue, stops and
// the user-activity guard, held input, and the pointer and keyboard drivers.
//
// Threads: the caller of run() parks; a request reader handles every request
// line; an idle watcher looks at the session's deadline every 250 ms; one guard
// per active session polls the user's hardware input every 5 ms; one serial
// delivery worker runs acts.  `lock_` guards the session slot, the watch
// generation and every mutable field of a Session; it is never held while
// posting events, sleeping, writing output or writing a lock file.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "courier/courier_platform.hpp"
#include "courier/serial_queue.hpp"
#include "courier/target_lock.hpp"

namespace quorl::courier {

using Json = nlohmann::json;

// Why a running act stops early.
enum class Stop { cancelled, yield, ending, targetChanged, noReply };
const char* toString(Stop stop);
std::optional<Stop> stopFromString(std::string_view wire);

struct HeldButton {
  Button button = Button::left;
  Point point;
  int64_t window = 0;
};

// What a driver got done: none for `stop` when it ran to its end.
struct DriverResult {
  std::optional<Stop> stop;
  int64_t units = 0;
  bool pressed = false;
  bool operator==(const DriverResult&) const = default;
};

struct Session {
  // Fixed at begin.
  std::string id;
  int64_t generation = 0;
  pid_t pid = 0;
  std::string start;
  double idleMs = 90000;
  pid_t frontAtBegin = -1;
  double began = 0;
  std::unique_ptr<TargetLock> ownership;

  // Mutable: only under Server's lock.
  enum class State { active, ending };
  State state = State::active;
  double deadline = 0;
  std::map<uint16_t, uint64_t> pressedKeys;
  std::optional<HeldButton> buttonDown;
  std::set<int64_t> queued;
  std::set<int64_t> cancelled;
  std::optional<int64_t> running;
  std::optional<Stop> stop;
  int64_t acts = 0;
};
using SessionRef = std::shared_ptr<Session>;

// Result of an accessibility operation.
struct AXOutcome {
  enum class Kind { done, refused, noReply, stopped };
  Kind kind = Kind::done;
  Json extra = Json::object();  // done: merged into the "delivered" event
  std::string reason;           // refused: the refusal reason
};
// An accessibility operation; `proceed` is its last-moment check before it
// commits a change (false: give up with `stopped`).
using AXOperation = std::function<AXOutcome(const std::function<bool()>& proceed)>;
// Builds the operation of an accessibility act; none when the action's fields are unusable.
using AccessibilityRequest =
    std::function<std::optional<AXOperation>(const SessionRef&, const std::string& kind, const Json& action,
                                             int64_t window)>;

struct ServerOptions {
  // Lock files go here (TargetLock::directory() when empty).
  std::string lockDirectory;
  // Writes one event line (Out::emit to standard output when unset).
  std::function<void(Json)> emit;
  // INPUT_COURIER_TEST_HOOKS is "1" (read from the environment when unset).
  std::optional<bool> testHooks;
  // The accessibility kinds' operations; without it those kinds are refused
  // "unsupported_kind".
  AccessibilityRequest accessibilityRequest;
};

class Server {
 public:
  static constexpr double kGuardPollMs = 5;
  static constexpr double kIdleWatchMs = 250;
  static constexpr double kFinishWaitMs = 3000;

  Server(CourierPlatform& platform, ServerOptions options = {});
  ~Server();  // ends every thread it started (see shutdown)
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the request reader on `inputFd` and the idle watcher, writes "hello",
  // and parks until the reader has finished with the end of input.  Returns
  // true when every ending in progress completed within 3 s.
  bool run(int inputFd);

  // Reader loop over `fd`; at the end of input finishes the session with
  // "stdin_eof" and waits at most 3 s for endings in progress.
  bool readInput(int fd);
  // One framed request line (absent: over the limit).
  void handleLine(const std::optional<std::string>& line);

  void startIdleWatcher();
  // Ends the idle watcher, the guards and the delivery worker.  Idempotent.
  void shutdown();

  // Sessions.
  void begin(const std::string& id, int64_t generation, pid_t pid, const std::string& start, double idleMs);
  void renew(const Json& request);
  // Ends the current session if it is active (and is `only`, when given).
  void finish(const std::string& reason, bool yielded, const SessionRef& only = nullptr);
  void yieldSession(const SessionRef& session, const std::string& reason, const Json& detail);
  SessionRef current(const Json& request);
  SessionRef session();  // the slot's session, for tests

  // Acts.
  void enqueue(const Json& request);
  void cancel(int64_t seq, const SessionRef& session);
  void perform(int64_t seq, int64_t window, const Json& action, const SessionRef& session);

  // Stops, the guard and the user's recent presses.
  std::optional<Stop> stopRequested(const SessionRef& session);
  double pressIdleSeconds();
  void guard(const SessionRef& session, int64_t generation);

  // Held input.
  std::optional<Json> heldSummary(const Session& session);  // lock_ held
  void noteKey(const SessionRef& session, uint16_t code, std::optional<uint64_t> flags);
  std::vector<std::string> releaseOwn(const SessionRef& session);

  // Drivers (on the delivery worker).
  enum class PointerKind { click, mouseDown, mouseUp };
  DriverResult pointerInput(const SessionRef& session, PointerKind kind, Button button, int64_t count,
                            double holdMs, Point point, int64_t window);
  DriverResult scroll(const SessionRef& session, Point at, int64_t window, int64_t dx, int64_t dy, bool pixel);
  DriverResult drag(const SessionRef& session, Point from, Point to, Button button, double durationMs,
                    int64_t window);
  DriverResult typeText(const SessionRef& session, const std::string& text);
  DriverResult pressKey(const SessionRef& session, uint16_t code, const std::vector<std::string>& modifiers,
                        double holdMs);

  // Installs a session directly (tests of the drivers and of held input).
  void adoptSessionForTest(const SessionRef& session);

 private:
  void emit(Json event);
  void refuseBegin(const std::string& id, int64_t generation, const std::string& reason, Json extra = {});
  void publishHeld(const SessionRef& session, const std::optional<Json>& held);
  void setButton(const SessionRef& session, std::optional<HeldButton> button);
  bool sameTarget(const SessionRef& session);
  // Waits until the hold has passed, polling for a stop every 2 ms.
  std::optional<Stop> holdWait(const SessionRef& session, double holdMs);
  void completeAct(const SessionRef& session);
  void reapGuards(bool all);
  void idleLoop();
  bool proceed(const SessionRef& session, const Json& action);

  CourierPlatform& platform_;
  ServerOptions options_;
  bool testHooks_ = false;

  std::mutex lock_;
  SessionRef session_;
  int64_t watchGeneration_ = 0;
  int finishing_ = 0;
  std::condition_variable finished_;

  struct GuardThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex guardsLock_;
  std::vector<GuardThread> guards_;

  std::mutex idleLock_;
  std::condition_variable idleWake_;
  bool idleStop_ = false;
  std::thread idleWatcher_;

  std::mutex runLock_;
  std::condition_variable readerDone_;
  bool readerFinished_ = false;
  bool drained_ = true;

  bool shutDown_ = false;
  SerialQueue delivery_;  // last: its worker may call into the fields above
};

}  // namespace quorl::courier
