// The pointer, scroll, drag and keyboard drivers of input-courier: timed event
// sequences for one act, polling the session for a stop between units and
// keeping the session's record of held input (and its lock-file mirror) current.
#include <algorithm>
#include <cmath>

#include "common/unicode.hpp"
#include "courier/server.hpp"

namespace quorl::courier {
namespace {

constexpr double kAfterMoveMs = 15;
constexpr double kHoldPollMs = 2;
constexpr double kBetweenPressesMs = 60;
constexpr double kWheelChunkMs = 16;
constexpr int64_t kWheelLines = 3;
constexpr int64_t kWheelPixels = 40;
constexpr int64_t kWheelIdentityEvery = 16;
constexpr double kDragStepMs = 16;
constexpr double kAfterDragDownMs = 30;
constexpr int64_t kDragIdentityEvery = 8;
constexpr double kPerCharacterMs = 8;
constexpr size_t kTypingIdentityEvery = 32;
constexpr uint16_t kReturnKey = 36;
constexpr uint16_t kTabKey = 48;
constexpr uint16_t kTextKey = 0;

}  // namespace

bool Server::sameTarget(const SessionRef& session) {
  auto token = platform_.processStart(session->pid);
  return token && *token == session->start;
}

std::optional<Stop> Server::holdWait(const SessionRef& session, double holdMs) {
  const double until = platform_.nowMs() + holdMs;
  while (platform_.nowMs() < until) {
    if (auto stop = stopRequested(session)) return stop;
    platform_.sleepMs(kHoldPollMs);
  }
  return std::nullopt;
}

DriverResult Server::pointerInput(const SessionRef& s, PointerKind kind, Button button, int64_t count,
                                  double holdMs, Point point, int64_t window) {
  if (kind == PointerKind::mouseUp) {
    if (auto stop = stopRequested(s)) return {stop, 0, false};
    platform_.mouse(s->pid, upType(button), button, point, window, 1);
    setButton(s, std::nullopt);
    return {std::nullopt, 1, false};
  }
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  platform_.mouse(s->pid, kMouseMoved, button, point, window, 0);
  platform_.sleepMs(kAfterMoveMs);
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  const int64_t n = kind == PointerKind::mouseDown ? 1 : count;
  for (int64_t k = 1; k <= n; ++k) {
    platform_.mouse(s->pid, downType(button), button, point, window, k);
    setButton(s, HeldButton{button, point, window});
    if (kind == PointerKind::mouseDown) return {std::nullopt, 1, true};
    if (auto stop = holdWait(s, holdMs)) return {stop, 2 * k - 1, true};
    platform_.mouse(s->pid, upType(button), button, point, window, k);
    setButton(s, std::nullopt);
    if (k < n) platform_.sleepMs(kBetweenPressesMs);
    if (k == n) return {std::nullopt, 2 * n, false};
    if (auto stop = stopRequested(s)) return {stop, 2 * k, false};
  }
  return {std::nullopt, 2 * n, false};
}

DriverResult Server::scroll(const SessionRef& s, Point at, int64_t window, int64_t dx, int64_t dy, bool pixel) {
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  platform_.mouse(s->pid, kMouseMoved, Button::left, at, window, 0);
  platform_.sleepMs(kAfterMoveMs);
  if (dx == 0 && dy == 0) return {std::nullopt, 0, false};
  const int64_t step = pixel ? kWheelPixels : kWheelLines;
  for (int64_t i = 0;; ++i) {
    if (auto stop = stopRequested(s)) return {stop, i, false};
    if (i > 0 && i % kWheelIdentityEvery == 0 && !sameTarget(s)) return {Stop::targetChanged, i, false};
    int64_t cdy = std::clamp(dy, -step, step);
    int64_t cdx = std::clamp(dx, -step, step);
    platform_.wheel(s->pid, at, window, pixel, static_cast<int32_t>(cdy), static_cast<int32_t>(cdx));
    dy -= cdy;
    dx -= cdx;
    platform_.sleepMs(kWheelChunkMs);
    if (dx == 0 && dy == 0) return {std::nullopt, i + 1, false};
  }
}

DriverResult Server::drag(const SessionRef& s, Point from, Point to, Button button, double durationMs,
                          int64_t window) {
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  platform_.mouse(s->pid, kMouseMoved, button, from, window, 0);
  platform_.sleepMs(kAfterMoveMs);
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  platform_.mouse(s->pid, downType(button), button, from, window, 1);
  setButton(s, HeldButton{button, from, window});
  const int64_t steps = std::max<int64_t>(2, static_cast<int64_t>(durationMs / kDragStepMs));
  const int64_t intervalUs = static_cast<int64_t>(durationMs * 1000.0 / static_cast<double>(steps));
  platform_.sleepMs(kAfterDragDownMs);
  for (int64_t i = 1; i <= steps; ++i) {
    if (auto stop = stopRequested(s)) return {stop, i, true};
    if (i % kDragIdentityEvery == 0 && !sameTarget(s)) return {Stop::targetChanged, i, true};
    const double f = static_cast<double>(i) / static_cast<double>(steps);
    Point p{from.x + (to.x - from.x) * f, from.y + (to.y - from.y) * f};
    platform_.mouse(s->pid, draggedType(button), button, p, window, 1);
    setButton(s, HeldButton{button, p, window});
    platform_.sleepMs(static_cast<double>(intervalUs) / 1000.0);
  }
  if (auto stop = stopRequested(s)) return {stop, steps + 1, true};
  platform_.mouse(s->pid, upType(button), button, to, window, 1);
  setButton(s, std::nullopt);
  return {std::nullopt, steps + 2, false};
}

DriverResult Server::typeText(const SessionRef& s, const std::string& text) {
  if (text.empty()) return {std::nullopt, 0, false};
  const auto characters = unicode::graphemes(text);
  for (size_t i = 0; i < characters.size(); ++i) {
    const auto index = static_cast<int64_t>(i);
    if (auto stop = stopRequested(s)) return {stop, index, false};
    // A target replaced under the same pid ends typing as "ending".
    if (i > 0 && i % kTypingIdentityEvery == 0 && !sameTarget(s)) return {Stop::ending, index, false};
    const std::string& c = characters[i];
    uint16_t key = kTextKey;
    std::optional<std::u16string> units;
    if (c == "\n" || c == "\r\n")
      key = kReturnKey;
    else if (c == "\t")
      key = kTabKey;
    else
      units = unicode::toUtf16(c);
    platform_.key(s->pid, key, true, 0, units);
    noteKey(s, key, 0);
    platform_.key(s->pid, key, false, 0, units);
    noteKey(s, key, std::nullopt);
    platform_.sleepMs(kPerCharacterMs);
  }
  return {std::nullopt, static_cast<int64_t>(characters.size()), false};
}

DriverResult Server::pressKey(const SessionRef& s, uint16_t code, const std::vector<std::string>& modifiers,
                              double holdMs) {
  if (auto stop = stopRequested(s)) return {stop, 0, false};
  std::vector<Keys::Modifier> resolved;
  const auto& table = platform_.modifiers();
  for (const auto& name : modifiers)
    if (auto it = table.find(name); it != table.end()) resolved.push_back(it->second);
  const auto n = static_cast<int64_t>(resolved.size());
  uint64_t flags = 0;
  for (const auto& m : resolved) {
    flags |= m.flag;
    platform_.key(s->pid, m.code, true, flags, std::nullopt);
    noteKey(s, m.code, flags);
  }
  platform_.key(s->pid, code, true, flags, std::nullopt);
  noteKey(s, code, flags);
  if (auto stop = holdWait(s, holdMs)) return {stop, n + 1, true};
  platform_.key(s->pid, code, false, flags, std::nullopt);
  noteKey(s, code, std::nullopt);
  for (auto it = resolved.rbegin(); it != resolved.rend(); ++it) {
    flags &= ~it->flag;
    platform_.key(s->pid, it->code, false, flags, std::nullopt);
    noteKey(s, it->code, std::nullopt);
  }
  return {std::nullopt, 2 * n + 2, false};
}

}  // namespace quorl::courier
