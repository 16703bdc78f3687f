#include "courier/server.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "common/json_fields.hpp"
#include "common/out.hpp"
#include "common/unicode.hpp"
#include "courier/request_reader.hpp"

namespace quorl::courier {
namespace {

constexpr double kDefaultIdleMs = 90000;
constexpr double kMinIdleMs = 1000;
constexpr double kMaxIdleMs = 600000;
constexpr size_t kMaxSessionChars = 64;
constexpr size_t kMaxReasonChars = 64;
constexpr double kUserActiveSeconds = 1.5;
constexpr double kTolerance = 0.0005;
constexpr int64_t kMaxScroll = 100000;
constexpr size_t kMaxTextUnits = 32768;
constexpr int64_t kMaxHoldMs = 2000;
constexpr int64_t kMaxTestDelayMs = 5000;

bool testHooksFromEnvironment() {
  static const bool enabled = [] {
    const char* v = std::getenv("INPUT_COURIER_TEST_HOOKS");
    return v != nullptr && std::string_view(v) == "1";
  }();
  return enabled;
}

// "hold_ms": absent gives the default, below 1 gives 0, at most 2000.
double holdFrom(const Json& action, int64_t fallback) {
  auto v = fields::integer(action, "hold_ms");
  if (!v) return static_cast<double>(fallback);
  if (*v < 1) return 0;
  return static_cast<double>(std::min(*v, kMaxHoldMs));
}

Button buttonFrom(const Json& action) {
  return fields::string(action, "button") == "right" ? Button::right : Button::left;
}

std::string firstChars(const std::string& text, size_t n) {
  auto clusters = unicode::graphemes(text);
  if (clusters.size() <= n) return text;
  std::string out;
  for (size_t i = 0; i < n; ++i) out += clusters[i];
  return out;
}

bool isPointerKind(const std::string& kind) {
  return kind == "click" || kind == "mouse_down" || kind == "mouse_up" || kind == "scroll" || kind == "drag";
}

bool isAccessibilityKind(const std::string& kind) {
  return kind == "set_value" || kind == "ax_action" || kind == "invoke_menu" || kind == "window_frame";
}

}  // namespace

const char* toString(Stop stop) {
  switch (stop) {
    case Stop::cancelled: return "cancelled";
    case Stop::yield: return "yield";
    case Stop::ending: return "ending";
    case Stop::targetChanged: return "target_changed";
    case Stop::noReply: return "no_reply";
  }
  return "ending";
}

std::optional<Stop> stopFromString(std::string_view wire) {
  for (Stop s : {Stop::cancelled, Stop::yield, Stop::ending, Stop::targetChanged, Stop::noReply})
    if (wire == toString(s)) return s;
  return std::nullopt;
}

Server::Server(CourierPlatform& platform, ServerOptions options)
    : platform_(platform), options_(std::move(options)) {
  if (!options_.emit) options_.emit = [](Json event) { Out::emit(std::move(event)); };
  if (options_.lockDirectory.empty()) options_.lockDirectory = TargetLock::directory();
}

Server::~Server() { shutdown(); }

void Server::emit(Json event) { options_.emit(std::move(event)); }

// ---------------------------------------------------------------------------
// Entry, reader and threads

bool Server::run(int inputFd) {
  std::thread reader([this, inputFd] {
    bool drained = readInput(inputFd);
    std::lock_guard<std::mutex> g(runLock_);
    drained_ = drained;
    readerFinished_ = true;
    readerDone_.notify_all();
  });
  startIdleWatcher();
  emit({{"event", "hello"},
        {"pid", getpid()},
        {"start", platform_.processStart(getpid()).value_or("")},
        {"route", platform_.route()},
        {"post_access", platform_.postAccess()},
        {"missing", platform_.missing()}});
  // The main thread parks here until the reader has seen the end of input.
  {
    std::unique_lock<std::mutex> lk(runLock_);
    readerDone_.wait(lk, [&] { return readerFinished_; });
  }
  reader.join();
  std::lock_guard<std::mutex> g(runLock_);
  return drained_;
}

bool Server::readInput(int fd) {
  LineFramer framer([this](std::optional<std::string> line) { handleLine(line); });
  std::string buffer(65536, '\0');
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    framer.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
  framer.finish();
  finish("stdin_eof", false);
  std::unique_lock<std::mutex> lk(lock_);
  return finished_.wait_for(lk, std::chrono::duration<double, std::milli>(kFinishWaitMs),
                            [&] { return finishing_ == 0; });
}

void Server::handleLine(const std::optional<std::string>& line) {
  const Json framing = {{"event", "refused"}, {"reason", "bad_request"}};
  if (!line) return emit(framing);
  auto parsed = fields::parseContainer(*line);
  if (!parsed || !parsed->is_object() || parsed->empty()) return emit(framing);
  const Json& request = *parsed;
  auto op = fields::string(request, "op");
  if (!op) return emit(framing);

  if (*op == "begin") {
    auto id = fields::string(request, "session");
    auto generation = fields::integer(request, "generation");
    auto pid = fields::integer(request, "pid");
    auto start = fields::string(request, "process_start");
    bool ok = id && generation && pid && start && *pid >= 1 && *pid <= INT32_MAX;
    if (ok) {
      size_t chars = unicode::graphemeCount(*id);
      ok = chars >= 1 && chars <= kMaxSessionChars;
    }
    if (!ok) return emit({{"event", "refused"}, {"op", "begin"}, {"reason", "bad_request"}});
    double idleMs = kDefaultIdleMs;
    if (auto v = fields::integer(request, "idle_ms"))
      idleMs = std::clamp(static_cast<double>(*v), kMinIdleMs, kMaxIdleMs);
    return begin(*id, *generation, static_cast<pid_t>(*pid), *start, idleMs);
  }
  if (*op == "act") return enqueue(request);
  if (*op == "cancel") {
    auto seq = fields::integer(request, "seq");
    auto s = current(request);
    if (!seq || !s) return emit({{"event", "refused"}, {"op", "cancel"}, {"reason", "no_session"}});
    return cancel(*seq, s);
  }
  if (*op == "renew") return renew(request);
  if (*op == "end") {
    auto s = current(request);
    if (!s) return emit({{"event", "refused"}, {"op", "end"}, {"reason", "no_session"}});
    auto reason = fields::string(request, "reason");
    finish(reason ? firstChars(*reason, kMaxReasonChars) : "requested", false, s);
    return;
  }
  emit({{"event", "refused"}, {"op", *op}, {"reason", "bad_request"}});
}

void Server::startIdleWatcher() {
  std::lock_guard<std::mutex> g(idleLock_);
  if (idleWatcher_.joinable() || idleStop_) return;
  idleWatcher_ = std::thread([this] { idleLoop(); });
}

void Server::idleLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(idleLock_);
      if (idleWake_.wait_for(lk, std::chrono::duration<double, std::milli>(kIdleWatchMs),
                             [&] { return idleStop_; }))
        return;
    }
    SessionRef s;
    double deadline = 0;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!session_ || session_->state != Session::State::active || session_->running ||
          !session_->queued.empty())
        continue;
      s = session_;
      deadline = s->deadline;
    }
    if (platform_.nowMs() > deadline) finish("idle_timeout", false, s);
  }
}

void Server::reapGuards(bool all) {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> g(guardsLock_);
    for (auto it = guards_.begin(); it != guards_.end();) {
      if (all || it->done->load()) {
        ended.push_back(std::move(it->thread));
        it = guards_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : ended) t.join();
}

void Server::shutdown() {
  {
    std::lock_guard<std::mutex> g(runLock_);
    if (shutDown_) return;
    shutDown_ = true;
  }
  {
    std::lock_guard<std::mutex> g(idleLock_);
    idleStop_ = true;
  }
  idleWake_.notify_all();
  if (idleWatcher_.joinable()) idleWatcher_.join();
  // Guards end at their next look at the generation.
  {
    std::lock_guard<std::mutex> g(lock_);
    ++watchGeneration_;
  }
  reapGuards(true);
  delivery_.stop();
}

// ---------------------------------------------------------------------------
// Sessions

SessionRef Server::current(const Json& request) {
  auto id = fields::string(request, "session");
  auto generation = fields::integer(request, "generation");
  std::lock_guard<std::mutex> g(lock_);
  if (!session_ || !id || !generation || *id != session_->id || *generation != session_->generation)
    return nullptr;
  return session_;
}

SessionRef Server::session() {
  std::lock_guard<std::mutex> g(lock_);
  return session_;
}

void Server::refuseBegin(const std::string& id, int64_t generation, const std::string& reason, Json extra) {
  Json event = extra.is_object() ? extra : Json::object();
  event["event"] = "refused";
  event["op"] = "begin";
  event["session"] = id;
  event["generation"] = generation;
  event["reason"] = reason;
  emit(std::move(event));
}

void Server::begin(const std::string& id, int64_t generation, pid_t pid, const std::string& start,
                   double idleMs) {
  {
    std::unique_lock<std::mutex> lk(lock_);
    if (session_) {
      std::string held = session_->id;
      lk.unlock();
      return refuseBegin(id, generation, "session_held", {{"held", held}});
    }
  }
  auto missing = platform_.missing();
  if (!missing.empty()) return refuseBegin(id, generation, "unavailable", {{"missing", missing}});
  if (!platform_.postAccess()) return refuseBegin(id, generation, "not_permitted");
  auto actual = platform_.processStart(pid);
  if (!actual) return refuseBegin(id, generation, "pid_exited");
  if (*actual != start) return refuseBegin(id, generation, "process_replaced");
  pid_t front = platform_.frontPid();
  if (front == pid && pressIdleSeconds() < kUserActiveSeconds)
    return refuseBegin(id, generation, "user_active_in_target");

  auto acquired = TargetLock::acquire(options_.lockDirectory, pid, start, id,
                                      [this](pid_t p) { return platform_.processStart(p); });
  if (auto* busy = std::get_if<TargetLock::Busy>(&acquired)) {
    Json extra = Json::object();
    if (busy->record.is_object()) {
      auto it = busy->record.find("helper_pid");
      if (it != busy->record.end() && it->is_number())
        if (auto hp = fields::integerValue(*it)) extra["holder_pid"] = *hp;
      if (fields::boolean(busy->record, "unverified") == true) extra["holder_unverified"] = true;
    }
    return refuseBegin(id, generation, "target_busy", extra);
  }
  if (auto* failed = std::get_if<TargetLock::Failed>(&acquired))
    return refuseBegin(id, generation, failed->reason);
  auto& held = std::get<TargetLock::Held>(acquired);

  auto s = std::make_shared<Session>();
  s->id = id;
  s->generation = generation;
  s->pid = pid;
  s->start = start;
  s->idleMs = idleMs;
  s->frontAtBegin = front;
  s->began = platform_.nowMs();
  s->deadline = idleMs + s->began;
  s->ownership = std::move(held.lock);
  int64_t g;
  {
    std::lock_guard<std::mutex> lk(lock_);
    session_ = s;
    g = ++watchGeneration_;
  }
  reapGuards(false);
  {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lk(guardsLock_);
    guards_.push_back({std::thread([this, s, g, done] {
                         guard(s, g);
                         done->store(true);
                       }),
                       done});
  }
  Json ready = {{"event", "ready"},       {"session", id},     {"generation", generation},
                {"pid", pid},             {"front_pid", front}, {"target_front", front == pid},
                {"route", platform_.route()}};
  if (held.reclaimed) ready["reclaimed"] = *held.reclaimed;
  emit(std::move(ready));
}

void Server::renew(const Json& request) {
  auto s = current(request);
  if (!s) return emit({{"event", "refused"}, {"op", "renew"}, {"reason", "no_session"}});
  bool active;
  {
    std::lock_guard<std::mutex> g(lock_);
    active = s->state == Session::State::active;
    if (active) s->deadline = platform_.nowMs() + s->idleMs;
  }
  if (active)
    emit({{"event", "renewed"}, {"session", s->id}});
  else
    emit({{"event", "refused"}, {"op", "renew"}, {"reason", "ending"}});
}

void Server::finish(const std::string& reason, bool yielded, const SessionRef& only) {
  SessionRef s;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!session_ || session_->state != Session::State::active) return;
    // A caller that saw one session never ends a later one.
    if (only && session_ != only) return;
    s = session_;
    s->state = Session::State::ending;
    ++finishing_;
    if (s->running) s->stop = yielded ? Stop::yield : Stop::ending;
    ++watchGeneration_;
  }
  delivery_.drain();
  auto released = releaseOwn(s);
  double releasedAt = platform_.nowMs();
  if (s->ownership) s->ownership->release();
  int64_t acts;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (session_ == s) session_.reset();
    acts = s->acts;
  }
  emit({{"event", "ended"},
        {"session", s->id},
        {"generation", s->generation},
        {"reason", reason},
        {"yielded", yielded},
        {"released", released},
        {"released_t", r1(releasedAt)},
        {"acts", acts},
        {"elapsed_ms", r1(platform_.nowMs() - s->began)}});
  {
    std::lock_guard<std::mutex> g(lock_);
    --finishing_;
  }
  finished_.notify_all();
}

void Server::yieldSession(const SessionRef& session, const std::string& reason, const Json& detail) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (session_ != session || session->state != Session::State::active) return;
    if (session->running) session->stop = Stop::yield;
  }
  Json event = detail.is_object() ? detail : Json::object();
  event["event"] = "yield";
  event["session"] = session->id;
  event["generation"] = session->generation;
  event["reason"] = reason;
  emit(std::move(event));
  finish("yield:" + reason, true, session);
}

void Server::adoptSessionForTest(const SessionRef& session) {
  std::lock_guard<std::mutex> g(lock_);
  session_ = session;
  ++watchGeneration_;
}

// ---------------------------------------------------------------------------
// Stops and the user-activity guard

std::optional<Stop> Server::stopRequested(const SessionRef& session) {
  std::lock_guard<std::mutex> g(lock_);
  if (session->stop) return session->stop;
  if (session->state != Session::State::active) return Stop::ending;
  return std::nullopt;
}

double Server::pressIdleSeconds() {
  return std::min({platform_.secondsSince(UserEvent::keyDown), platform_.secondsSince(UserEvent::leftDown),
                   platform_.secondsSince(UserEvent::rightDown), platform_.secondsSince(UserEvent::otherDown)});
}

void Server::guard(const SessionRef& s, int64_t g) {
  auto mouseTimes = [&] {
    return std::array<double, 3>{platform_.secondsSince(UserEvent::leftDown),
                                 platform_.secondsSince(UserEvent::rightDown),
                                 platform_.secondsSince(UserEvent::otherDown)};
  };
  auto baseline = mouseTimes();
  double keyTime = platform_.secondsSince(UserEvent::keyDown);
  double wheelTime = platform_.secondsSince(UserEvent::wheel);
  pid_t previousFront = s->frontAtBegin;

  std::unique_lock<std::mutex> lk(lock_);
  if (watchGeneration_ != g) return;
  while (session_ == s) {
    if (s->state != Session::State::active) return;
    lk.unlock();
    double m = platform_.nowMs();
    auto now = mouseTimes();
    double keyNow = platform_.secondsSince(UserEvent::keyDown);
    double wheelNow = platform_.secondsSince(UserEvent::wheel);
    bool press = false;
    for (size_t i = 0; i < now.size(); ++i)
      if (baseline[i] > now[i] + kTolerance) press = true;
    bool wheel = wheelNow + kTolerance < wheelTime;
    pid_t front = platform_.frontPid();

    if (press || wheel) {
      Point at = platform_.pointerLocation();
      auto owner = platform_.ownerAt(at, platform_.onScreenWindows());
      if (owner && owner->pid == s->pid) {
        yieldSession(s, press ? "pointer_in_target" : "wheel_in_target",
                     {{"window", owner->id}, {"layer", owner->layer}});
        return;
      }
    }
    if (front == s->pid && previousFront != s->pid) {
      yieldSession(s, "front_switch_to_target", Json::object());
      return;
    }
    if (keyTime > keyNow + kTolerance && (front == s->pid || platform_.keyFocusPid() == s->pid)) {
      yieldSession(s, "typing_in_target", Json::object());
      return;
    }
    double spent = platform_.nowMs() - m;
    if (spent < kGuardPollMs) platform_.sleepMs(kGuardPollMs - spent);

    lk.lock();
    if (watchGeneration_ != g) return;
    previousFront = front;
    keyTime = keyNow;
    wheelTime = wheelNow;
    baseline = now;
  }
}

// ---------------------------------------------------------------------------
// Held input

std::optional<Json> Server::heldSummary(const Session& session) {
  std::vector<std::string> modifiers;
  for (const auto& [name, modifier] : platform_.modifiers())
    if (session.pressedKeys.count(modifier.code)) modifiers.push_back(name);
  std::sort(modifiers.begin(), modifiers.end());
  int64_t keys = static_cast<int64_t>(session.pressedKeys.size()) - static_cast<int64_t>(modifiers.size());
  if (modifiers.empty() && keys < 1 && !session.buttonDown) return std::nullopt;
  Json summary = {{"keys", keys}, {"modifiers", modifiers}};
  if (session.buttonDown) summary["button"] = toString(session.buttonDown->button);
  return summary;
}

void Server::publishHeld(const SessionRef& session, const std::optional<Json>& held) {
  if (session->ownership) session->ownership->update(held);
}

void Server::noteKey(const SessionRef& session, uint16_t code, std::optional<uint64_t> flags) {
  std::optional<Json> held;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (flags)
      session->pressedKeys[code] = *flags;
    else
      session->pressedKeys.erase(code);
    held = heldSummary(*session);
  }
  publishHeld(session, held);
}

void Server::setButton(const SessionRef& session, std::optional<HeldButton> button) {
  std::optional<Json> held;
  {
    std::lock_guard<std::mutex> g(lock_);
    session->buttonDown = button;
    held = heldSummary(*session);
  }
  publishHeld(session, held);
}

std::vector<std::string> Server::releaseOwn(const SessionRef& session) {
  std::map<uint16_t, uint64_t> keys;
  std::optional<HeldButton> button;
  {
    std::lock_guard<std::mutex> g(lock_);
    keys.swap(session->pressedKeys);
    button = session->buttonDown;
    session->buttonDown.reset();
  }
  std::set<uint16_t> modifierCodes;
  for (const auto& [name, modifier] : platform_.modifiers()) modifierCodes.insert(modifier.code);
  std::vector<std::string> released;
  for (bool modifiers : {false, true}) {
    for (const auto& [code, flags] : keys) {
      if (modifierCodes.count(code) != static_cast<size_t>(modifiers)) continue;
      if (platform_.key(session->pid, code, false, 0, std::nullopt))
        released.push_back(modifiers ? "modifier" : "key");
    }
  }
  if (button) {
    if (platform_.mouse(session->pid, upType(button->button), button->button, button->point, button->window, 1))
      released.push_back("button");
  }
  publishHeld(session, std::nullopt);
  return released;
}

// ---------------------------------------------------------------------------
// Acts

void Server::enqueue(const Json& request) {
  Json echo = Json::object();
  if (auto id = fields::string(request, "session"); id && unicode::graphemeCount(*id) <= kMaxSessionChars)
    echo["session"] = *id;
  if (auto generation = fields::integer(request, "generation")) echo["generation"] = *generation;
  auto refuse = [&](const char* reason, std::optional<int64_t> seq) {
    Json event = echo;
    event["event"] = "refused";
    event["op"] = "act";
    event["reason"] = reason;
    if (seq) {
      event["seq"] = *seq;
      event["stage"] = "not-delivered";
    }
    emit(std::move(event));
  };
  auto seq = fields::integer(request, "seq");
  if (!seq) return refuse("bad_request", std::nullopt);
  auto s = current(request);
  if (!s) return refuse("no_session", seq);
  auto window = fields::integer(request, "window_id");
  auto action = fields::object(request, "action");
  if (!window || !action) return refuse("bad_request", seq);
  {
    std::unique_lock<std::mutex> lk(lock_);
    if (s->queued.count(*seq) || s->running == *seq) {
      lk.unlock();
      return refuse("duplicate_seq", seq);
    }
    s->queued.insert(*seq);
  }
  delivery_.submit([this, seq = *seq, window = *window, action = std::move(*action), s] {
    perform(seq, window, action, s);
  });
}

void Server::cancel(int64_t seq, const SessionRef& session) {
  const char* state;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (session->running == seq) {
      session->stop = Stop::cancelled;
      state = "running";
    } else if (session->queued.count(seq)) {
      session->cancelled.insert(seq);
      state = "queued";
    } else {
      state = "unknown";
    }
  }
  emit({{"event", "cancelling"},
        {"seq", seq},
        {"session", session->id},
        {"generation", session->generation},
        {"state", state}});
}

void Server::completeAct(const SessionRef& session) {
  std::lock_guard<std::mutex> g(lock_);
  session->running.reset();
  session->acts += 1;
  if (session->state == Session::State::active) session->deadline = platform_.nowMs() + session->idleMs;
}

bool Server::proceed(const SessionRef& session, const Json& action) {
  bool hooks = options_.testHooks ? *options_.testHooks : testHooksFromEnvironment();
  if (hooks) {
    int64_t delay = std::clamp<int64_t>(fields::integer(action, "test_delay_ms").value_or(0), 0, kMaxTestDelayMs);
    if (delay > 0) platform_.sleepMs(static_cast<double>(delay));
  }
  return !stopRequested(session).has_value();
}

void Server::perform(int64_t seq, int64_t window, const Json& action, const SessionRef& s) {
  const double t0 = platform_.nowMs();
  auto refusal = [&](const std::string& reason) {
    return Json{{"event", "refused"}, {"op", "act"},       {"seq", seq},
                {"session", s->id},   {"generation", s->generation}, {"reason", reason},
                {"stage", "not-delivered"}};
  };
  {
    std::unique_lock<std::mutex> lk(lock_);
    s->queued.erase(seq);
    const char* reason = nullptr;
    if (s->state != Session::State::active)
      reason = "ending";
    else if (session_ != s)
      reason = "no_session";
    else if (s->cancelled.erase(seq))
      reason = "cancelled";
    if (reason) {
      lk.unlock();
      emit(refusal(reason));
      return;
    }
    s->running = seq;
    s->stop.reset();
  }

  // The act has started: whatever happens it is answered once, then completed.
  auto result = [&](const DriverResult& r, const Json& extra) {
    Json event = extra.is_object() ? extra : Json::object();
    event["event"] = r.stop ? "interrupted" : "delivered";
    event["seq"] = seq;
    event["session"] = s->id;
    event["generation"] = s->generation;
    event["units"] = r.units;
    if (r.stop) {
      event["stage"] = (r.units < 1 && !r.pressed) ? "not-delivered" : "partial";
      event["reason"] = toString(*r.stop);
      event["released"] = releaseOwn(s);
    } else {
      event["stage"] = "delivered-unverified";
    }
    event["deliver_ms"] = r1(platform_.nowMs() - t0);
    return event;
  };

  Json event = [&]() -> Json {
    auto kind = fields::string(action, "kind");
    if (!kind) return refusal("bad_request");
    const bool pointer = isPointerKind(*kind);
    std::optional<fields::Point> at;
    if (pointer) {
      at = fields::point(action, "x", "y");
      if (!at) return refusal("bad_request");
    }
    auto actual = platform_.processStart(s->pid);
    if (!actual) return refusal("pid_exited");
    if (*actual != s->start) return refusal("process_replaced");
    auto windows = platform_.onScreenWindows();
    bool named = std::any_of(windows.begin(), windows.end(),
                             [&](const WindowInfo& w) { return w.id == window && w.pid == s->pid; });
    if (!named) return refusal("window_missing");

    auto targetHit = [&](Point p) -> std::optional<WindowInfo> {
      for (const auto& w : windows)
        if (w.pid == s->pid && platform_.pressable(w) && w.bounds.contains(p)) return w;
      return std::nullopt;
    };
    Json extra = Json::object();
    Point point;
    int64_t hitWindow = 0;
    if (pointer) {
      point = Point{at->x, at->y};
      auto hit = targetHit(point);
      if (!hit) return refusal("point_outside_target");
      auto owner = platform_.ownerAt(point, windows);
      bool covered = owner && owner->pid != s->pid;
      std::vector<WindowInfo> mine;
      for (const auto& w : windows)
        if (w.pid == s->pid) mine.push_back(w);
      platform_.noteWindows(mine);
      hitWindow = hit->id;
      extra = {{"hit_window", hit->id}, {"hit_layer", hit->layer}, {"covered", covered}};
    }

    if (*kind == "click" || *kind == "mouse_down" || *kind == "mouse_up") {
      PointerKind pk = *kind == "click"        ? PointerKind::click
                       : *kind == "mouse_down" ? PointerKind::mouseDown
                                               : PointerKind::mouseUp;
      int64_t count = std::clamp<int64_t>(fields::integer(action, "count").value_or(1), 1, 3);
      auto r = pointerInput(s, pk, buttonFrom(action), count, holdFrom(action, 30), point, hitWindow);
      return result(r, extra);
    }
    if (*kind == "scroll") {
      int64_t dx = fields::integer(action, "dx").value_or(0);
      int64_t dy = fields::integer(action, "dy").value_or(0);
      if ((dx == 0 && dy == 0) || dx > kMaxScroll || dx < -kMaxScroll || dy > kMaxScroll || dy < -kMaxScroll)
        return refusal("bad_request");
      std::string unit = fields::string(action, "unit").value_or("line");
      if (unit != "line" && unit != "pixel") return refusal("bad_request");
      auto r = scroll(s, point, hitWindow, dx, dy, unit == "pixel");
      r.pressed = false;
      return result(r, extra);
    }
    if (*kind == "drag") {
      auto to = fields::point(action, "to_x", "to_y");
      if (!to) return refusal("bad_request");
      if (!targetHit(Point{to->x, to->y})) return refusal("point_outside_target");
      double duration = 400;
      if (auto v = fields::integer(action, "duration_ms"))
        duration = static_cast<double>(std::clamp<int64_t>(*v, 50, 5000));
      auto r = drag(s, point, Point{to->x, to->y}, buttonFrom(action), duration, hitWindow);
      return result(r, extra);
    }
    if (*kind == "type_text") {
      auto text = fields::string(action, "text");
      if (!text || unicode::toUtf16(*text).size() > kMaxTextUnits) return refusal("bad_request");
      platform_.setKeyWindow(s->pid, window);
      auto r = typeText(s, *text);
      r.pressed = false;
      return result(r, extra);
    }
    if (*kind == "press_key") {
      auto name = fields::string(action, "key");
      auto code = name ? platform_.keyCode(*name) : std::nullopt;
      if (!code) return refusal("unsupported_key");
      auto modifiers = fields::stringArray(action, "modifiers").value_or(std::vector<std::string>{});
      const auto& table = platform_.modifiers();
      for (const auto& m : modifiers)
        if (!table.count(m)) return refusal("unsupported_key");
      platform_.setKeyWindow(s->pid, window);
      auto r = pressKey(s, *code, modifiers, holdFrom(action, 10));
      return result(r, extra);
    }
    if (isAccessibilityKind(*kind)) {
      if (!options_.accessibilityRequest) return refusal("unsupported_kind");
      auto op = options_.accessibilityRequest(s, *kind, action, window);
      if (!op) return refusal("bad_request");
      if (auto stop = stopRequested(s)) return result({stop, 0, false}, extra);
      AXOutcome outcome = (*op)([&] { return proceed(s, action); });
      switch (outcome.kind) {
        case AXOutcome::Kind::done: return result({std::nullopt, 1, false}, outcome.extra);
        case AXOutcome::Kind::refused: return refusal(outcome.reason);
        case AXOutcome::Kind::noReply: return result({Stop::noReply, 1, false}, extra);
        case AXOutcome::Kind::stopped:
          return result({stopRequested(s).value_or(Stop::ending), 0, false}, extra);
      }
    }
    return refusal("unsupported_kind");
  }();
  emit(std::move(event));
  completeAct(s);
}

}  // namespace quorl::courier
