#pragma once
// The overlay's main-thread logic: the controller that applies deliveries and
// refreshes, the presence overlay that places and stacks its two panels, and the
// state of the three views.  Everything the display provides goes through
// OverlayPlatform, so the logic runs against a recording substitute in tests.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "overlay/engine.hpp"
#include "overlay/protocol.hpp"

namespace quorl::overlay {

// What the cursor view draws.
struct CursorArtwork {
  CursorPhase phase = CursorPhase::move;
  double elapsed = 0;  // seconds since the request's line was read
};

// Text widths of the tab, from the platform's text system.
class NotchFonts {
 public:
  virtual ~NotchFonts() = default;
  virtual double titleWidth(const std::string& text) = 0;  // 12 px, medium
  virtual double noteWidth(const std::string& text) = 0;   // 12 px, regular
};

// The tab's state and its stop control.  Coordinates are the view's own: origin
// at the top left, y down, width `width`, height 28.
class NotchView {
 public:
  explicit NotchView(NotchFonts& fonts) : fonts_(fonts) {}

  std::optional<NotchLayout> configure(const PresenceRequest& request, double windowWidth);
  // The stop control's circle grown by 3 on every side, for a working request.
  bool hitTest(double x, double y) const;
  void pointerMoved(double x, double y);  // entered or moved
  void pointerExited();
  void pointerDown(double x, double y);
  void pointerUp(double x, double y);
  bool accessibilityPerformPress();

  double width = 200;
  std::function<void(int64_t)> onStop;
  std::function<void()> needsDisplay;

  const std::optional<PresenceRequest>& request() const { return request_; }
  const std::optional<NotchLayout>& layout() const { return layout_; }
  bool hovering() const { return hovering_; }
  bool pressed() const { return pressed_; }
  bool stopped() const { return stopped_; }
  double glyphWidth() const;

 private:
  void press();
  void redraw() {
    if (needsDisplay) needsDisplay();
  }
  NotchFonts& fonts_;
  std::optional<PresenceRequest> request_;
  std::optional<NotchLayout> layout_;
  bool hovering_ = false;
  bool pressed_ = false;
  bool stopped_ = false;
};

struct Rgb {
  double r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

namespace Palette {
std::vector<Rgb> line();
std::vector<Rgb> light();
std::vector<Rgb> steady();
}  // namespace Palette

// The glow's state: size, corner radius, colours, and which of the repeating
// animations run.  The display side renders it at any moment from this state.
class GlowView {
 public:
  static constexpr double lineWidth = 2;
  static constexpr double lineInset = 1;
  static constexpr double depth = 34;

  // `now` (monotonic nanoseconds) starts an animation that is added.
  void update(double width, double height, double radius, PresenceState state, double scale, bool motion,
              uint64_t now);

  double width = 200, height = 200, radius = 0, scale = 1;
  std::vector<Rgb> lineColours = Palette::steady();
  std::vector<Rgb> lightColours = Palette::steady();
  double lightOpacity = 1;
  // Start of each running animation ("flow" of the two gradients, "breathe").
  std::optional<uint64_t> lineFlow, lightFlow, breathe;
  std::shared_ptr<const SoftRing> ringImage;
  std::optional<std::pair<double, double>> ring;  // radius and scale the image was made for
  int ringBuilds = 0;                             // how often the image was made
  uint64_t generation = 0;                        // bumped by every update

  // Rotation of each gradient in turns (clockwise positive) and the glow's
  // opacity at a moment.
  double lineTurn(uint64_t now) const;
  double lightTurn(uint64_t now) const;
  double lightAlpha(uint64_t now) const;
  bool animating() const { return lineFlow || lightFlow || breathe; }
};

// One overlay panel on the display.
class OverlayPanel {
 public:
  virtual ~OverlayPanel() = default;
  virtual uint32_t windowNumber() const = 0;
  virtual void setFrame(const CursorRect& frame) = 0;  // root coordinates
  virtual void orderAbove(uint32_t windowNumber) = 0;  // directly above that window
  virtual void orderOut() = 0;
  virtual void setIgnoresMouse(bool ignores) = 0;
  virtual void setNeedsDisplay() = 0;
};

class OverlayPlatform {
 public:
  virtual ~OverlayPlatform() = default;
  virtual uint64_t uptimeNanoseconds() = 0;
  // The primary screen's top; none when there is no screen.
  virtual std::optional<double> primaryTop() = 0;
  // On-screen windows front to back; none when the list is unavailable or malformed.
  virtual std::optional<std::vector<CursorWindow>> windowList() = 0;
  virtual std::optional<CursorWindow> describeWindow(uint32_t windowId) = 0;
  // On-screen windows above a window, front to back.
  virtual std::optional<std::vector<uint32_t>> windowsAbove(uint32_t windowId) = 0;
  virtual std::optional<std::vector<CursorRect>> activeDisplays() = 0;
  virtual std::optional<ProcessBirth> processBirth(int32_t pid) = 0;
  virtual bool reduceMotion() = 0;
  virtual double windowCornerRadius() = 0;
  virtual double backingScale() = 0;
  virtual std::unique_ptr<OverlayPanel> makeCursorPanel(const CursorArtwork& artwork) = 0;
  virtual std::unique_ptr<OverlayPanel> makeGlowPanel(const GlowView& glow) = 0;
  virtual std::unique_ptr<OverlayPanel> makeNotchPanel(NotchView& notch) = 0;
  virtual NotchFonts& fonts() = 0;
  // Starts or stops the 1/30 s ticks that call OverlayController::refresh.
  virtual void setTimer(bool running) = 0;
  // Ends the process (status 0) once the current step returns.
  virtual void terminate() = 0;
  // A refresh pass begins: facts may be read once per pass.
  virtual void beginPass() {}
};

class PresenceOverlay {
 public:
  PresenceOverlay(OverlayPlatform& platform, std::function<void(int64_t)> onStop)
      : platform_(platform), onStop_(std::move(onStop)) {}

  void receive(const PresenceCommand& command, uint64_t receivedAt, int64_t receivedAtUnixMs);
  void refresh(uint64_t now, std::optional<double> primaryTop);
  bool active() const { return lifetime_.request().has_value(); }
  std::set<uint32_t> panelIds() const;
  std::optional<uint32_t> topPanel(uint32_t windowId) const;
  void orderOut();

  const PresenceLifetime& lifetime() const { return lifetime_; }
  const GlowView* glow() const { return glow_.get(); }
  NotchView* notch() const { return notch_.get(); }
  OverlayPanel* glowPanel() const { return glowPanel_.get(); }
  OverlayPanel* notchPanel() const { return notchPanel_.get(); }

  struct Placed {
    CursorRect frame;
    int64_t id = 0;
    bool notch = false;
  };
  struct Shown {
    uint32_t target = 0;
    std::vector<uint32_t> panels;  // top to bottom
  };
  const std::optional<Placed>& placed() const { return placed_; }
  const std::optional<Shown>& shown() const { return shown_; }

 private:
  OverlayPlatform& platform_;
  std::function<void(int64_t)> onStop_;
  PresenceLifetime lifetime_;
  std::unique_ptr<GlowView> glow_;
  std::unique_ptr<OverlayPanel> glowPanel_;
  std::unique_ptr<NotchView> notch_;
  std::unique_ptr<OverlayPanel> notchPanel_;
  std::optional<Placed> placed_;
  std::optional<Shown> shown_;
};

class OverlayController {
 public:
  OverlayController(OverlayPlatform& platform, std::function<void(int64_t)> onStop)
      : platform_(platform), presence_(platform, std::move(onStop)) {}

  void apply(const Delivery& delivery);
  void refresh();

  const CursorLifetime& cursorLifetime() const { return lifetime_; }
  const CursorArtwork& artwork() const { return artwork_; }
  OverlayPanel* cursorPanel() const { return panel_.get(); }
  PresenceOverlay& presence() { return presence_; }
  bool timerRunning() const { return timer_; }
  bool cursorShown() const { return cursorShown_; }

 private:
  void hideCursor();
  OverlayPlatform& platform_;
  PresenceOverlay presence_;
  CursorLifetime lifetime_;
  CursorArtwork artwork_;
  std::unique_ptr<OverlayPanel> panel_;
  bool cursorShown_ = false;
  bool timer_ = false;
};

}  // namespace quorl::overlay
