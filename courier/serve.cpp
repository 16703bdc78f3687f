// `input-courier serve`: the long-running service on standard input and output.
#include "courier/serve.hpp"

#include <csignal>
#include <cstdlib>

#include "courier/courier_platform.hpp"
#include "courier/server.hpp"

namespace quorl::courier {

void runServe() {
  std::signal(SIGPIPE, SIG_IGN);
  auto platform = realCourierPlatform();
  bool clean;
  {
    Server server(*platform);
    clean = server.run(0);
    // An ending still in progress after 3 s: leave without waiting for its threads.
    if (!clean) std::_Exit(0);
  }
  platform->shutdown();
  std::exit(0);
}

}  // namespace quorl::courier
