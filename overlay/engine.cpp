#include "overlay/engine.hpp"

#include <algorithm>
#include <cmath>

namespace quorl::overlay {

void Mailbox::submit(Delivery delivery) {
  bool wasScheduled;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_) return;
    if (std::holds_alternative<CursorDelivery>(delivery)) cursor_ = std::move(delivery);
    else if (std::holds_alternative<PresenceDelivery>(delivery)) presence_ = std::move(delivery);
    else stopped_ = stopping_ = true;
    wasScheduled = scheduled_;
    scheduled_ = true;
  }
  if (!wasScheduled) wake_();
}

void Mailbox::drain() {
  std::vector<Delivery> collected;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (presence_) collected.push_back(std::move(*presence_));
    if (cursor_) collected.push_back(std::move(*cursor_));
    if (stopping_) collected.push_back(StopDelivery{});
    presence_.reset();
    cursor_.reset();
    stopping_ = false;
    scheduled_ = false;
  }
  for (const Delivery& d : collected) apply_(d);
}

void runInputReader(int fd, Mailbox& mailbox) {
  CursorLineReader reader;
  for (;;) {
    InputChunk chunk = readCursorInputChunk(fd);
    if (chunk.kind != InputChunk::Kind::data) break;
    auto lines = reader.consume(chunk.bytes);
    if (std::holds_alternative<CommandError>(lines)) break;
    for (const std::string& line : std::get<std::vector<std::string>>(lines)) {
      uint64_t receivedAt = uptimeNanoseconds();
      int64_t receivedAtUnixMs = unixNowMs();
      auto parsed = HelperCommand::parse(line);
      if (auto* command = std::get_if<HelperCommand>(&parsed)) {
        if (auto* cursor = std::get_if<CursorCommand>(&command->value))
          mailbox.submit(CursorDelivery{*cursor, receivedAt, receivedAtUnixMs});
        else
          mailbox.submit(PresenceDelivery{std::get<PresenceCommand>(command->value), receivedAt, receivedAtUnixMs});
      } else {
        mailbox.submit(CursorDelivery{CursorHide{}, receivedAt, receivedAtUnixMs});
        mailbox.submit(PresenceDelivery{PresenceConceal{}, receivedAt, receivedAtUnixMs});
      }
    }
  }
  mailbox.submit(StopDelivery{});
}

void CursorLifetime::show(const CursorRequest& request, uint64_t receivedAt, int64_t receivedAtUnixMs) {
  auto remaining = request.remainingMilliseconds(receivedAtUnixMs);
  if (!remaining) {
    request_.reset();
    return;
  }
  request_ = request;
  receivedAt_ = receivedAt;
  durationNanoseconds_ = static_cast<uint64_t>(*remaining) * 1'000'000ull;
}

std::optional<CursorRequest> CursorLifetime::current(uint64_t now) const {
  if (!request_ || now < receivedAt_ || now - receivedAt_ >= durationNanoseconds_) return std::nullopt;
  return request_;
}

void PresenceLifetime::show(const PresenceRequest& request, uint64_t receivedAt, int64_t receivedAtUnixMs) {
  if (request.state == PresenceState::turn) {
    auto remaining = request.remainingMilliseconds(receivedAtUnixMs);
    if (!remaining) {
      request_.reset();
      return;
    }
    durationNanoseconds_ = static_cast<uint64_t>(*remaining) * 1'000'000ull;
  } else {
    durationNanoseconds_.reset();
  }
  request_ = request;
  receivedAt_ = receivedAt;
}

std::optional<PresenceRequest> PresenceLifetime::current(uint64_t now) const {
  if (!request_ || now < receivedAt_) return std::nullopt;
  if (durationNanoseconds_ && now - receivedAt_ >= *durationNanoseconds_) return std::nullopt;
  return request_;
}

namespace CursorVisibility {

bool allows(const CursorRequest& request, const std::optional<ProcessBirth>& currentBirth,
            const std::vector<CursorWindow>& windows, const std::vector<CursorRect>& displays,
            const std::set<uint32_t>& overlayWindowIds) {
  if (request.pid <= 0 || request.windowId == 0) return false;
  if (!currentBirth || !(*currentBirth == request.processStart)) return false;

  size_t targetIndex = windows.size();
  for (size_t i = 0; i < windows.size(); ++i) {
    if (windows[i].id != request.windowId) continue;
    if (targetIndex != windows.size()) return false;  // two windows under one number
    targetIndex = i;
  }
  if (targetIndex == windows.size()) return false;
  const CursorWindow& target = windows[targetIndex];
  if (target.pid != request.pid || target.layer != 0 || !target.onScreen) return false;
  if (!std::isfinite(target.alpha) || target.alpha <= 0) return false;
  if (!request.windowBounds.matches(target.bounds, 0.5) || !target.bounds.isValid()) return false;

  CursorRect glyph = request.glyphBounds();
  if (!glyph.isValid() || !target.bounds.contains(glyph)) return false;
  bool onDisplay = std::any_of(displays.begin(), displays.end(),
                               [&](const CursorRect& d) { return d.isValid() && d.contains(glyph); });
  if (!onDisplay) return false;
  if (targetIndex == 0) return true;

  for (size_t i = 0; i < targetIndex; ++i) {
    const CursorWindow& w = windows[i];
    if (overlayWindowIds.count(w.id)) continue;
    CursorRect geometryOnly = w.bounds;
    bool soundGeometry = geometryOnly.isValid() && std::isfinite(w.alpha);
    if (!soundGeometry) return false;
    if (w.layer == 0 && w.onScreen && w.alpha > 0 && w.bounds.intersects(glyph)) return false;
  }
  return true;
}

}  // namespace CursorVisibility

namespace PresenceVisibility {

std::optional<CursorRect> frame(const PresenceRequest& request, const std::optional<CursorWindow>& window) {
  if (!window) return std::nullopt;
  if (window->id != request.windowId || window->pid != request.pid) return std::nullopt;
  if (window->layer != 0 || !window->onScreen) return std::nullopt;
  if (!std::isfinite(window->alpha) || window->alpha <= 0) return std::nullopt;
  const CursorRect& b = window->bounds;
  if (!b.isValid() || b.width < minimumWidth || b.height < minimumHeight) return std::nullopt;
  return b;
}

bool ordered(const std::vector<uint32_t>& above, const std::vector<uint32_t>& panels) {
  if (panels.empty() || above.size() < panels.size()) return false;
  return std::equal(panels.begin(), panels.end(), above.end() - static_cast<long>(panels.size()));
}

}  // namespace PresenceVisibility

std::optional<NotchLayout> NotchLayout::fit(double windowWidth, double glyph, double title,
                                            std::optional<double> note, bool stop) {
  double noteWidth = note.value_or(0);
  for (double v : {windowWidth, glyph, title, noteWidth})
    if (!std::isfinite(v) || v < 0) return std::nullopt;
  double base = title + glyph + 40 + (stop ? 33 : 12);
  double available = windowWidth - 2 * margin;
  if (note && *note > 0 && base + noteGap + *note <= available)
    return NotchLayout{std::ceil(base + noteGap + *note), true};
  if (base <= available) return NotchLayout{std::ceil(base), false};
  return std::nullopt;
}

std::optional<SoftRingGeometry> softRingGeometry(double radius, double scale) {
  if (!std::isfinite(radius) || radius < 0 || !std::isfinite(scale) || scale <= 0) return std::nullopt;
  SoftRingGeometry g;
  g.inset = std::ceil(std::max(radius, 34.0) + 6);
  g.side = 2 * g.inset + 2;
  double pixels = std::ceil(scale * g.side);
  if (pixels > 4096) return std::nullopt;
  g.pixels = static_cast<int>(pixels);
  g.centreX = g.centreY = g.inset / g.side;
  g.centreWidth = g.centreHeight = 2 / g.side;
  return g;
}

namespace {

// Signed distance from p to a rounded rectangle (negative inside).
double roundedRectDistance(double px, double py, double w, double h, double r) {
  double hx = w / 2, hy = h / 2;
  r = std::min({r, hx, hy});
  double qx = std::fabs(px - hx) - (hx - r);
  double qy = std::fabs(py - hy) - (hy - r);
  double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
  return outside + std::min(std::max(qx, qy), 0.0) - r;
}

// The part of a blurred half-plane shadow that reaches `d` points inside the edge.
double shadowReach(double d, double sigma) { return 0.5 * std::erfc(d / (sigma * std::sqrt(2.0))); }

}  // namespace

std::optional<SoftRing> softRing(double radius, double scale) {
  auto geometry = softRingGeometry(radius, scale);
  if (!geometry) return std::nullopt;
  SoftRing ring{*geometry, {}};
  const int n = geometry->pixels;
  ring.alpha.assign(static_cast<size_t>(n) * n, 0);
  // Two shadows of everything outside the rounded square fall inward: a wide
  // soft one (blur 34) and a tighter, strong one (blur 9, alpha 0.9) near the edge.
  // A blur of b points is a Gaussian of deviation b / 2.
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      double px = (i + 0.5) / scale, py = (j + 0.5) / scale;
      double sd = roundedRectDistance(px, py, geometry->side, geometry->side, radius);
      double clip = std::clamp(0.5 - sd * scale, 0.0, 1.0);
      if (clip <= 0) continue;
      double d = std::max(-sd, 0.0);
      double wide = shadowReach(d, 17.0), tight = 0.9 * shadowReach(d, 4.5);
      double a = (1 - (1 - wide) * (1 - tight)) * clip;
      int v = static_cast<int>(std::lround(a * 255));
      // The faint remainder past the glow's reach is left fully transparent so the
      // window's interior stays untouched.
      ring.alpha[static_cast<size_t>(j) * n + i] = static_cast<uint8_t>(v < 4 ? 0 : v);
    }
  }
  return ring;
}

}  // namespace quorl::overlay
