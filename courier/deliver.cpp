#include "courier/deliver.hpp"

#include <time.h>

#include <map>

#include "courier/x11_sink.hpp"

namespace quorl::courier {

std::optional<Button> buttonFromString(std::string_view s) {
  if (s == "left") return Button::left;
  if (s == "right") return Button::right;
  return std::nullopt;
}
const char* toString(Button b) { return b == Button::left ? "left" : "right"; }
int buttonNumber(Button b) { return b == Button::left ? 0 : 1; }
int downType(Button b) { return b == Button::left ? 1 : 3; }
int upType(Button b) { return b == Button::left ? 2 : 4; }
int draggedType(Button b) { return b == Button::left ? 6 : 7; }

namespace Deliver {
namespace {

constexpr int kWheelType = 22;

struct State {
  std::mutex sinkLock;
  std::shared_ptr<EventSink> sink;
  // Sinks replaced by setSink stay alive: a caller may still hold a reference.
  std::vector<std::shared_ptr<EventSink>> retired;
  std::mutex groupLock;
  int64_t group = 0;
  std::mutex originLock;
  std::map<int64_t, Point> origins;
};

State& state() {
  static auto* s = new State();  // lives until the process exits, like the event sources it stands for
  return *s;
}

int64_t refreshGroup() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  std::lock_guard<std::mutex> guard(state().groupLock);
  state().group = ns % 1000000000;
  return state().group;
}

int64_t currentGroup() {
  std::lock_guard<std::mutex> guard(state().groupLock);
  return state().group;
}

}  // namespace

void setSink(std::shared_ptr<EventSink> sink) {
  std::lock_guard<std::mutex> guard(state().sinkLock);
  if (state().sink) state().retired.push_back(state().sink);
  state().sink = std::move(sink);
}

EventSink& sink() {
  std::lock_guard<std::mutex> guard(state().sinkLock);
  if (!state().sink) state().sink = makeX11Sink();
  return *state().sink;
}

bool mouse(pid_t pid, int type, Button button, Point at, int64_t window, int64_t clicks) {
  EventSink& out = sink();
  if (type == 1 || type == 3 || type == kMouseMoved) refreshGroup();
  SynthEvent e;
  e.kind = SynthEvent::Kind::mouse;
  e.type = type;
  e.button = buttonNumber(button);
  e.at = at;
  e.window = window;
  e.clicks = clicks;
  if (out.stampsFields()) {
    e.fields = {{0, type == kMouseMoved ? 2 : 3},
                {1, clicks},
                {3, buttonNumber(button)},
                {7, 3},
                {40, pid},
                {51, window},
                {58, currentGroup()},
                {91, window},
                {92, window}};
  }
  if (out.stampsWindowLocation()) e.windowLocation = windowPoint(at, window);
  out.post(pid, e);
  return true;
}

bool wheel(pid_t pid, Point at, int64_t window, bool pixel, int32_t dy, int32_t dx) {
  EventSink& out = sink();
  SynthEvent e;
  e.kind = SynthEvent::Kind::wheel;
  e.type = kWheelType;
  e.at = at;
  e.window = window;
  e.pixel = pixel;
  e.dy = dy;
  e.dx = dx;
  if (out.stampsFields()) e.fields = {{40, pid}, {51, window}, {91, window}, {92, window}};
  if (out.stampsWindowLocation()) e.windowLocation = windowPoint(at, window);
  out.post(pid, e);
  return true;
}

bool key(pid_t pid, uint16_t code, bool down, uint64_t flags, const std::optional<std::u16string>& unicode) {
  SynthEvent e;
  e.kind = SynthEvent::Kind::key;
  e.code = code;
  e.down = down;
  e.flags = flags;
  e.unicode = unicode;
  sink().post(pid, e);
  return true;
}

std::string route() { return sink().route(); }

void noteWindows(const std::vector<WindowInfo>& windows) {
  std::lock_guard<std::mutex> guard(state().originLock);
  for (const auto& w : windows) state().origins[w.id] = Point{w.bounds.x, w.bounds.y};
}

Point windowPoint(Point point, int64_t window) {
  {
    std::lock_guard<std::mutex> guard(state().originLock);
    auto it = state().origins.find(window);
    if (it != state().origins.end()) return Point{point.x - it->second.x, point.y - it->second.y};
  }
  for (const auto& w : onScreenWindows()) {
    if (w.id != window) continue;
    noteWindows({w});
    return Point{point.x - w.bounds.x, point.y - w.bounds.y};
  }
  return point;
}

}  // namespace Deliver
}  // namespace quorl::courier
