#include "courier/request_reader.hpp"

#include "common/unicode.hpp"

namespace quorl::courier {

// Repair never shrinks a line (every ill-formed sequence becomes three bytes of
// U+FFFD), so a line whose raw bytes pass the limit is refused without keeping
// them; one byte more than the limit is kept for a carriage return.
void LineFramer::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    size_t lf = bytes.find('\n');
    std::string_view part = bytes.substr(0, lf);
    pending_ = pending_ || !part.empty();
    if (!overlong_) {
      if (buffer_.size() + part.size() > kLimit + 1) {
        overlong_ = true;
        buffer_.clear();
        buffer_.shrink_to_fit();
      } else {
        buffer_.append(part);
      }
    }
    if (lf == std::string_view::npos) return;
    complete();
    bytes.remove_prefix(lf + 1);
  }
}

void LineFramer::finish() {
  // A last line has no line feed, so a carriage return at its end stays.
  if (pending_ || overlong_) deliver();
}

void LineFramer::complete() {
  if (!overlong_ && !buffer_.empty() && buffer_.back() == '\r') buffer_.pop_back();
  deliver();
}

void LineFramer::deliver() {
  if (overlong_ || buffer_.size() > kLimit) {
    sink_(std::nullopt);
  } else {
    std::string text = unicode::repairUtf8(buffer_);
    if (text.size() > kLimit)
      sink_(std::nullopt);
    else
      sink_(std::move(text));
  }
  buffer_.clear();
  if (buffer_.capacity() > 65536) buffer_.shrink_to_fit();
  overlong_ = false;
  pending_ = false;
}

}  // namespace quorl::courier
