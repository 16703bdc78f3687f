#include "courier/courier_platform.hpp"

#include <chrono>
#include <thread>

#include "common/out.hpp"
#include "platform/user_input.hpp"
#include "platform/x11/connection.hpp"
#include "shared/process_start.hpp"
#include "shared/spi.hpp"

namespace quorl::courier {
namespace {

platform::InputKind toInputKind(UserEvent kind) {
  switch (kind) {
    case UserEvent::leftDown: return platform::InputKind::LeftDown;
    case UserEvent::rightDown: return platform::InputKind::RightDown;
    case UserEvent::otherDown: return platform::InputKind::OtherDown;
    case UserEvent::keyDown: return platform::InputKind::KeyDown;
    case UserEvent::wheel: return platform::InputKind::Wheel;
  }
  return platform::InputKind::KeyDown;
}

class X11CourierPlatform final : public CourierPlatform {
 public:
  double nowMs() override { return quorl::nowMs(); }
  void sleepMs(double ms) override {
    if (ms <= 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
  }

  std::vector<std::string> missing() override { return SPI::missing(); }
  // The display is open and takes synthetic input: through the agent device
  // pair (XTEST and XInput 2.2, route "sky") or XSendEvent (route "cg").
  bool postAccess() override { return x11::shared() != nullptr; }
  std::string route() override { return Deliver::route(); }

  std::optional<std::string> processStart(pid_t pid) override { return quorl::processStart(pid); }
  pid_t frontPid() override { return SPI::frontPid(); }
  pid_t keyFocusPid() override { return SPI::keyFocusPid(); }

  double secondsSince(UserEvent kind) override {
    return platform::userInput().secondsSince(toInputKind(kind));
  }
  Point pointerLocation() override { return platform::userInput().pointerLocation(); }

  std::vector<WindowInfo> onScreenWindows() override { return courier::onScreenWindows(); }
  bool pressable(const WindowInfo& w) override { return courier::pressable(w); }
  std::optional<WindowInfo> ownerAt(Point p, const std::vector<WindowInfo>& windows) override {
    return courier::ownerAt(p, windows);
  }

  std::optional<uint16_t> keyCode(std::string_view name) override { return Keys::code(name); }
  const std::map<std::string, Keys::Modifier>& modifiers() override { return Keys::modifiers(); }

  bool mouse(pid_t pid, int type, Button button, Point at, int64_t window, int64_t clicks) override {
    return Deliver::mouse(pid, type, button, at, window, clicks);
  }
  bool wheel(pid_t pid, Point at, int64_t window, bool pixel, int32_t dy, int32_t dx) override {
    return Deliver::wheel(pid, at, window, pixel, dy, dx);
  }
  bool key(pid_t pid, uint16_t code, bool down, uint64_t flags,
           const std::optional<std::u16string>& unicode) override {
    return Deliver::key(pid, code, down, flags, unicode);
  }
  void noteWindows(const std::vector<WindowInfo>& windows) override { Deliver::noteWindows(windows); }
  void setKeyWindow(pid_t pid, int64_t window) override { Deliver::sink().setKeyWindow(pid, window); }

  void shutdown() override { platform::shutdownUserInput(); }
};

}  // namespace

std::unique_ptr<CourierPlatform> realCourierPlatform() { return std::make_unique<X11CourierPlatform>(); }

}  // namespace quorl::courier
