#pragma once
// The usage meter's service loop: request lines on one descriptor, response lines
// on another, until end of input, two minutes without an answered request, or the
// first protocol or transport failure.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "usage_meter/metrics.hpp"

namespace quorl::usage {

constexpr size_t kMaxLineBytes = 16384;
constexpr size_t kMaxResponseBytes = 16384;  // a response must be shorter
constexpr size_t kReadChunk = 4096;
constexpr double kIdleSeconds = 120.0;
constexpr double kWriteSeconds = 1.0;
constexpr std::string_view kFailureMessage = "Usage meter protocol or transport failed.\n";

enum class MonitorError { invalidInput, inputFailure, outputFailure };

// Monotonic uptime in seconds.
double uptimeSeconds();

class Service {
 public:
  // `uptime` is the clock (seconds); tests pass their own.
  Service(MeterPlatform& platform, int in, int out, std::function<double()> uptime = uptimeSeconds);

  // Serves until the end; absent when the service ended normally.  Puts `out` into
  // non-blocking mode first.
  std::optional<MonitorError> run();

  // Decodes, validates, measures and writes the answer to one line.
  std::optional<MonitorError> handleLine(std::string_view line);

 private:
  std::optional<MonitorError> writeResponse(const std::string& text);

  MeterPlatform& platform_;
  int in_;
  int out_;
  std::function<double()> uptime_;
};

// The program: refuses arguments, ignores SIGPIPE, serves standard input and
// output, writes the failure message on standard error.  Returns the exit status.
int serviceMain(int argc, MeterPlatform& platform);

}  // namespace quorl::usage
