#pragma once
// The overlay on an X display: override-redirect windows drawn with cairo,
// stacked directly above the target's top-level window, click-through through
// an empty input shape.  With a compositing manager the windows use a 32-bit
// visual; without one they are shaped to what they draw.
#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "overlay/artwork.hpp"
#include "overlay/controller.hpp"
#include "platform/x11/connection.hpp"
#include "platform/x11/windows.hpp"

namespace quorl::overlay {

class XPanel;

class XOverlayPlatform : public OverlayPlatform {
 public:
  // Null when the display cannot be opened.
  static std::unique_ptr<XOverlayPlatform> open();
  ~XOverlayPlatform() override;

  // The main loop: waits on the display and on `wakeFd` (the mailbox's wake-up),
  // drains the mailbox, dispatches X events and drives the 30 Hz ticks until
  // terminate() is called.
  // True when it ended through terminate().
  bool run(OverlayController& controller, Mailbox& mailbox, int wakeFd);

  uint64_t uptimeNanoseconds() override;
  std::optional<double> primaryTop() override;
  std::optional<std::vector<CursorWindow>> windowList() override;
  std::optional<CursorWindow> describeWindow(uint32_t windowId) override;
  std::optional<std::vector<uint32_t>> windowsAbove(uint32_t windowId) override;
  std::optional<std::vector<CursorRect>> activeDisplays() override;
  std::optional<ProcessBirth> processBirth(int32_t pid) override;
  bool reduceMotion() override;
  double windowCornerRadius() override { return 10; }
  double backingScale() override { return 1; }
  std::unique_ptr<OverlayPanel> makeCursorPanel(const CursorArtwork& artwork) override;
  std::unique_ptr<OverlayPanel> makeGlowPanel(const GlowView& glow) override;
  std::unique_ptr<OverlayPanel> makeNotchPanel(NotchView& notch) override;
  NotchFonts& fonts() override { return text_; }
  void setTimer(bool running) override;
  void terminate() override { terminated_ = true; }
  void beginPass() override { snapshot_.reset(); }

  // Used by the panels.
  x11::Connection& connection() { return *conn_; }
  bool composited() const { return composited_; }
  xcb_visualid_t visual() const { return visual_; }
  uint8_t depth() const { return depth_; }
  xcb_colormap_t colormap() const { return colormap_; }
  PangoText& text() { return text_; }
  // The root child that holds a window (its window-manager frame), or the window
  // itself for one of ours; none when unknown.
  std::optional<xcb_window_t> stackingWindow(uint32_t windowId);
  bool stackingChanged() const { return stackingGeneration_ != 0; }
  uint64_t stackingGeneration() const { return stackingGeneration_; }
  void registerPanel(XPanel* panel);
  void unregisterPanel(XPanel* panel);
  bool hasShapeInput() const { return shapeInput_; }

 private:
  explicit XOverlayPlatform(std::shared_ptr<x11::Connection> conn);
  const std::vector<platform::WindowRecord>* snapshot();
  void handleEvent(xcb_generic_event_t* event, bool& wantRefresh);
  void paintPanels(bool tick);
  static constexpr uint64_t kTickNanoseconds = 33'333'333;  // 30 a second

  std::shared_ptr<x11::Connection> conn_;
  bool composited_ = false;
  bool shapeInput_ = false;
  xcb_visualid_t visual_ = 0;
  uint8_t depth_ = 0;
  xcb_colormap_t colormap_ = 0;
  PangoText text_;
  std::optional<std::vector<platform::WindowRecord>> snapshot_;
  std::unordered_map<xcb_window_t, XPanel*> panels_;
  uint64_t stackingGeneration_ = 1;
  bool timer_ = false;
  uint64_t nextTick_ = 0;
  bool terminated_ = false;
};

}  // namespace quorl::overlay
