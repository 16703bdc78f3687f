// Placeholder service entry until the request reader and sessions land: writes
// "hello" and exits when standard input ends.
#include "courier/serve.hpp"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "common/out.hpp"
#include "shared/process_start.hpp"

namespace quorl::courier {

void runServe() {
  std::signal(SIGPIPE, SIG_IGN);
  Out::emit({{"event", "hello"}, {"pid", getpid()}, {"start", processStart(getpid()).value_or("")}});
  char buf[4096];
  while (read(0, buf, sizeof buf) > 0) {
  }
  std::exit(0);
}

}  // namespace quorl::courier
