#include "usage_meter/service.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace quorl::usage {
namespace {

int timeoutMs(double remainingSeconds) {
  double ms = std::ceil(remainingSeconds * 1000.0);
  if (ms > 2147483647.0) return 2147483647;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

}  // namespace

double uptimeSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Service::Service(MeterPlatform& platform, int in, int out, std::function<double()> uptime)
    : platform_(platform), in_(in), out_(out), uptime_(std::move(uptime)) {}

std::optional<MonitorError> Service::run() {
  int flags = fcntl(out_, F_GETFL);
  if (flags < 0 || fcntl(out_, F_SETFL, flags | O_NONBLOCK) < 0) return MonitorError::outputFailure;

  double lastActivity = uptime_();
  std::string pending;
  pending.reserve(kMaxLineBytes);
  char chunk[kReadChunk];
  for (;;) {
    double remaining = lastActivity + kIdleSeconds - uptime_();
    if (remaining <= 0) return std::nullopt;
    struct pollfd p = {in_, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs(remaining));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return MonitorError::inputFailure;
    }
    if (ready == 0) return std::nullopt;
    if (p.revents & (POLLERR | POLLNVAL)) return MonitorError::inputFailure;
    // A closed pipe shows as POLLHUP alone; the read below then sees the end of input.
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = read(in_, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return MonitorError::inputFailure;
    }
    if (n == 0) return std::nullopt;
    for (ssize_t i = 0; i < n; ++i) {
      char c = chunk[i];
      if (c == '\n') {
        if (auto error = handleLine(pending)) return error;
        pending.clear();
        lastActivity = uptime_();
      } else {
        if (pending.size() >= kMaxLineBytes) return MonitorError::invalidInput;
        pending.push_back(c);
      }
    }
  }
}

std::optional<MonitorError> Service::handleLine(std::string_view line) {
  auto request = decodeRequest(line);
  if (!request || !validRequest(*request)) return MonitorError::invalidInput;
  std::string text = encodeResponse(answer(platform_, *request));
  if (text.size() >= kMaxResponseBytes) return MonitorError::outputFailure;
  text.push_back('\n');
  return writeResponse(text);
}

std::optional<MonitorError> Service::writeResponse(const std::string& text) {
  double deadline = uptime_() + kWriteSeconds;
  size_t written = 0;
  while (written < text.size()) {
    double remaining = deadline - uptime_();
    if (remaining <= 0) return MonitorError::outputFailure;
    struct pollfd p = {out_, POLLOUT, 0};
    int ready = poll(&p, 1, timeoutMs(remaining));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return MonitorError::outputFailure;
    }
    if (ready == 0 || !(p.revents & POLLOUT)) return MonitorError::outputFailure;
    ssize_t n = write(out_, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return MonitorError::outputFailure;
    }
    if (n == 0) return MonitorError::outputFailure;
    written += static_cast<size_t>(n);
  }
  return std::nullopt;
}

int serviceMain(int argc, MeterPlatform& platform) {
  auto fail = [] {
    ssize_t ignored = write(2, kFailureMessage.data(), kFailureMessage.size());
    (void)ignored;
    return 1;
  };
  if (argc > 1) return fail();
  signal(SIGPIPE, SIG_IGN);
  Service service(platform, 0, 1);
  if (service.run()) return fail();
  return 0;
}

}  // namespace quorl::usage
