#pragma once
// agent-overlay's command protocol: one JSON object per line on standard input,
// one stop event line on standard output.  Everything here is pure (no display).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorl::overlay {

// Why a line was rejected.  `json` is a line the JSON parser refused; every
// consumer treats the three alike.
enum class CommandError { invalid, oversized, json };

// An axis-aligned rectangle in root-window coordinates (origin top left, y down).
struct CursorRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool isValid() const;
  bool contains(const CursorRect& other) const;    // edges may touch
  bool intersects(const CursorRect& other) const;  // closed rectangles; touching counts
  bool matches(const CursorRect& other, double tolerance = 0.5) const;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  bool operator==(const CursorRect&) const = default;
};

// One process incarnation by its start, read from a start token "S:U".
struct ProcessBirth {
  uint64_t seconds = 0;
  uint64_t microseconds = 0;
  static std::optional<ProcessBirth> fromStamp(std::string_view stamp);
  bool operator==(const ProcessBirth&) const = default;
};

// What the window list says about one on-screen window.
struct CursorWindow {
  uint32_t id = 0;
  int32_t pid = 0;
  CursorRect bounds;
  int64_t layer = 0;
  bool onScreen = true;
  double alpha = 1.0;
};

enum class CursorPhase { click, move };

struct CursorRequest {
  int32_t pid = 0;
  ProcessBirth processStart;
  uint32_t windowId = 0;
  CursorRect windowBounds;
  double x = 0;
  double y = 0;
  CursorPhase phase = CursorPhase::move;
  int64_t ttlMs = 0;
  int64_t issuedAtMs = 0;

  static constexpr int64_t maximumTtlMs = 1500;
  // The rectangle the cursor artwork covers; the hot spot is 16 right and 16 down
  // of its top-left corner.
  CursorRect glyphBounds() const { return {x - 16, y - 16, 88, 56}; }
  std::optional<int64_t> remainingMilliseconds(int64_t nowUnixMs) const;
};

enum class PresenceState { working, turn };

struct PresenceRequest {
  int64_t id = 0;
  int32_t pid = 0;
  uint32_t windowId = 0;
  PresenceState state = PresenceState::working;
  std::string title;
  std::optional<std::string> note;
  std::optional<std::string> stop;
  std::optional<int64_t> ttlMs;
  std::optional<int64_t> issuedAtMs;

  static constexpr int64_t maximumTurnMs = 10000;
  std::optional<int64_t> remainingMilliseconds(int64_t nowUnixMs) const;
};

struct CursorHide {};
using CursorCommand = std::variant<CursorRequest, CursorHide>;  // show(request) or hide
struct PresenceConceal {};
using PresenceCommand = std::variant<PresenceRequest, PresenceConceal>;  // show(request) or conceal

struct HelperCommand {
  std::variant<CursorCommand, PresenceCommand> value;

  static constexpr size_t maximumLineBytes = 1024;

  // Parses one line (without its line feed) against the overlay's wall clock.
  static std::variant<HelperCommand, CommandError> parse(std::string_view line, int64_t nowUnixMs);
  static std::variant<HelperCommand, CommandError> parse(std::string_view line);

  // The two field readers of presence commands.  `integer`: a JSON number, not a
  // Boolean, integral and inside the signed 64-bit range.  `words`: a string that
  // is not blank after trimming spaces and tabs, has at most `limit` user-perceived
  // characters and no control or format character; the untrimmed string.
  static std::optional<int64_t> integer(const nlohmann::json& value);
  static std::optional<std::string> words(const nlohmann::json& value, size_t limit);
};

// "show" and "hide" lines (the size and JSON checks are repeated on the line).
std::variant<CursorCommand, CommandError> parseCursorCommand(std::string_view line, int64_t nowUnixMs);
std::optional<PresenceRequest> presenceRequest(const nlohmann::json& object, int64_t nowUnixMs);

// Cuts standard input into lines.  A line may hold at most 1024 bytes before its
// line feed; one byte more fails the whole chunk with `oversized`.
class CursorLineReader {
 public:
  std::variant<std::vector<std::string>, CommandError> consume(std::string_view chunk);
  const std::string& pending() const { return pending_; }

 private:
  std::string pending_;
};

// One read of at most 2048 bytes (EINTR retried).
struct InputChunk {
  enum class Kind { data, end, error } kind = Kind::end;
  std::string bytes;
  int error = 0;  // errno of a failed read
};
InputChunk readCursorInputChunk(int fd);
constexpr size_t kInputChunkBytes = 2048;

// The exact bytes of the stop event for a request id.
std::string stopEventLine(int64_t id);

// Wall-clock milliseconds since 1970, truncated.
int64_t unixNowMs();
// The monotonic clock in nanoseconds.
uint64_t uptimeNanoseconds();

}  // namespace quorl::overlay
