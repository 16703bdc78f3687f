#include "common/out.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <mutex>
#include <unistd.h>

#include "common/event_json.hpp"

namespace quorl {

double nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1'000'000.0;
}

double r1(double x) { return std::round(x * 10.0) / 10.0; }

namespace Out {
namespace {
std::mutex& outLock() {
  static std::mutex m;
  return m;
}
}  // namespace

std::string line(const nlohmann::json& event) {
  auto s = writeEventJson(event);
  return s ? *s : std::string();
}

void emit(const nlohmann::json& event, int fd) {
  if (!event.is_object()) return;
  thread_local std::string text;
  text.clear();
  // Stamped under the lock, so that "t" never decreases from one line to the next
  // even when several threads emit at once.
  std::lock_guard<std::mutex> guard(outLock());
  if (!appendStampedEventJson(event, r1(nowMs()), text)) return;
  text.push_back('\n');
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace Out
}  // namespace quorl
