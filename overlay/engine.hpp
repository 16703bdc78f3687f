#pragma once
// The overlay's pure pieces: the hand-over between the input reader and the
// main thread, the lifetimes of cursor and presence requests, and the visibility
// and layout decisions.  No display access here.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "overlay/protocol.hpp"

namespace quorl::overlay {

// One unit of work for the main thread.
struct CursorDelivery {
  CursorCommand command;
  uint64_t receivedAt = 0;       // monotonic nanoseconds when the line was read
  int64_t receivedAtUnixMs = 0;  // wall clock at the same moment
};
struct PresenceDelivery {
  PresenceCommand command;
  uint64_t receivedAt = 0;
  int64_t receivedAtUnixMs = 0;
};
struct StopDelivery {};
using Delivery = std::variant<CursorDelivery, PresenceDelivery, StopDelivery>;

// Hand-over point between the input reader and the main thread.  `submit` may be
// called from any thread; `wake` asks the main thread to call `drain` (once per
// burst).  Between two drains only the latest cursor and presence deliveries
// survive; a stop is applied after them and ends all further acceptance.
class Mailbox {
 public:
  Mailbox(std::function<void(const Delivery&)> apply, std::function<void()> wake)
      : apply_(std::move(apply)), wake_(std::move(wake)) {}

  void submit(Delivery delivery);
  void drain();  // main thread

 private:
  std::mutex lock_;
  std::optional<Delivery> cursor_;
  std::optional<Delivery> presence_;
  bool stopping_ = false;
  bool scheduled_ = false;
  bool stopped_ = false;
  const std::function<void(const Delivery&)> apply_;
  const std::function<void()> wake_;
};

// The input reader: reads standard input (or `fd`) until it ends, fails or
// carries an over-long line, submitting one delivery per line (a rejected line
// hides the cursor and conceals the presence overlay), then a stop.
void runInputReader(int fd, Mailbox& mailbox);

class CursorLifetime {
 public:
  void show(const CursorRequest& request, uint64_t receivedAt, int64_t receivedAtUnixMs);
  void hide() { request_.reset(); }
  std::optional<CursorRequest> current(uint64_t now) const;
  bool holds() const { return request_.has_value(); }
  const std::optional<CursorRequest>& request() const { return request_; }
  uint64_t receivedAt() const { return receivedAt_; }

 private:
  std::optional<CursorRequest> request_;
  uint64_t receivedAt_ = 0;
  uint64_t durationNanoseconds_ = 0;
};

class PresenceLifetime {
 public:
  void show(const PresenceRequest& request, uint64_t receivedAt, int64_t receivedAtUnixMs);
  void conceal() { request_.reset(); }
  std::optional<PresenceRequest> current(uint64_t now) const;
  const std::optional<PresenceRequest>& request() const { return request_; }

 private:
  std::optional<PresenceRequest> request_;
  uint64_t receivedAt_ = 0;
  std::optional<uint64_t> durationNanoseconds_;
};

namespace CursorVisibility {
// Whether the cursor may be drawn: the same process, its exact window, unmoved,
// the glyph inside it and on a display, and no ordinary window in front of it
// over the glyph.  Pure.
bool allows(const CursorRequest& request, const std::optional<ProcessBirth>& currentBirth,
            const std::vector<CursorWindow>& windows, const std::vector<CursorRect>& displays,
            const std::set<uint32_t>& overlayWindowIds = {});
}  // namespace CursorVisibility

namespace PresenceVisibility {
constexpr double minimumWidth = 160;
constexpr double minimumHeight = 100;
// The rectangle the presence overlay covers, or none when the window does not qualify.
std::optional<CursorRect> frame(const PresenceRequest& request, const std::optional<CursorWindow>& window);
// `above` lists the windows above the target front to back: its last entries must
// be `panels` in order.
bool ordered(const std::vector<uint32_t>& above, const std::vector<uint32_t>& panels);
}  // namespace PresenceVisibility

// The tab's width for a window, or none when the window is too narrow.
struct NotchLayout {
  double width = 0;
  bool showsNote = false;

  static constexpr double height = 28;
  static constexpr double shoulder = 10;
  static constexpr double margin = 24;
  static constexpr double leading = 12;
  static constexpr double gap = 8;
  static constexpr double noteGap = 10;
  static constexpr double stopSize = 18;
  static constexpr double stopInset = 5;

  static std::optional<NotchLayout> fit(double windowWidth, double glyph, double title,
                                        std::optional<double> note, bool stop);
  bool operator==(const NotchLayout&) const = default;
};

// The glow mask's geometry: an opaque-at-the-edge rounded square that fades
// inward, stretched over the window by its middle 2-point band.
struct SoftRingGeometry {
  double inset = 0;   // points from each edge to the stretchable band
  double side = 0;    // the square's side in points
  int pixels = 0;     // the square's side in pixels
  // Nine-part stretch centre in unit coordinates: x, y, width, height.
  double centreX = 0, centreY = 0, centreWidth = 0, centreHeight = 0;
};
std::optional<SoftRingGeometry> softRingGeometry(double radius, double scale);

// The soft ring image: premultiplied alpha only (one byte per pixel, row by row),
// `pixels` × `pixels`.  Opaque along the rounded square's edge, fading to nothing
// about 34 points inward.
struct SoftRing {
  SoftRingGeometry geometry;
  std::vector<uint8_t> alpha;
};
std::optional<SoftRing> softRing(double radius, double scale);

}  // namespace quorl::overlay
