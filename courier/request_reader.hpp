#pragma once
// Framing of request lines: the bytes up to a line feed (a carriage return just
// before it dropped), invalid UTF-8 repaired to U+FFFD, at most 1,048,576 bytes
// after the repair.  A last line without a line feed is a line too.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorl::courier {

class LineFramer {
 public:
  static constexpr size_t kLimit = 1048576;

  // One framed line: its repaired text, or absent when it is longer than the limit.
  using Sink = std::function<void(std::optional<std::string>)>;

  explicit LineFramer(Sink sink) : sink_(std::move(sink)) {}

  // Feeds bytes as they were read; calls the sink for every completed line.
  void feed(std::string_view bytes);
  // End of input: delivers a last line that had no line feed.
  void finish();

 private:
  void complete();  // at a line feed
  void deliver();   // hands the current line to the sink and starts the next

  Sink sink_;
  std::string buffer_;
  bool overlong_ = false;  // the current line already passed the limit; its rest is skipped
  bool pending_ = false;   // bytes of an unfinished line were seen
};

}  // namespace quorl::courier
