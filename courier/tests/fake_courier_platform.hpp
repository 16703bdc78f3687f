#pragma once
// A recording stand-in for the platform of input-courier: settable answers for
// every query, and every posted event recorded with the clock reading at which
// it was posted.  The clock is either real, or virtual (sleeping advances it at
// once), so driver pacing can be checked exactly and quickly.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/out.hpp"
#include "common/unicode.hpp"
#include "courier/courier_platform.hpp"
#include "shared/process_start.hpp"

namespace quorl::courier::testing {

struct Posted {
  enum class Kind { mouse, wheel, key } kind = Kind::mouse;
  pid_t pid = 0;
  int type = 0;
  Button button = Button::left;
  Point at;
  int64_t window = 0;
  int64_t clicks = 0;
  bool pixel = false;
  int32_t dy = 0, dx = 0;
  uint16_t code = 0;
  bool down = false;
  uint64_t flags = 0;
  std::optional<std::u16string> unicode;
  double t = 0;
};

class FakeCourierPlatform : public CourierPlatform {
 public:
  explicit FakeCourierPlatform(bool virtualClock = false) : virtual_(virtualClock) {}

  // --- clock
  double nowMs() override {
    if (!virtual_) return quorl::nowMs();
    std::lock_guard<std::mutex> g(mu_);
    return now_;
  }
  void sleepMs(double ms) override {
    if (!virtual_) {
      if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
      return;
    }
    std::function<void(double)> hook;
    double now;
    {
      std::lock_guard<std::mutex> g(mu_);
      sleeps_.push_back(ms);
      now_ += ms;
      now = now_;
      hook = onSleep;
    }
    if (hook) hook(now);
  }
  // Called (virtual clock only) after every sleep with the new clock reading.
  std::function<void(double)> onSleep;

  // --- capabilities
  std::vector<std::string> missing() override { return get(missing_); }
  bool postAccess() override { return get(postAccess_); }
  std::string route() override { return "sky"; }

  // --- processes
  std::optional<std::string> processStart(pid_t pid) override {
    std::lock_guard<std::mutex> g(mu_);
    startQueries_[pid] += 1;
    auto it = starts_.find(pid);
    if (it != starts_.end()) return it->second;
    return quorl::processStart(pid);
  }
  pid_t frontPid() override {
    std::lock_guard<std::mutex> g(mu_);
    ++frontQueries_;
    return front_;
  }
  pid_t keyFocusPid() override { return get(keyFocus_); }

  // --- user input
  double secondsSince(UserEvent kind) override {
    std::lock_guard<std::mutex> g(mu_);
    auto it = lastEvent_.find(kind);
    if (it == lastEvent_.end()) return 1000.0;
    return (quorl::nowMs() - it->second) / 1000.0;
  }
  Point pointerLocation() override { return get(pointer_); }

  // --- windows
  std::vector<WindowInfo> onScreenWindows() override { return get(windows_); }
  bool pressable(const WindowInfo& w) override {
    return w.alpha > 0 && w.layer >= 0 && w.layer < 1000 && !(w.layer >= 18 && w.layer <= 25) &&
           w.bounds.width > 4 && w.bounds.height > 4;
  }
  std::optional<WindowInfo> ownerAt(Point p, const std::vector<WindowInfo>& windows) override {
    const auto overlays = get(overlayPids_);
    for (const auto& w : windows) {
      if (!pressable(w) || !w.bounds.contains(p)) continue;
      if (std::find(overlays.begin(), overlays.end(), w.pid) != overlays.end()) continue;
      return w;
    }
    return std::nullopt;
  }

  // --- keys (a part of the tables, enough for the logic)
  std::optional<uint16_t> keyCode(std::string_view name) override {
    static const std::map<std::string, uint16_t> table = {
        {"a", 0}, {"s", 1}, {"b", 11}, {"return", 36}, {"enter", 36}, {"tab", 48}, {"escape", 53}, {"f5", 96}};
    auto it = table.find(unicode::toLower(name));
    if (it == table.end()) return std::nullopt;
    return it->second;
  }
  const std::map<std::string, Keys::Modifier>& modifiers() override {
    static const std::map<std::string, Keys::Modifier> table = {{"cmd", {55, Keys::kFlagCommand}},
                                                                {"shift", {56, Keys::kFlagShift}},
                                                                {"option", {58, Keys::kFlagOption}},
                                                                {"ctrl", {59, Keys::kFlagControl}}};
    return table;
  }

  // --- delivery
  bool mouse(pid_t pid, int type, Button button, Point at, int64_t window, int64_t clicks) override {
    Posted p;
    p.kind = Posted::Kind::mouse;
    p.pid = pid;
    p.type = type;
    p.button = button;
    p.at = at;
    p.window = window;
    p.clicks = clicks;
    record(p);
    return true;
  }
  bool wheel(pid_t pid, Point at, int64_t window, bool pixel, int32_t dy, int32_t dx) override {
    Posted p;
    p.kind = Posted::Kind::wheel;
    p.pid = pid;
    p.at = at;
    p.window = window;
    p.pixel = pixel;
    p.dy = dy;
    p.dx = dx;
    record(p);
    return true;
  }
  bool key(pid_t pid, uint16_t code, bool down, uint64_t flags,
           const std::optional<std::u16string>& unicode) override {
    Posted p;
    p.kind = Posted::Kind::key;
    p.pid = pid;
    p.code = code;
    p.down = down;
    p.flags = flags;
    p.unicode = unicode;
    record(p);
    return true;
  }
  void noteWindows(const std::vector<WindowInfo>& windows) override {
    std::lock_guard<std::mutex> g(mu_);
    noted_ = windows;
  }
  void setKeyWindow(pid_t pid, int64_t window) override {
    std::lock_guard<std::mutex> g(mu_);
    keyWindows_.emplace_back(pid, window);
  }

  // --- test controls
  void setMissing(std::vector<std::string> m) { set(missing_, std::move(m)); }
  void setPostAccess(bool v) { set(postAccess_, v); }
  void setStart(pid_t pid, std::optional<std::string> token) {
    std::lock_guard<std::mutex> g(mu_);
    starts_[pid] = std::move(token);
  }
  void setFront(pid_t pid) { set(front_, pid); }
  void setKeyFocus(pid_t pid) { set(keyFocus_, pid); }
  void setPointer(Point p) { set(pointer_, p); }
  void setWindows(std::vector<WindowInfo> w) { set(windows_, std::move(w)); }
  void setOverlayPids(std::vector<pid_t> pids) { set(overlayPids_, std::move(pids)); }
  // The user does something of this kind now.
  void userEvent(UserEvent kind) {
    std::lock_guard<std::mutex> g(mu_);
    lastEvent_[kind] = quorl::nowMs();
  }
  void userEventAgo(UserEvent kind, double seconds) {
    std::lock_guard<std::mutex> g(mu_);
    lastEvent_[kind] = quorl::nowMs() - seconds * 1000.0;
  }
  int frontQueries() { return get(frontQueries_); }
  std::vector<Posted> posted() { return get(posted_); }
  std::vector<double> sleeps() { return get(sleeps_); }
  int startQueries(pid_t pid) {
    std::lock_guard<std::mutex> g(mu_);
    return startQueries_[pid];
  }
  std::vector<WindowInfo> noted() { return get(noted_); }
  std::vector<std::pair<pid_t, int64_t>> keyWindows() { return get(keyWindows_); }
  void clearPosted() {
    std::lock_guard<std::mutex> g(mu_);
    posted_.clear();
    sleeps_.clear();
  }
  // Called after every posted event, outside the fake's lock.
  std::function<void(const Posted&)> onPost;

 private:
  template <class T>
  T get(const T& field) {
    std::lock_guard<std::mutex> g(mu_);
    return field;
  }
  template <class T>
  void set(T& field, T value) {
    std::lock_guard<std::mutex> g(mu_);
    field = std::move(value);
  }
  void record(Posted p) {
    std::function<void(const Posted&)> hook;
    {
      std::lock_guard<std::mutex> g(mu_);
      p.t = virtual_ ? now_ : quorl::nowMs();
      posted_.push_back(p);
      hook = onPost;
    }
    if (hook) hook(p);
  }

  const bool virtual_;
  std::mutex mu_;
  double now_ = 1000.0;
  std::vector<double> sleeps_;
  std::vector<std::string> missing_;
  bool postAccess_ = true;
  std::map<pid_t, std::optional<std::string>> starts_;
  std::map<pid_t, int> startQueries_;
  pid_t front_ = -1;
  int frontQueries_ = 0;
  pid_t keyFocus_ = -1;
  std::map<UserEvent, double> lastEvent_;
  Point pointer_;
  std::vector<WindowInfo> windows_;
  std::vector<pid_t> overlayPids_;
  std::vector<Posted> posted_;
  std::vector<WindowInfo> noted_;
  std::vector<std::pair<pid_t, int64_t>> keyWindows_;
};

}  // namespace quorl::courier::testing
