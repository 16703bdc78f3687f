// text-spotter: reads one request on standard input and writes the text lines
// found in each of its regions.  Command-line arguments are ignored.
#include "text_spotter/openmp_limit.hpp"
#include "text_spotter/spotter.hpp"
#include "text_spotter/tesseract_recognizer.hpp"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace {

using namespace quorl::spotter;

// Reads standard input to its end, stopping as soon as it holds more than the
// limit; absent when it does (or cannot be read).
std::optional<std::string> readInput(size_t limit) {
  std::string input;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n == 0) return input;
    if (n < 0) {
      if (errno == EINTR) continue;
      return input;
    }
    input.append(buffer, static_cast<size_t>(n));
    if (input.size() > limit) return std::nullopt;
  }
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

int fail(const std::string& description) {
  writeAll(2, description + "\n");
  return 1;
}

unsigned usableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

int main(int, char** argv) {
  restartWithOneOpenMpThread(argv);
  quietRecognizerLibraries();
  const auto input = readInput(kMaxRequestBytes);
  if (!input) return fail(messages::kTooLarge);
  SpotOptions options;
  options.workers = std::min(usableCores(), 8u);
  auto result = answer(*input, [] { return std::make_unique<TesseractRecognizer>(); }, options);
  if (auto* failure = std::get_if<Failure>(&result)) return fail(failure->description);
  writeAll(1, std::get<std::string>(result));
  writeAll(1, "\n");
  return 0;
}
