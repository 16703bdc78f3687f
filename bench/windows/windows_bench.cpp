// How long one window list snapshot takes with 5 and with 50 application windows on
// a desktop (Xvfb + openbox) that this program starts and stops itself, and how long
// writing one typical event line takes.
//
//   bench-windows [benchmark options]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <map>
#include <memory>

#include "common/out.hpp"
#include "platform/x11/windows.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl;
using namespace quorl::testdesk;

namespace {

// User plus system time of a process so far, from /proc/PID/stat.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One desktop per window count, made on first use and kept until the program ends.
struct Scene {
  std::unique_ptr<TestDesktop> desktop;
  std::unique_ptr<TargetApp> app;
  std::shared_ptr<x11::Connection> conn;
};
std::map<int64_t, Scene>& scenes() {
  static std::map<int64_t, Scene> s;
  return s;
}

Scene& scene(int64_t windows) {
  Scene& s = scenes()[windows];
  if (!s.desktop) {
    s.desktop = std::make_unique<TestDesktop>();
    TargetOptions o;
    o.title = "bench";
    o.width = 300;
    o.height = 200;
    o.extraArgs = {"--children", std::to_string(windows - 1), "--no-focus"};
    o.readyDeadline = std::chrono::seconds(60);
    s.app = std::make_unique<TargetApp>(*s.desktop, TargetApp::Kind::xlib, o);
    s.conn = x11::Connection::open(s.desktop->display().c_str());
    // The window manager goes on framing and placing the new windows for a while:
    // measure once every window is listed and the server has gone quiet.
    if (s.conn) {
      waitFor([&] { return platform::snapshotWindows(*s.conn).size() >= static_cast<size_t>(windows); },
              std::chrono::seconds(30), std::chrono::milliseconds(50));
      const pid_t server = s.desktop->serverPid();
      double last = cpuSeconds(server);
      waitFor(
          [&] {
            const double now = cpuSeconds(server);
            const bool quiet = now - last < 0.005;
            last = now;
            return quiet;
          },
          std::chrono::seconds(30), std::chrono::milliseconds(200));
    }
  }
  return s;
}

void BM_SnapshotWindows(benchmark::State& state) {
  Scene& s = scene(state.range(0));
  if (!s.conn) {
    state.SkipWithError("no display");
    return;
  }
  platform::SnapshotOptions options;
  options.details = state.range(1) != 0;
  size_t listed = platform::snapshotWindows(*s.conn, options).size();  // warm: atoms and extensions
  const double serverBefore = cpuSeconds(s.desktop->serverPid());
  for (auto _ : state) {
    auto list = platform::snapshotWindows(*s.conn, options);
    listed = list.size();
    benchmark::DoNotOptimize(list.data());
  }
  state.counters["windows_listed"] = static_cast<double>(listed);
  // The X server's own processor time per snapshot: on a loaded machine wall time
  // mostly measures waiting for a processor, this is the work the server does.
  state.counters["server_cpu_us"] =
      (cpuSeconds(s.desktop->serverPid()) - serverBefore) * 1e6 / static_cast<double>(state.iterations());
}
// Arguments: application windows; 1 with titles, classes and desktops (window lists),
// 0 without (hit-testing).
BENCHMARK(BM_SnapshotWindows)->ArgNames({"windows", "details"})->ArgsProduct({{5, 50}, {1, 0}})->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_EmitEvent(benchmark::State& state) {
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const nlohmann::json event = {{"event", "delivered"}, {"seq", 41},         {"kind", "click"},
                                {"window_id", 4194353}, {"hit_window", 4194353}, {"covered", false},
                                {"deliver_ms", 12.3},   {"route", "sky"},       {"stage", "delivered"}};
  for (auto _ : state) Out::emit(event, fd);
  close(fd);
}
BENCHMARK(BM_EmitEvent)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("goals: snapshot of 50 windows under 2 ms; one event line under 2 us\n");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  scenes().clear();  // stops the apps and the desktops
  return 0;
}
