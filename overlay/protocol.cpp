#include "overlay/protocol.hpp"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "common/json_fields.hpp"
#include "common/unicode.hpp"

namespace quorl::overlay {
namespace {

using Json = nlohmann::json;

constexpr double kCoordinateLimit = 10'000'000;

bool sound(double v) { return std::isfinite(v) && std::fabs(v) <= kCoordinateLimit; }

std::optional<uint64_t> decimal(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// The object's keys are exactly `keys`.
bool hasExactKeys(const Json& object, std::initializer_list<std::string_view> keys) {
  if (object.size() != keys.size()) return false;
  for (auto key : keys)
    if (!object.contains(std::string(key))) return false;
  return true;
}

// The typed decoding of "show": an integral JSON number within [lo, hi].
std::optional<int64_t> ranged(const Json& object, const char* key, int64_t lo, int64_t hi) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  auto v = HelperCommand::integer(*it);
  if (!v || *v < lo || *v > hi) return std::nullopt;
  return v;
}

std::optional<double> realNumber(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::optional<CursorRequest> cursorRequest(const Json& o, int64_t nowUnixMs) {
  if (!hasExactKeys(o, {"type", "pid", "processStart", "windowId", "windowBounds", "x", "y", "phase",
                        "ttlMs", "issuedAtMs"}))
    return std::nullopt;
  CursorRequest r;
  auto pid = ranged(o, "pid", 1, INT32_MAX);
  auto windowId = ranged(o, "windowId", 1, UINT32_MAX);
  auto ttl = ranged(o, "ttlMs", 1, CursorRequest::maximumTtlMs);
  auto issued = ranged(o, "issuedAtMs", INT64_MIN, INT64_MAX);
  if (!pid || !windowId || !ttl || !issued) return std::nullopt;
  r.pid = static_cast<int32_t>(*pid);
  r.windowId = static_cast<uint32_t>(*windowId);
  r.ttlMs = *ttl;
  r.issuedAtMs = *issued;

  const Json& start = o["processStart"];
  if (!start.is_string()) return std::nullopt;
  auto birth = ProcessBirth::fromStamp(start.get_ref<const std::string&>());
  if (!birth) return std::nullopt;
  r.processStart = *birth;

  const Json& bounds = o["windowBounds"];
  if (!bounds.is_object() || !hasExactKeys(bounds, {"x", "y", "width", "height"})) return std::nullopt;
  auto bx = realNumber(bounds, "x"), by = realNumber(bounds, "y");
  auto bw = realNumber(bounds, "width"), bh = realNumber(bounds, "height");
  if (!bx || !by || !bw || !bh) return std::nullopt;
  r.windowBounds = {*bx, *by, *bw, *bh};
  if (!r.windowBounds.isValid()) return std::nullopt;

  auto x = realNumber(o, "x"), y = realNumber(o, "y");
  if (!x || !y || !sound(*x) || !sound(*y)) return std::nullopt;
  r.x = *x;
  r.y = *y;

  const Json& phase = o["phase"];
  if (!phase.is_string()) return std::nullopt;
  if (phase == "click") r.phase = CursorPhase::click;
  else if (phase == "move") r.phase = CursorPhase::move;
  else return std::nullopt;

  if (!r.remainingMilliseconds(nowUnixMs)) return std::nullopt;
  return r;
}

// The freshness rule shared by both requests.  128-bit arithmetic: every
// signed 64-bit stamp is accepted on the wire, and none may overflow here.
std::optional<int64_t> remaining(int64_t ttlMs, int64_t maximum, int64_t issuedAtMs, int64_t nowUnixMs) {
  if (ttlMs < 1 || ttlMs > maximum) return std::nullopt;
  if (issuedAtMs <= 0 || nowUnixMs <= 0) return std::nullopt;
  __int128 now = nowUnixMs, issued = issuedAtMs, ttl = ttlMs;
  if (now + 1000 < issued) return std::nullopt;
  if (!(now - ttl < issued)) return std::nullopt;
  __int128 left = issued + ttl - now;
  return static_cast<int64_t>(std::min(left, ttl));
}

}  // namespace

bool CursorRect::isValid() const {
  return sound(x) && sound(y) && sound(width) && sound(height) && sound(x + width) &&
         sound(y + height) && width > 0 && height > 0;
}

bool CursorRect::contains(const CursorRect& o) const {
  return isValid() && o.isValid() && o.x >= x && o.y >= y && o.x + o.width <= x + width &&
         o.y + o.height <= y + height;
}

bool CursorRect::intersects(const CursorRect& o) const {
  return isValid() && o.isValid() && o.x <= x + width && x <= o.x + o.width && o.y <= y + height &&
         y <= o.y + o.height;
}

bool CursorRect::matches(const CursorRect& o, double tolerance) const {
  return isValid() && o.isValid() && std::fabs(x - o.x) <= tolerance && std::fabs(y - o.y) <= tolerance &&
         std::fabs(width - o.width) <= tolerance && std::fabs(height - o.height) <= tolerance;
}

std::optional<ProcessBirth> ProcessBirth::fromStamp(std::string_view stamp) {
  if (stamp.size() > 32) return std::nullopt;
  auto colon = stamp.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view first = stamp.substr(0, colon), second = stamp.substr(colon + 1);
  if (second.find(':') != std::string_view::npos) return std::nullopt;
  auto seconds = decimal(first);
  auto micros = decimal(second);
  if (!seconds || !micros || *seconds == 0 || *micros > 999999) return std::nullopt;
  return ProcessBirth{*seconds, *micros};
}

std::optional<int64_t> CursorRequest::remainingMilliseconds(int64_t nowUnixMs) const {
  return remaining(ttlMs, maximumTtlMs, issuedAtMs, nowUnixMs);
}

std::optional<int64_t> PresenceRequest::remainingMilliseconds(int64_t nowUnixMs) const {
  if (state != PresenceState::turn || !ttlMs || !issuedAtMs) return std::nullopt;
  return remaining(*ttlMs, maximumTurnMs, *issuedAtMs, nowUnixMs);
}

std::optional<int64_t> HelperCommand::integer(const Json& v) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return std::nullopt;
    // [-2^63, 2^63): 2^63 itself is the first double outside the range.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::string> HelperCommand::words(const Json& value, size_t limit) {
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  std::u32string cps = unicode::codePoints(text);
  bool blank = true;
  for (char32_t cp : cps) {
    if (unicode::isControl(cp) || unicode::isFormat(cp)) return std::nullopt;
    if (cp != U'\t' && !unicode::isSpaceSeparator(cp)) blank = false;
  }
  if (blank) return std::nullopt;
  if (unicode::graphemeCount(text) > limit) return std::nullopt;
  return text;
}

std::optional<PresenceRequest> presenceRequest(const Json& o, int64_t nowUnixMs) {
  auto stateIt = o.find("state");
  if (stateIt == o.end() || !stateIt->is_string()) return std::nullopt;
  PresenceRequest r;
  if (*stateIt == "working") {
    r.state = PresenceState::working;
    bool withNote = o.contains("note");
    bool keysOk = withNote ? hasExactKeys(o, {"type", "id", "pid", "windowId", "state", "title", "stop", "note"})
                           : hasExactKeys(o, {"type", "id", "pid", "windowId", "state", "title", "stop"});
    if (!keysOk) return std::nullopt;
    r.stop = HelperCommand::words(o["stop"], 64);
    if (!r.stop) return std::nullopt;
    if (withNote) {
      r.note = HelperCommand::words(o["note"], 96);
      if (!r.note) return std::nullopt;
    }
  } else if (*stateIt == "turn") {
    r.state = PresenceState::turn;
    if (!hasExactKeys(o, {"type", "id", "pid", "windowId", "state", "title", "ttlMs", "issuedAtMs"}))
      return std::nullopt;
    r.ttlMs = HelperCommand::integer(o["ttlMs"]);
    r.issuedAtMs = HelperCommand::integer(o["issuedAtMs"]);
    if (!r.ttlMs || !r.issuedAtMs) return std::nullopt;
  } else {
    return std::nullopt;
  }
  auto id = HelperCommand::integer(o["id"]);
  auto pid = HelperCommand::integer(o["pid"]);
  auto windowId = HelperCommand::integer(o["windowId"]);
  if (!id || *id < 1 || *id > INT32_MAX) return std::nullopt;
  if (!pid || *pid < 1 || *pid > INT32_MAX) return std::nullopt;
  if (!windowId || *windowId < 1 || *windowId > UINT32_MAX) return std::nullopt;
  r.id = *id;
  r.pid = static_cast<int32_t>(*pid);
  r.windowId = static_cast<uint32_t>(*windowId);
  auto title = HelperCommand::words(o["title"], 64);
  if (!title) return std::nullopt;
  r.title = *title;
  if (r.state == PresenceState::turn && !r.remainingMilliseconds(nowUnixMs)) return std::nullopt;
  return r;
}

std::variant<CursorCommand, CommandError> parseCursorCommand(std::string_view line, int64_t nowUnixMs) {
  if (line.empty() || line.size() > HelperCommand::maximumLineBytes) return CommandError::invalid;
  auto parsed = fields::parseContainer(line);
  if (!parsed) return CommandError::json;
  const Json& o = *parsed;
  if (!o.is_object()) return CommandError::invalid;
  auto type = o.find("type");
  if (type == o.end() || !type->is_string()) return CommandError::invalid;
  if (*type == "hide") {
    if (o.size() != 1) return CommandError::invalid;
    return CursorCommand{CursorHide{}};
  }
  if (*type == "show") {
    auto request = cursorRequest(o, nowUnixMs);
    if (!request) return CommandError::invalid;
    return CursorCommand{*request};
  }
  return CommandError::invalid;
}

std::variant<HelperCommand, CommandError> HelperCommand::parse(std::string_view line, int64_t nowUnixMs) {
  if (line.empty() || line.size() > maximumLineBytes) return CommandError::invalid;
  auto parsed = fields::parseContainer(line);
  if (!parsed) return CommandError::json;
  const Json& o = *parsed;
  if (!o.is_object() || o.empty()) return CommandError::invalid;
  auto type = o.find("type");
  if (type == o.end() || !type->is_string()) return CommandError::invalid;
  const std::string& name = type->get_ref<const std::string&>();
  if (name == "show" || name == "hide") {
    auto cursor = parseCursorCommand(line, nowUnixMs);
    if (auto* error = std::get_if<CommandError>(&cursor)) return *error;
    return HelperCommand{std::get<CursorCommand>(cursor)};
  }
  if (name == "presence") {
    auto request = presenceRequest(o, nowUnixMs);
    if (!request) return CommandError::invalid;
    return HelperCommand{PresenceCommand{*request}};
  }
  if (name == "conceal") {
    if (o.size() != 1) return CommandError::invalid;
    return HelperCommand{PresenceCommand{PresenceConceal{}}};
  }
  return CommandError::invalid;
}

std::variant<HelperCommand, CommandError> HelperCommand::parse(std::string_view line) {
  return parse(line, unixNowMs());
}

std::variant<std::vector<std::string>, CommandError> CursorLineReader::consume(std::string_view chunk) {
  std::vector<std::string> lines;
  for (char c : chunk) {
    if (c == '\n') {
      lines.push_back(std::move(pending_));
      pending_.clear();
    } else if (pending_.size() >= HelperCommand::maximumLineBytes) {
      return CommandError::oversized;
    } else {
      pending_.push_back(c);
    }
  }
  return lines;
}

InputChunk readCursorInputChunk(int fd) {
  InputChunk chunk;
  char buffer[kInputChunkBytes];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      chunk.kind = InputChunk::Kind::data;
      chunk.bytes.assign(buffer, static_cast<size_t>(n));
      return chunk;
    }
    if (n == 0) {
      chunk.kind = InputChunk::Kind::end;
      return chunk;
    }
    if (errno == EINTR) continue;
    chunk.kind = InputChunk::Kind::error;
    chunk.error = errno > 0 ? errno : EIO;
    return chunk;
  }
}

std::string stopEventLine(int64_t id) { return "{\"type\":\"stop\",\"id\":" + std::to_string(id) + "}\n"; }

int64_t unixNowMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

uint64_t uptimeNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace quorl::overlay
