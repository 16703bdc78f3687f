#include "platform/agent_input.hpp"

#include <signal.h>
#include <unistd.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace quorl::platform {

namespace {

// The live pairs of this process, removed by the exit hook when the process
// leaves through exit() without destroying them.
std::mutex& registryLock() {
  static std::mutex lock;
  return lock;
}
std::set<AgentInput*>& registry() {
  static auto* live = new std::set<AgentInput*>();  // never destroyed: used by the exit hook
  return *live;
}

void removeAllAtExit() {
  std::vector<AgentInput*> live;
  {
    std::lock_guard<std::mutex> guard(registryLock());
    live.assign(registry().begin(), registry().end());
  }
  for (AgentInput* a : live) a->remove();
}

bool checked(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t* err = xcb_request_check(c, cookie);
  if (!err) return true;
  free(err);
  return false;
}

void roundTrip(xcb_connection_t* c) {
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Nobody reads events on these connections; the mapping notices every client
// gets, and errors of requests sent without a reply, are dropped here.
void drain(xcb_connection_t* c) {
  while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) free(ev);
}

struct DeviceRecord {
  uint16_t id = 0;
  uint16_t type = 0;
  uint16_t attachment = 0;
  std::string name;
};

std::vector<DeviceRecord> queryDevices(xcb_connection_t* c) {
  std::vector<DeviceRecord> out;
  auto* reply = xcb_input_xi_query_device_reply(c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr);
  if (!reply) return out;
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply); it.rem; xcb_input_xi_device_info_next(&it)) {
    DeviceRecord d;
    d.id = it.data->deviceid;
    d.type = it.data->type;
    d.attachment = it.data->attachment;
    d.name.assign(xcb_input_xi_device_info_name(it.data),
                  static_cast<size_t>(xcb_input_xi_device_info_name_length(it.data)));
    out.push_back(std::move(d));
  }
  free(reply);
  return out;
}

// One XIChangeHierarchy request with a single change, built as the bytes the
// protocol defines (XCB has no helper for the variable-length change records).
bool changeHierarchy(xcb_connection_t* c, const std::vector<uint8_t>& change) {
  auto cookie = xcb_input_xi_change_hierarchy_checked(
      c, 1, reinterpret_cast<const xcb_input_hierarchy_change_t*>(change.data()));
  return checked(c, cookie);
}

bool addMaster(xcb_connection_t* c, const std::string& name) {
  size_t padded = (name.size() + 3) & ~size_t{3};
  std::vector<uint8_t> change(8 + padded, 0);
  xcb_input_add_master_t head{};
  head.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_ADD_MASTER;
  head.len = static_cast<uint16_t>(change.size() / 4);
  head.name_len = static_cast<uint16_t>(name.size());
  // No core events: the window manager's passive core button grabs (click to
  // focus and raise) would otherwise fire for the agent's clicks, and core
  // clients get their events by XSendEvent instead (see the X11 sink).
  head.send_core = 0;
  head.enable = 1;
  std::memcpy(change.data(), &head, sizeof head);
  std::memcpy(change.data() + 8, name.data(), name.size());
  return changeHierarchy(c, change);
}

bool removeMaster(xcb_connection_t* c, uint16_t masterPointer) {
  xcb_input_remove_master_t rm{};
  rm.type = XCB_INPUT_HIERARCHY_CHANGE_TYPE_REMOVE_MASTER;
  rm.len = sizeof rm / 4;
  rm.deviceid = masterPointer;
  rm.return_mode = XCB_INPUT_CHANGE_MODE_ATTACH;
  rm.return_pointer = 2;   // the virtual core pointer
  rm.return_keyboard = 3;  // the virtual core keyboard
  std::vector<uint8_t> change(sizeof rm);
  std::memcpy(change.data(), &rm, sizeof rm);
  return changeHierarchy(c, change);
}

// A zombie counts as dead: it will never remove its pair.
bool processAlive(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'Z';
}

bool hasVersions(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* xi = xcb_get_extension_data(c, &xcb_input_id);
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
  if (!xi || !xi->present || !xtest || !xtest->present) return false;
  auto* v = xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr);
  if (!v) return false;
  bool ok = v->major_version > 2 || (v->major_version == 2 && v->minor_version >= 2);
  free(v);
  return ok;
}

xcb_window_t rootOf(xcb_connection_t* c, int screenNumber) {
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  return it.rem ? it.data->root : 0;
}

}  // namespace

std::optional<pid_t> agentDevicePid(std::string_view name) {
  if (name.substr(0, kAgentDevicePrefix.size()) != kAgentDevicePrefix) return std::nullopt;
  std::string_view rest = name.substr(kAgentDevicePrefix.size());
  size_t n = 0;
  long value = 0;
  while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9' && n < 10) {
    value = value * 10 + (rest[n] - '0');
    ++n;
  }
  if (n == 0 || value <= 0 || value > 0x7fffffff) return std::nullopt;
  if (n < rest.size() && rest[n] != ' ' && rest[n] != '-') return std::nullopt;
  return static_cast<pid_t>(value);
}

uint32_t keysymForCodePoint(char32_t cp) {
  switch (cp) {
    case U'\b': return 0xff08;  // BackSpace
    case U'\t': return 0xff09;  // Tab
    case U'\n':
    case U'\r': return 0xff0d;  // Return
    case 0x1b: return 0xff1b;   // Escape
    case 0x7f: return 0xffff;   // Delete
    default: break;
  }
  if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return static_cast<uint32_t>(cp);
  return 0x1000000u + static_cast<uint32_t>(cp);
}

std::vector<std::string> masterDeviceNames(xcb_connection_t* conn) {
  std::vector<std::string> out;
  for (const auto& d : queryDevices(conn)) {
    if (d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER || d.type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD) {
      out.push_back(d.name);
    }
  }
  return out;
}

int sweepStaleAgentDevices(xcb_connection_t* conn) {
  int removed = 0;
  for (const auto& d : queryDevices(conn)) {
    if (d.type != XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) continue;
    auto pid = agentDevicePid(d.name);
    if (!pid || processAlive(*pid)) continue;
    if (removeMaster(conn, d.id)) ++removed;
  }
  return removed;
}

std::unique_ptr<AgentInput> AgentInput::create(const char* display) {
  if (!display) {
    const char* env = std::getenv("DISPLAY");
    if (!env || !*env) return nullptr;
  }
  int screen = 0;
  xcb_connection_t* conn = xcb_connect(display, &screen);
  if (xcb_connection_has_error(conn)) {
    xcb_disconnect(conn);
    return nullptr;
  }
  xcb_connection_t* core = xcb_connect(display, nullptr);
  if (xcb_connection_has_error(core) || !hasVersions(conn)) {
    xcb_disconnect(core);
    xcb_disconnect(conn);
    return nullptr;
  }
  std::unique_ptr<AgentInput> a(new AgentInput());
  a->conn_ = conn;
  a->coreConn_ = core;
  a->root_ = rootOf(conn, screen);
  sweepStaleAgentDevices(conn);

  // One process may hold more than one pair (tests do): "quorl-agent-<pid>", then "-2", ...
  std::set<std::string> taken;
  for (const auto& d : queryDevices(conn)) taken.insert(d.name);
  std::string base = std::string(kAgentDevicePrefix) + std::to_string(getpid());
  a->name_ = base;
  for (int n = 2; taken.count(a->name_ + " pointer"); ++n) a->name_ = base + "-" + std::to_string(n);

  if (!addMaster(conn, a->name_)) {
    a->removed_ = true;
    return nullptr;
  }
  for (const auto& d : queryDevices(conn)) {
    if (d.name == a->name_ + " pointer" && d.type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) a->masterPointer_ = d.id;
    if (d.name == a->name_ + " keyboard" && d.type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD) a->masterKeyboard_ = d.id;
  }
  for (const auto& d : queryDevices(conn)) {
    if (d.type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER && d.attachment == a->masterPointer_ &&
        d.name.find("XTEST") != std::string::npos) {
      a->slavePointer_ = d.id;
    }
    if (d.type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD && d.attachment == a->masterKeyboard_ &&
        d.name.find("XTEST") != std::string::npos) {
      a->slaveKeyboard_ = d.id;
    }
  }
  {
    std::lock_guard<std::mutex> guard(registryLock());
    static bool hooked = false;
    if (!hooked) {
      std::atexit(removeAllAtExit);
      hooked = true;
    }
    registry().insert(a.get());
  }
  if (!a->masterPointer_ || !a->masterKeyboard_ || !a->slavePointer_ || !a->slaveKeyboard_) return nullptr;
  // XTEST input of core event types comes from the XTEST slave of the client
  // pointer's master (and of its paired keyboard): make that the agent's pair.
  if (!checked(conn, xcb_input_xi_set_client_pointer_checked(conn, XCB_NONE, a->masterPointer_))) return nullptr;
  if (!a->loadKeymap()) return nullptr;
  return a;
}

AgentInput::~AgentInput() {
  {
    std::lock_guard<std::mutex> guard(registryLock());
    registry().erase(this);
  }
  remove();
  if (conn_) xcb_disconnect(conn_);
  if (coreConn_) xcb_disconnect(coreConn_);
}

void AgentInput::remove() {
  std::lock_guard<std::mutex> guard(keymapLock_);
  if (removed_ || !conn_) return;
  removed_ = true;
  if (xcb_connection_has_error(conn_)) return;
  // Release whatever might still be down on the agent devices before they go.
  restoreSpares();
  if (masterPointer_) removeMaster(conn_, masterPointer_);
  else if (masterKeyboard_) removeMaster(conn_, masterKeyboard_);
  xcb_flush(conn_);
}

void AgentInput::moveTo(int x, int y) {
  x = std::clamp(x, -32768, 32767);
  y = std::clamp(y, -32768, 32767);
  xcb_test_fake_input(conn_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint8_t>(slavePointer_));
  xcb_flush(conn_);
  drain(conn_);
}

void AgentInput::button(uint8_t xbutton, bool press) {
  xcb_test_fake_input(conn_, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, xbutton, XCB_CURRENT_TIME, XCB_NONE, 0,
                      0, static_cast<uint8_t>(slavePointer_));
  xcb_flush(conn_);
  drain(conn_);
}

void AgentInput::key(uint8_t keycode, bool press) {
  xcb_test_fake_input(conn_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                      static_cast<uint8_t>(slaveKeyboard_));
  xcb_flush(conn_);
  drain(conn_);
}

bool AgentInput::focus(xcb_window_t window) {
  return checked(conn_, xcb_input_xi_set_focus_checked(conn_, window, XCB_CURRENT_TIME, masterKeyboard_));
}

std::optional<Point> AgentInput::pointerPosition() {
  auto* r = xcb_input_xi_query_pointer_reply(conn_, xcb_input_xi_query_pointer(conn_, root_, masterPointer_), nullptr);
  if (!r) return std::nullopt;
  Point p{r->root_x / 65536.0, r->root_y / 65536.0};
  free(r);
  return p;
}

void AgentInput::sync() {
  roundTrip(conn_);
  drain(conn_);
}

bool AgentInput::loadKeymap() {
  const xcb_setup_t* setup = xcb_get_setup(coreConn_);
  minKeycode_ = setup->min_keycode;
  maxKeycode_ = setup->max_keycode;
  auto* r = xcb_get_keyboard_mapping_reply(
      coreConn_, xcb_get_keyboard_mapping(coreConn_, minKeycode_, static_cast<uint8_t>(maxKeycode_ - minKeycode_ + 1)),
      nullptr);
  if (!r) return false;
  perCode_ = r->keysyms_per_keycode;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r);
  keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r));
  free(r);
  bool first = spares_.empty() && bound_.empty();
  if (first) {
    for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
      size_t base = static_cast<size_t>(kc - minKeycode_) * perCode_;
      bool empty = true;
      for (int l = 0; l < perCode_ && base + l < keysyms_.size(); ++l) empty = empty && keysyms_[base + l] == 0;
      // Keycodes 8..(min+) of real keyboards are sometimes used by hotkeys with
      // no symbols; the top range is the conventional scratch area.
      if (empty) spares_.push_back(static_cast<uint8_t>(kc));
    }
    std::reverse(spares_.begin(), spares_.end());
  }
  return perCode_ > 0;
}

uint8_t AgentInput::keycodeFor(uint32_t keysym) {
  std::lock_guard<std::mutex> guard(keymapLock_);
  for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
    size_t base = static_cast<size_t>(kc - minKeycode_) * perCode_;
    if (base < keysyms_.size() && keysyms_[base] == keysym) return static_cast<uint8_t>(kc);
  }
  return 0;
}

std::optional<KeyStroke> AgentInput::strokeFor(uint32_t keysym) {
  std::lock_guard<std::mutex> guard(keymapLock_);
  if (removed_ || keysym == 0) return std::nullopt;
  auto isBound = [&](int kc) {
    for (const auto& [sym, code] : bound_) {
      if (code == kc) return true;
    }
    return false;
  };
  // Level 1 anywhere first, then level 2 (with Shift); keycodes we bound come last
  // so that a keysym the layout has is typed with the layout's own key.
  for (int level = 0; level < 2 && level < perCode_; ++level) {
    for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
      size_t base = static_cast<size_t>(kc - minKeycode_) * perCode_;
      if (base + level < keysyms_.size() && keysyms_[base + level] == keysym && !isBound(kc)) {
        return KeyStroke{static_cast<uint8_t>(kc), level == 1};
      }
    }
  }
  auto found = bound_.find(keysym);
  if (found != bound_.end()) {
    uint8_t kc = found->second;
    spares_.erase(std::find(spares_.begin(), spares_.end(), kc));
    spares_.push_back(kc);
    return KeyStroke{kc, false};
  }
  if (spares_.empty()) return std::nullopt;
  // The least recently used spare: a client still translating an earlier key
  // event with a fresh copy of the map would misread a keycode rebound at once.
  uint8_t kc = spares_.front();
  spares_.erase(spares_.begin());
  spares_.push_back(kc);
  for (auto it = bound_.begin(); it != bound_.end(); ++it) {
    if (it->second == kc) {
      bound_.erase(it);
      break;
    }
  }
  std::vector<xcb_keysym_t> syms(static_cast<size_t>(perCode_), keysym);
  // Clients turn keycodes into keysyms with the core keyboard's map whichever
  // keyboard sent the key, so the binding goes there; the agent keyboard's own
  // map only decides its modifier state.  Both the core map's users and this
  // keyboard's never type the spare keycode themselves.
  xcb_change_keyboard_mapping(coreConn_, 1, kc, static_cast<uint8_t>(perCode_), syms.data());
  roundTrip(coreConn_);
  drain(coreConn_);
  size_t base = static_cast<size_t>(kc - minKeycode_) * perCode_;
  for (int l = 0; l < perCode_; ++l) keysyms_[base + l] = keysym;
  bound_[keysym] = kc;
  return KeyStroke{kc, false};
}

void AgentInput::restoreSpares() {
  if (bound_.empty()) return;
  std::vector<xcb_keysym_t> none(static_cast<size_t>(perCode_), 0);
  for (const auto& [sym, kc] : bound_) {
    xcb_change_keyboard_mapping(coreConn_, 1, kc, static_cast<uint8_t>(perCode_), none.data());
    size_t base = static_cast<size_t>(kc - minKeycode_) * perCode_;
    for (int l = 0; l < perCode_; ++l) keysyms_[base + l] = 0;
  }
  bound_.clear();
  xcb_flush(coreConn_);
}

}  // namespace quorl::platform
