// agent-overlay: draws the agent's cursor and presence frame over a target
// window, driven by JSON lines on standard input, until that input ends.
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "overlay/controller.hpp"
#include "overlay/engine.hpp"
#include "overlay/x11_overlay.hpp"

using namespace quorl::overlay;

int main(int argc, char**) {
  if (argc > 1) return 64;
  signal(SIGPIPE, SIG_IGN);

  auto platform = XOverlayPlatform::open();
  if (!platform) return 1;
  int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) return 1;

  OverlayController controller(*platform, [](int64_t id) {
    // One write; a host that went away is not our concern.
    std::string line = stopEventLine(id);
    ssize_t written = write(1, line.data(), line.size());
    (void)written;
  });
  Mailbox mailbox([&controller](const Delivery& d) { controller.apply(d); },
                  [wake] {
                    uint64_t one = 1;
                    ssize_t written = write(wake, &one, sizeof one);
                    (void)written;
                  });

  std::thread reader([&mailbox] { runInputReader(0, mailbox); });
  bool stopped = platform->run(controller, mailbox, wake);
  if (stopped) {
    // The stop is the reader's last act: it has left its loop.
    reader.join();
  } else {
    // The main loop failed while the reader may still be blocked in read.
    reader.detach();
    _exit(0);
  }
  close(wake);
  return 0;
}
