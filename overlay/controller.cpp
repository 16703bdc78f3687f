#include "overlay/controller.hpp"

#include <algorithm>
#include <cmath>

namespace quorl::overlay {
namespace {

Rgb rgb255(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }

double fraction(double v) { return v - std::floor(v); }

}  // namespace

namespace Palette {
std::vector<Rgb> line() {
  return {rgb255(160, 224, 21), rgb255(200, 247, 90), rgb255(230, 255, 158), rgb255(156, 232, 192),
          rgb255(98, 214, 166),  rgb255(183, 242, 58), rgb255(160, 224, 21)};
}
std::vector<Rgb> light() {
  return {rgb255(160, 224, 21), rgb255(98, 214, 166), rgb255(212, 251, 110), rgb255(160, 224, 21)};
}
std::vector<Rgb> steady() { return {rgb255(160, 224, 21), rgb255(160, 224, 21)}; }
}  // namespace Palette

// ---- NotchView

double NotchView::glyphWidth() const {
  return request_ && request_->state == PresenceState::turn ? 14 : 6;
}

std::optional<NotchLayout> NotchView::configure(const PresenceRequest& request, double windowWidth) {
  if (!request_ || request_->id != request.id) {
    stopped_ = false;
    pressed_ = false;
  }
  request_ = request;
  double glyph = glyphWidth();
  double title = std::ceil(fonts_.titleWidth(request.title));
  std::optional<double> note;
  if (request.note) note = std::ceil(fonts_.noteWidth(*request.note));
  layout_ = NotchLayout::fit(windowWidth, glyph, title, note, request.state == PresenceState::working);
  redraw();
  return layout_;
}

bool NotchView::hitTest(double x, double y) const {
  if (!request_ || request_->state != PresenceState::working) return false;
  double left = width - 36, top = 2;
  return x >= left && x < left + 24 && y >= top && y < top + 24;
}

void NotchView::pointerMoved(double x, double y) {
  bool now = request_ && request_->state == PresenceState::working && hitTest(x, y);
  if (now != hovering_) {
    hovering_ = now;
    redraw();
  }
}

void NotchView::pointerExited() {
  if (hovering_) {
    hovering_ = false;
    redraw();
  }
}

void NotchView::pointerDown(double x, double y) { pressed_ = hitTest(x, y); }

void NotchView::pointerUp(double x, double y) {
  if (pressed_ && hitTest(x, y)) press();
  pressed_ = false;
}

bool NotchView::accessibilityPerformPress() {
  if (!request_ || request_->state != PresenceState::working) return false;
  press();
  return true;
}

void NotchView::press() {
  if (!request_ || request_->state != PresenceState::working || stopped_) return;
  stopped_ = true;
  redraw();
  if (onStop) onStop(request_->id);
}

// ---- GlowView

void GlowView::update(double w, double h, double r, PresenceState state, double s, bool motion, uint64_t now) {
  width = w;
  height = h;
  radius = r;
  scale = s;
  if (!ring || ring->first != r || ring->second != s) {
    if (auto image = softRing(r, s)) {
      ringImage = std::make_shared<const SoftRing>(std::move(*image));
      ring = std::make_pair(r, s);
      ++ringBuilds;
    }
  }
  if (state == PresenceState::working) {
    lineColours = Palette::line();
    lightColours = Palette::light();
    lightOpacity = 1;
    if (motion) {
      if (!lineFlow) lineFlow = now;
      if (!lightFlow) lightFlow = now;
      if (!breathe) breathe = now;
    } else {
      lineFlow.reset();
      lightFlow.reset();
      breathe.reset();
    }
  } else {
    lineColours = Palette::steady();
    lightColours = Palette::steady();
    lightOpacity = 0.95;
    lineFlow.reset();
    lightFlow.reset();
    breathe.reset();
  }
  ++generation;
}

double GlowView::lineTurn(uint64_t now) const {
  if (!lineFlow || now < *lineFlow) return 0;
  return fraction(static_cast<double>(now - *lineFlow) / 7e9);  // clockwise, 7 s a turn
}

double GlowView::lightTurn(uint64_t now) const {
  if (!lightFlow || now < *lightFlow) return 0;
  return fraction(-static_cast<double>(now - *lightFlow) / 11e9);  // counter-clockwise, 11 s
}

double GlowView::lightAlpha(uint64_t now) const {
  if (!breathe) return lightOpacity;
  double t = now < *breathe ? 0 : static_cast<double>(now - *breathe) / 3.2e9;
  double p = std::fmod(t, 2.0);
  double u = p < 1 ? p : 2 - p;          // auto-reversing
  double eased = u * u * (3 - 2 * u);    // ease in, ease out
  return 0.86 + 0.14 * eased;
}

// ---- PresenceOverlay

void PresenceOverlay::receive(const PresenceCommand& command, uint64_t receivedAt, int64_t receivedAtUnixMs) {
  if (const auto* request = std::get_if<PresenceRequest>(&command)) {
    lifetime_.show(*request, receivedAt, receivedAtUnixMs);
    placed_.reset();
    if (lifetime_.request()) return;
  } else {
    lifetime_.conceal();
  }
  orderOut();
}

void PresenceOverlay::orderOut() {
  if (glowPanel_) glowPanel_->orderOut();
  if (notchPanel_) notchPanel_->orderOut();
  shown_.reset();
  placed_.reset();
}

std::set<uint32_t> PresenceOverlay::panelIds() const {
  if (!shown_) return {};
  return {shown_->panels.begin(), shown_->panels.end()};
}

std::optional<uint32_t> PresenceOverlay::topPanel(uint32_t windowId) const {
  if (!shown_ || shown_->target != windowId || shown_->panels.empty()) return std::nullopt;
  return shown_->panels.front();
}

void PresenceOverlay::refresh(uint64_t now, std::optional<double> primaryTop) {
  auto request = lifetime_.current(now);
  if (!request) {
    lifetime_.conceal();
    orderOut();
    return;
  }
  std::optional<CursorWindow> description;
  if (primaryTop) description = platform_.describeWindow(request->windowId);
  auto frame = PresenceVisibility::frame(*request, description);
  if (!frame) {
    orderOut();
    return;
  }

  bool relayout = !placed_ || !(placed_->frame == *frame) || placed_->id != request->id || !shown_;
  if (relayout) {
    if (!glow_) {
      glow_ = std::make_unique<GlowView>();
      glowPanel_ = platform_.makeGlowPanel(*glow_);
      glowPanel_->setIgnoresMouse(true);
    }
    glowPanel_->setFrame(*frame);

    double radius = platform_.windowCornerRadius();
    if (auto displays = platform_.activeDisplays()) {
      for (const CursorRect& d : *displays)
        if (frame->matches(d, 1.0)) radius = 0;
    }
    glow_->update(frame->width, frame->height, radius, request->state, platform_.backingScale(),
                  !platform_.reduceMotion(), now);
    glowPanel_->setNeedsDisplay();

    if (!notch_) {
      notch_ = std::make_unique<NotchView>(platform_.fonts());
      notch_->onStop = [this](int64_t id) {
        if (onStop_) onStop_(id);
      };
      notchPanel_ = platform_.makeNotchPanel(*notch_);
    }
    auto layout = notch_->configure(*request, frame->width);
    if (!layout) {
      notchPanel_->orderOut();
    } else {
      double midX = frame->x + frame->width / 2;
      notch_->width = layout->width;
      notchPanel_->setFrame({std::round(midX - layout->width / 2), frame->y, layout->width, NotchLayout::height});
      notchPanel_->setIgnoresMouse(request->state != PresenceState::working);
      notchPanel_->setNeedsDisplay();
    }
    placed_ = Placed{*frame, request->id, layout.has_value()};
  }

  if (!glowPanel_ || !placed_) return;
  std::vector<uint32_t> ids;
  bool withNotch = placed_->notch && notchPanel_;
  if (withNotch) ids.push_back(notchPanel_->windowNumber());
  ids.push_back(glowPanel_->windowNumber());
  bool inOrder = false;
  if (shown_) {
    auto above = platform_.windowsAbove(request->windowId);
    inOrder = PresenceVisibility::ordered(above ? *above : ids, ids);
  }
  if (!inOrder) {
    glowPanel_->orderAbove(request->windowId);
    if (withNotch) notchPanel_->orderAbove(glowPanel_->windowNumber());
  }
  shown_ = Shown{request->windowId, ids};
}

// ---- OverlayController

void OverlayController::hideCursor() {
  lifetime_.hide();
  if (panel_) panel_->orderOut();
  cursorShown_ = false;
}

void OverlayController::apply(const Delivery& delivery) {
  if (const auto* c = std::get_if<CursorDelivery>(&delivery)) {
    hideCursor();
    if (const auto* request = std::get_if<CursorRequest>(&c->command))
      lifetime_.show(*request, c->receivedAt, c->receivedAtUnixMs);
    refresh();
  } else if (const auto* p = std::get_if<PresenceDelivery>(&delivery)) {
    presence_.receive(p->command, p->receivedAt, p->receivedAtUnixMs);
    refresh();
  } else {
    hideCursor();
    presence_.receive(PresenceConceal{}, 0, 0);
    platform_.terminate();
  }
}

void OverlayController::refresh() {
  platform_.beginPass();
  uint64_t now = platform_.uptimeNanoseconds();
  auto primaryTop = platform_.primaryTop();
  presence_.refresh(now, primaryTop);

  std::set<uint32_t> presencePanels = presence_.panelIds();
  std::optional<uint32_t> above;
  if (lifetime_.request()) above = presence_.topPanel(lifetime_.request()->windowId);

  bool show = false;
  auto request = lifetime_.current(now);
  if (request) {
    auto windows = platform_.windowList();
    auto displays = windows ? platform_.activeDisplays() : std::nullopt;
    if (windows && displays && primaryTop) {
      auto birth = platform_.processBirth(request->pid);
      std::set<uint32_t> own = presencePanels;
      if (panel_) own.insert(panel_->windowNumber());
      show = CursorVisibility::allows(*request, birth, *windows, *displays, own);
    }
  }

  if (show) {
    if (!panel_) panel_ = platform_.makeCursorPanel(artwork_);
    panel_->setFrame(request->glyphBounds());
    artwork_.phase = request->phase;
    artwork_.elapsed = static_cast<double>(now - lifetime_.receivedAt()) / 1e9;
    panel_->setNeedsDisplay();
    panel_->orderAbove(above ? *above : request->windowId);
    cursorShown_ = true;
  } else {
    hideCursor();
  }

  bool wantTimer = presence_.active() || lifetime_.holds();
  if (wantTimer != timer_) {
    timer_ = wantTimer;
    platform_.setTimer(wantTimer);
  }
}

}  // namespace quorl::overlay
