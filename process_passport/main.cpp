// process-passport <pid> | process-passport bundle <bundle identifier>
#include <unistd.h>

#include <string>
#include <vector>

#include "process_passport/passport.hpp"

namespace {
void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto platform = quorl::passport::linuxPlatform();
  auto outcome = quorl::passport::run(args, *platform);
  writeAll(1, outcome.out);
  writeAll(2, outcome.err);
  return outcome.status;
}
