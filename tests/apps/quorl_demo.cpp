// quorl-demo: the main job on a virtual X display, step by step.  It starts a
// desktop of its own (Xvfb + openbox, with the accessibility bus), opens our
// logging target application, and lets the programs of the suite work on it,
// explaining what each step showed.  Everything it starts is stopped when it
// ends, also after a failure or Ctrl-C.
//
//   quorl-demo            run every step
//   quorl-demo --list     name the steps
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/test_desktop.hpp"

namespace {

using namespace quorl::testdesk;
using nlohmann::json;

std::atomic<bool> interrupted{false};

void onSignal(int) { interrupted = true; }

struct Demo {
  std::unique_ptr<TestDesktop> desk;
  std::unique_ptr<TargetApp> target;
  bool accessibility = false;
};

void say(const std::string& text) { std::cout << "   " << text << "\n" << std::flush; }

void checkInterrupted() {
  if (interrupted) throw std::runtime_error("interrupted");
}

// --- steps -------------------------------------------------------------------

void startDesktop(Demo& d) {
  try {
    d.desk = std::make_unique<TestDesktop>(DesktopOptions{.accessibility = true});
    d.accessibility = true;
  } catch (const std::exception& e) {
    say(std::string("(the accessibility bus did not come up, going on without it: ") + e.what() + ")");
    d.desk = std::make_unique<TestDesktop>(DesktopOptions{});
  }
  say("Xvfb serves display " + d.desk->display() + " (1280x800), openbox manages its windows" +
      (d.accessibility ? ", and a D-Bus session carries the AT-SPI accessibility bus." : "."));
}

void openTarget(Demo& d) {
  d.target = std::make_unique<TargetApp>(*d.desk, TargetApp::Kind::xlib,
                                         TargetOptions{.title = "Quorl demo target", .x = 200, .y = 150,
                                                       .width = 480, .height = 320});
  const json& r = d.target->ready();
  say("xlib-target is up: pid " + std::to_string(d.target->pid()) + ", window " +
      std::to_string(d.target->window()) + " at " + std::to_string(r.value("x", 0)) + "," +
      std::to_string(r.value("y", 0)) + " size " + std::to_string(r.value("width", 0)) + "x" +
      std::to_string(r.value("height", 0)) + ".");
  say("It logs every X event it receives as a JSON line, so what the suite does to it can be seen.");
}

std::string pidNote(const json& v, const Demo& d) {
  if (!v.is_number_integer()) return "";
  auto pid = v.get<long>();
  if (pid == -1) return " (unknown)";
  if (pid == d.target->pid()) return " (the demo target)";
  return "";
}

void probe(Demo& d) {
  auto r = d.desk->run({binDir() + "/input-courier", "probe"}, {}, 20000ms);
  if (r.status != 0) throw std::runtime_error("input-courier probe failed (" + std::to_string(r.status) + "): " + r.err);
  std::string line = r.out.substr(0, r.out.find('\n'));
  std::cout << "\n" << line << "\n\n";
  auto j = json::parse(line, nullptr, false);
  if (j.is_discarded()) throw std::runtime_error("input-courier probe printed no JSON line");
  auto text = [&](const char* key) { return j.contains(key) ? j[key].dump() : std::string("(absent)"); };
  say("route " + text("route") + ": \"sky\" means the courier drives an input device pair of its own");
  say("    (XInput2 master pointer and keyboard fed through XTEST), so events take the server's");
  say("    real input path and leave the user's pointer and focus alone; \"cg\" falls back to XSendEvent.");
  say("post_access " + text("post_access") + ": the display offers what posting needs (XTEST, XInput 2.2).");
  say("accessibility_trusted " + text("accessibility_trusted") + ": the AT-SPI registry answers on the accessibility bus.");
  say("missing " + text("missing") + ": the platform entry points that could not be resolved.");
  say("front_pid " + text("front_pid") + pidNote(j.value("front_pid", json()), d) +
      ": the owner of the active window (_NET_ACTIVE_WINDOW).");
  say("key_focus_pid " + text("key_focus_pid") + pidNote(j.value("key_focus_pid", json()), d) +
      ": the owner of the window holding the keyboard focus.");
  say("decoration " + text("decoration") + ": the overlay program whose windows hit-testing ignores.");
  say("t " + text("t") + ": milliseconds of the monotonic clock.");
}

struct Step {
  const char* title;
  std::function<void(Demo&)> run;
};

const std::vector<Step>& steps() {
  static const std::vector<Step> all = {
      {"Start a virtual desktop", startDesktop},
      {"Open the target application", openTarget},
      {"Ask input-courier what it can do here", probe},
  };
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    int n = 0;
    for (const auto& s : steps()) std::cout << ++n << ". " << s.title << "\n";
    return 0;
  }
  if (argc != 1) {
    std::cerr << "usage: quorl-demo [--list]\n";
    return 64;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Demo demo;
  int n = 0;
  int status = 0;
  try {
    for (const auto& step : steps()) {
      checkInterrupted();
      std::cout << "\n== " << ++n << ". " << step.title << "\n" << std::flush;
      step.run(demo);
    }
    std::cout << "\n== Done: stopping the target and the desktop.\n" << std::flush;
  } catch (const std::exception& e) {
    std::cerr << "\nquorl-demo: step " << n << " failed: " << e.what() << "\n";
    status = 1;
  }
  // Last made, first stopped.
  demo.target.reset();
  demo.desk.reset();
  return status;
}
