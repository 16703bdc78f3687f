// agent-overlay benchmarks.
//
//   bench-overlay --benchmark_filter=Cpu     processor use of the real program while a
//                                            "working" frame is shown over a still window
//                                            for 10 s (goal: under 3 % of one core, with
//                                            and without a compositor)
//   bench-overlay --benchmark_filter=Refresh one refresh pass (window list, start token,
//                                            placement) against a real X server
//   bench-overlay --benchmark_filter=Glow    one animation frame of the glow, 1000 × 700
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "overlay/artwork.hpp"
#include "overlay/controller.hpp"
#include "overlay/x11_overlay.hpp"
#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl::overlay;
using namespace quorl::testdesk;
using namespace std::chrono_literals;

namespace {

// User + system clock ticks a process has used.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string workingLine(const TargetApp& app, int64_t id) {
  return nlohmann::json{{"type", "presence"}, {"id", id},          {"pid", app.pid()},
                        {"windowId", app.window()}, {"state", "working"}, {"title", "Editing the report"},
                        {"note", "step 2 of 5"},    {"stop", "Stop"}}
      .dump();
}

void BM_OverlayCpu(benchmark::State& state) {
  DesktopOptions options;
  options.compositor = state.range(0) != 0;
  TestDesktop desktop(options);
  TargetOptions t;
  t.width = 1000;
  t.height = 700;
  t.x = 50;
  t.y = 50;
  TargetApp app(desktop, TargetApp::Kind::xlib, t);
  for (auto _ : state) {
    auto overlay = desktop.spawn({binDir() + "/agent-overlay"});
    overlay->writeLine(workingLine(app, 1));
    std::this_thread::sleep_for(1s);  // first layout and mask done
    double before = cpuSeconds(overlay->pid());
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(10s);
    double used = cpuSeconds(overlay->pid()) - before;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(wall);
    state.counters["cpu_percent"] = 100 * used / wall;
    overlay->closeStdin();
    overlay->waitExit(5000ms);
  }
}
BENCHMARK(BM_OverlayCpu)->Arg(0)->Arg(1)->ArgName("compositor")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_RefreshPass(benchmark::State& state) {
  TestDesktop desktop;
  desktop.adoptEnvironment();
  TargetOptions t;
  t.width = 1000;
  t.height = 700;
  t.x = 50;
  t.y = 50;
  TargetApp app(desktop, TargetApp::Kind::xlib, t);
  // A few more windows, as on a real desktop.
  std::vector<std::unique_ptr<TargetApp>> others;
  for (int i = 0; i < 4; ++i) {
    TargetOptions o;
    o.title = "other " + std::to_string(i);
    o.x = 600 + 20 * i;
    o.y = 500 + 20 * i;
    o.width = 200;
    o.height = 150;
    others.push_back(std::make_unique<TargetApp>(desktop, TargetApp::Kind::xlib, o));
  }
  desktop.xdotool({"windowactivate", "--sync", std::to_string(app.window())});
  auto platform = XOverlayPlatform::open();
  if (!platform) {
    state.SkipWithError("no display");
    return;
  }
  OverlayController controller(*platform, [](int64_t) {});
  PresenceRequest presence;
  presence.id = 1;
  presence.pid = app.pid();
  presence.windowId = app.window();
  presence.title = "Editing the report";
  presence.stop = "Stop";
  controller.apply(PresenceDelivery{presence, uptimeNanoseconds(), unixNowMs()});
  auto ready = app.ready();
  CursorRequest cursor;
  cursor.pid = app.pid();
  cursor.processStart = *ProcessBirth::fromStamp(*quorl::processStart(app.pid()));
  cursor.windowId = app.window();
  cursor.windowBounds = {ready.value("x", 0.0), ready.value("y", 0.0), ready.value("width", 0.0),
                         ready.value("height", 0.0)};
  cursor.x = cursor.windowBounds.x + 300;
  cursor.y = cursor.windowBounds.y + 300;
  cursor.ttlMs = 1500;
  for (auto _ : state) {
    state.PauseTiming();
    cursor.issuedAtMs = unixNowMs();
    controller.apply(CursorDelivery{cursor, uptimeNanoseconds(), unixNowMs()});
    state.ResumeTiming();
    controller.refresh();
  }
  state.counters["cursor_shown"] = controller.cursorShown();
}
BENCHMARK(BM_RefreshPass)->Unit(benchmark::kMicrosecond);

void BM_GlowFrame(benchmark::State& state) {
  GlowView glow;
  glow.update(1000, 700, 10, PresenceState::working, 1, true, 0);
  GlowRaster raster;
  raster.prepare(glow);
  std::vector<uint32_t> pixels(1000 * 700, 0);
  uint64_t now = 0;
  for (auto _ : state) {
    now += 33'333'333;
    raster.render(glow, now, pixels.data(), false);
    benchmark::DoNotOptimize(pixels.data());
  }
  state.counters["band_pixels"] = static_cast<double>(raster.bandPixels());
}
BENCHMARK(BM_GlowFrame)->Unit(benchmark::kMicrosecond);

void BM_GlowLayout(benchmark::State& state) {
  for (auto _ : state) {
    GlowView glow;
    glow.update(1000, 700, 10, PresenceState::working, 1, true, 0);
    GlowRaster raster;
    raster.prepare(glow);
    benchmark::DoNotOptimize(raster.bandPixels());
  }
}
BENCHMARK(BM_GlowLayout)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
