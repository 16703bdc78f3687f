#include "platform/user_input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xinput.h>

#include <array>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/agent_input.hpp"

namespace quorl::platform {

std::optional<InputKind> kindOfButton(uint32_t button) {
  switch (button) {
    case 1: return InputKind::LeftDown;
    case 3: return InputKind::RightDown;
    case 4: case 5: case 6: case 7: return InputKind::Wheel;
    case 0: return std::nullopt;
    default: return InputKind::OtherDown;  // 2 (middle), 8 and 9 (back, forward), and beyond
  }
}

namespace {

constexpr double kUnknown = 1e9;

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class NoDisplayInput final : public UserInput {
 public:
  double secondsSince(InputKind) override { return kUnknown; }
  bool keysymHeld(xcb_keysym_t) override { return false; }
  Point pointerLocation() override { return {}; }
};

class X11UserInput final : public UserInput {
 public:
  static std::unique_ptr<X11UserInput> open(const char* display) {
    if (!display) {
      const char* env = std::getenv("DISPLAY");
      if (!env || !*env) return nullptr;
    }
    int screen = 0;
    xcb_connection_t* c = xcb_connect(display, &screen);
    if (xcb_connection_has_error(c)) {
      xcb_disconnect(c);
      return nullptr;
    }
    std::unique_ptr<X11UserInput> in(new X11UserInput(c, screen));
    if (!in->start()) return nullptr;
    return in;
  }

  ~X11UserInput() override { stop(); }

  double secondsSince(InputKind kind) override {
    std::lock_guard<std::mutex> guard(lock_);
    double now = monotonicSeconds();
    return std::max(0.0, now - last_[static_cast<size_t>(kind)]);
  }

  bool keysymHeld(xcb_keysym_t keysym) override {
    if (stopped_.load()) return false;
    const xcb_setup_t* setup = xcb_get_setup(conn_);
    uint8_t lo = setup->min_keycode, hi = setup->max_keycode;
    auto* map = xcb_get_keyboard_mapping_reply(
        conn_, xcb_get_keyboard_mapping(conn_, lo, static_cast<uint8_t>(hi - lo + 1)), nullptr);
    auto* keys = xcb_query_keymap_reply(conn_, xcb_query_keymap(conn_), nullptr);
    bool held = false;
    if (map && keys) {
      const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
      int per = map->keysyms_per_keycode;
      int n = xcb_get_keyboard_mapping_keysyms_length(map);
      for (int i = 0; per > 0 && i * per < n && !held; ++i) {
        int kc = lo + i;
        bool down = (keys->keys[kc / 8] >> (kc % 8)) & 1;
        if (!down) continue;
        for (int l = 0; l < per && i * per + l < n; ++l) {
          if (syms[i * per + l] == keysym) held = true;
        }
      }
    }
    free(map);
    free(keys);
    return held;
  }

  Point pointerLocation() override {
    if (stopped_.load()) return {};
    auto* r = xcb_query_pointer_reply(conn_, xcb_query_pointer(conn_, root_), nullptr);
    if (!r) return {};
    Point p{static_cast<double>(r->root_x), static_cast<double>(r->root_y)};
    free(r);
    return p;
  }

  void stop() {
    if (stopped_.exchange(true)) return;
    if (thread_.joinable()) {
      char byte = 1;
      (void)!write(wake_[1], &byte, 1);
      thread_.join();
    }
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    xcb_disconnect(conn_);
  }

 private:
  X11UserInput(xcb_connection_t* c, int screen) : conn_(c) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
    root_ = it.rem ? it.data->root : 0;
  }

  bool start() {
    const xcb_query_extension_reply_t* xi = xcb_get_extension_data(conn_, &xcb_input_id);
    if (!xi || !xi->present || !root_) return false;
    xiOpcode_ = xi->major_opcode;
    auto* v = xcb_input_xi_query_version_reply(conn_, xcb_input_xi_query_version(conn_, 2, 2), nullptr);
    if (!v) return false;
    bool ok = v->major_version > 2 || (v->major_version == 2 && v->minor_version >= 1);
    free(v);
    if (!ok) return false;

    // Until an event is seen, the time since the user's last input of any kind.
    double idle = 0;
    const xcb_query_extension_reply_t* ss = xcb_get_extension_data(conn_, &xcb_screensaver_id);
    if (ss && ss->present) {
      auto* info = xcb_screensaver_query_info_reply(conn_, xcb_screensaver_query_info(conn_, root_), nullptr);
      if (info) {
        idle = info->ms_since_user_input / 1000.0;
        free(info);
      }
    }
    double stamp = monotonicSeconds() - idle;
    last_.fill(stamp);

    struct {
      xcb_input_event_mask_t head;
      uint32_t mask;
    } raw{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
          XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS},
        hierarchy{{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY};
    xcb_generic_error_t* err = xcb_request_check(conn_, xcb_input_xi_select_events_checked(conn_, root_, 1, &raw.head));
    if (err) {
      free(err);
      return false;
    }
    err = xcb_request_check(conn_, xcb_input_xi_select_events_checked(conn_, root_, 1, &hierarchy.head));
    free(err);
    refreshAgentDevices();
    if (pipe2(wake_, O_CLOEXEC) != 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // Device ids of the suite's agent devices: masters named quorl-agent-* and
  // every slave attached to one (their XTEST slaves).
  void refreshAgentDevices() {
    std::set<uint16_t> agents;
    auto* reply = xcb_input_xi_query_device_reply(conn_, xcb_input_xi_query_device(conn_, XCB_INPUT_DEVICE_ALL), nullptr);
    if (!reply) return;
    std::vector<std::pair<uint16_t, uint16_t>> slaves;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply); it.rem; xcb_input_xi_device_info_next(&it)) {
      std::string name(xcb_input_xi_device_info_name(it.data),
                       static_cast<size_t>(xcb_input_xi_device_info_name_length(it.data)));
      if (agentDevicePid(name)) agents.insert(it.data->deviceid);
      else slaves.emplace_back(it.data->deviceid, it.data->attachment);
    }
    free(reply);
    std::set<uint16_t> all = agents;
    for (auto [id, master] : slaves) {
      if (agents.count(master)) all.insert(id);
    }
    agentDevices_ = std::move(all);
  }

  void stampNow(InputKind kind) {
    std::lock_guard<std::mutex> guard(lock_);
    last_[static_cast<size_t>(kind)] = monotonicSeconds();
  }

  void handle(xcb_generic_event_t* ev) {
    if ((ev->response_type & 0x7f) != XCB_GE_GENERIC) return;
    auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(ev);
    if (ge->extension != xiOpcode_) return;
    switch (ge->event_type) {
      case XCB_INPUT_HIERARCHY:
        refreshAgentDevices();
        break;
      case XCB_INPUT_RAW_KEY_PRESS: {
        auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(ev);
        if (!agentDevices_.count(raw->sourceid)) stampNow(InputKind::KeyDown);
        break;
      }
      case XCB_INPUT_RAW_BUTTON_PRESS: {
        auto* raw = reinterpret_cast<xcb_input_raw_button_press_event_t*>(ev);
        if (agentDevices_.count(raw->sourceid)) break;
        if (auto kind = kindOfButton(raw->detail)) stampNow(*kind);
        break;
      }
      default:
        break;
    }
  }

  void run() {
    pollfd fds[2] = {{xcb_get_file_descriptor(conn_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
      while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_)) {
        handle(ev);
        free(ev);
      }
      if (xcb_connection_has_error(conn_)) return;
      int n = poll(fds, 2, -1);
      if (n < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // Drain what arrived before the server went away, then end.
        while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_)) {
          handle(ev);
          free(ev);
        }
        return;
      }
    }
  }

  xcb_connection_t* conn_;
  xcb_window_t root_ = 0;
  uint8_t xiOpcode_ = 0;
  std::mutex lock_;
  std::array<double, 5> last_{};
  std::set<uint16_t> agentDevices_;  // touched only by the constructor and the listener thread
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stopped_{false};
};

std::mutex& instanceLock() {
  static std::mutex lock;
  return lock;
}
UserInput* current = nullptr;
// Monitors that were shut down stay allocated: a caller may still hold a reference.
std::vector<std::unique_ptr<UserInput>>& instances() {
  static auto* all = new std::vector<std::unique_ptr<UserInput>>();
  return *all;
}

}  // namespace

std::unique_ptr<UserInput> makeUserInput(const char* display) {
  if (auto in = X11UserInput::open(display)) return in;
  return std::make_unique<NoDisplayInput>();
}

UserInput& userInput() {
  std::lock_guard<std::mutex> guard(instanceLock());
  if (!current) {
    instances().push_back(makeUserInput(nullptr));
    current = instances().back().get();
  }
  return *current;
}

void shutdownUserInput() {
  std::lock_guard<std::mutex> guard(instanceLock());
  if (!current) return;
  if (auto* x = dynamic_cast<X11UserInput*>(current)) x->stop();
  current = nullptr;
}

}  // namespace quorl::platform
