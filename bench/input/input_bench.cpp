// How long input-courier takes to post one event through the X11 sink: a pointer
// move to a GTK window (the agent's devices), to an Xlib window (XSendEvent), one
// typed character the layout lacks (a spare keycode rebound each time), and one
// read of the user-input monitor as the activity guard makes it every 5 ms.  The
// drivers pace events 8 to 16 ms apart; one event must cost far less.
//
//   bench-input [benchmark options]
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "courier/deliver.hpp"
#include "courier/x11_sink.hpp"
#include "platform/user_input.hpp"
#include "tests/support/test_desktop.hpp"

using namespace quorl;
using namespace quorl::testdesk;

namespace {

struct Scene {
  std::unique_ptr<TestDesktop> desktop;
  std::unique_ptr<TargetApp> gtk, xlib;
  std::shared_ptr<courier::EventSink> sink;
  std::unique_ptr<platform::UserInput> input;
};

Scene& scene() {
  static Scene s;
  if (!s.desktop) {
    s.desktop = std::make_unique<TestDesktop>();
    s.desktop->adoptEnvironment();
    s.gtk = std::make_unique<TargetApp>(*s.desktop, TargetApp::Kind::gtk,
                                        TargetOptions{.title = "gtk", .x = 40, .y = 40, .width = 400, .height = 400});
    s.xlib = std::make_unique<TargetApp>(*s.desktop, TargetApp::Kind::xlib,
                                         TargetOptions{.title = "xlib", .x = 600, .y = 40, .width = 300, .height = 300});
    s.sink = courier::makeX11Sink(s.desktop->display().c_str());
    courier::Deliver::setSink(s.sink);
    s.input = platform::makeUserInput(s.desktop->display().c_str());
  }
  return s;
}

void moveTo(benchmark::State& state, TargetApp& app, double x0, double y0) {
  int i = 0;
  for (auto _ : state) {
    courier::Deliver::mouse(app.pid(), courier::kMouseMoved, courier::Button::left, {x0 + (i % 50), y0 + (i % 30)},
                            app.window(), 0);
    ++i;
  }
  app.drain();
}

void BM_MoveAgentDevices(benchmark::State& state) {
  Scene& s = scene();
  moveTo(state, *s.gtk, 150, 200);
}
BENCHMARK(BM_MoveAgentDevices)->Unit(benchmark::kMicrosecond);

void BM_MoveSendEvent(benchmark::State& state) {
  Scene& s = scene();
  moveTo(state, *s.xlib, 700, 150);
}
BENCHMARK(BM_MoveSendEvent)->Unit(benchmark::kMicrosecond);

void BM_TypeCharacterOutsideTheLayout(benchmark::State& state) {
  Scene& s = scene();
  s.sink->setKeyWindow(s.gtk->pid(), s.gtk->window());
  char16_t next = u'\u4e00';
  for (auto _ : state) {
    std::u16string text(1, next++);
    courier::Deliver::key(s.gtk->pid(), 0, true, 0, text);
    courier::Deliver::key(s.gtk->pid(), 0, false, 0, text);
  }
  s.gtk->drain();
}
BENCHMARK(BM_TypeCharacterOutsideTheLayout)->Unit(benchmark::kMicrosecond);

void BM_UserInputPoll(benchmark::State& state) {
  Scene& s = scene();
  for (auto _ : state) {
    double sum = 0;
    for (auto kind : {platform::InputKind::LeftDown, platform::InputKind::RightDown, platform::InputKind::OtherDown,
                      platform::InputKind::KeyDown, platform::InputKind::Wheel}) {
      sum += s.input->secondsSince(kind);
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_UserInputPoll);

}  // namespace

BENCHMARK_MAIN();
