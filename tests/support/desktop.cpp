// The test desktop: Xvfb, openbox, optionally a D-Bus session with the
// accessibility bus and a compositing manager, and our own target applications.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/test_desktop.hpp"

namespace quorl::testdesk {

namespace {

using Clock = std::chrono::steady_clock;

// The desktop's own openbox configuration: one desktop, no key bindings (keys the
// tests type must reach the applications, never the window manager), click to
// focus and raise (passed on to the application), title bar drags move, edges
// resize.  Nothing is bound on the "Frame" context: that covers the client area
// too, and a binding there would swallow the application's clicks.
constexpr const char* kMarker = "QUORL_TEST_DESKTOP";

constexpr const char* kOpenboxConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <resistance><strength>0</strength><screen_edge_strength>0</screen_edge_strength></resistance>
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy><center>yes</center></placement>
  <theme><name>Clearlooks</name><titleLayout>NLIMC</titleLayout><animateIconify>no</animateIconify></theme>
  <desktops><number>1</number><popupTime>0</popupTime></desktops>
  <margins><top>0</top><bottom>0</bottom><left>0</left><right>0</right></margins>
  <keyboard><chainQuitKey>C-g</chainQuitKey></keyboard>
  <mouse>
    <dragThreshold>1</dragThreshold>
    <doubleClickTime>500</doubleClickTime>
    <screenEdgeWarpTime>0</screenEdgeWarpTime>
    <context name="Client">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Middle" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Right" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
    </context>
    <context name="Titlebar">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Left" action="Drag"><action name="Move"/></mousebind>
    </context>
    <context name="Top"><mousebind button="Left" action="Drag"><action name="Resize"><edge>top</edge></action></mousebind></context>
    <context name="Left"><mousebind button="Left" action="Drag"><action name="Resize"><edge>left</edge></action></mousebind></context>
    <context name="Right"><mousebind button="Left" action="Drag"><action name="Resize"><edge>right</edge></action></mousebind></context>
    <context name="Bottom"><mousebind button="Left" action="Drag"><action name="Resize"><edge>bottom</edge></action></mousebind></context>
    <context name="BRCorner"><mousebind button="Left" action="Drag"><action name="Resize"/></mousebind></context>
    <context name="Close">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Left" action="Click"><action name="Close"/></mousebind>
    </context>
    <context name="Iconify">
      <mousebind button="Left" action="Click"><action name="Iconify"/></mousebind>
    </context>
    <context name="Maximize">
      <mousebind button="Left" action="Click"><action name="ToggleMaximize"/></mousebind>
    </context>
  </mouse>
  <applications/>
</openbox_config>
)";

std::string readFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Reads one line a child writes on the descriptor we passed it (Xvfb -displayfd,
// dbus-daemon --print-address), waiting up to the deadline while the child lives.
std::optional<std::string> readHandshake(int fd, Child& child, std::chrono::milliseconds deadline) {
  std::string got;
  auto end = Clock::now() + deadline;
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, 50);
    if (n < 0 && errno != EINTR) return std::nullopt;
    if (n > 0) {
      char buf[512];
      ssize_t r = ::read(fd, buf, sizeof buf);
      if (r > 0) {
        got.append(buf, static_cast<size_t>(r));
        auto nl = got.find('\n');
        if (nl != std::string::npos) return got.substr(0, nl);
        continue;
      }
      if (r == 0) return std::nullopt;
    }
    if (!child.running()) return std::nullopt;
  }
  return std::nullopt;
}

bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return false;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// Processes (other than this one) whose initial environment holds `entry`.
std::vector<pid_t> processesWithEntry(const std::string& entry) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = e.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::ifstream env(e.path() / "environ", std::ios::binary);
    if (!env) continue;
    std::string all((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
    size_t at = 0;
    while ((at = all.find(entry, at)) != std::string::npos) {
      bool starts = at == 0 || all[at - 1] == '\0';
      bool ends = at + entry.size() == all.size() || all[at + entry.size()] == '\0';
      if (starts && ends && alive(pid)) {
        found.push_back(pid);
        break;
      }
      at += entry.size();
    }
  }
  return found;
}

// Starts a service that reports one line on its fd 3 once it is ready (Xvfb's
// display number, dbus-daemon's address); the line, or absent when it did not
// come within the deadline.
std::unique_ptr<Child> startWithReport(const std::vector<std::string>& argv, const Env& env,
                                       const std::string& logFile, std::chrono::milliseconds deadline,
                                       std::optional<std::string>& report) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("TestDesktop: pipe failed");
  StartOptions so;
  so.stdinNull = true;
  so.logFile = logFile;
  so.passFd = p[1];
  std::unique_ptr<Child> child;
  try {
    child = Child::start(argv, env, so);
  } catch (...) {
    ::close(p[0]);
    ::close(p[1]);
    throw;
  }
  ::close(p[1]);
  report = readHandshake(p[0], *child, deadline);
  ::close(p[0]);
  return child;
}

}  // namespace

// A small XCB connection of the desktop's own, for readiness checks and the
// queries tests make about the desktop.
struct TestDesktop::X {
  xcb_connection_t* conn = nullptr;
  xcb_window_t root = 0;

  ~X() {
    if (conn) xcb_disconnect(conn);
  }
  xcb_atom_t atom(const char* name) {
    auto r = xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, std::strlen(name), name), nullptr);
    if (!r) return XCB_ATOM_NONE;
    xcb_atom_t a = r->atom;
    std::free(r);
    return a;
  }
  xcb_window_t selectionOwner(const char* name) {
    xcb_atom_t a = atom(name);
    auto r = xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, a), nullptr);
    if (!r) return 0;
    xcb_window_t w = r->owner;
    std::free(r);
    return w;
  }
  std::optional<uint32_t> windowProperty(xcb_window_t w, const char* name) {
    auto r = xcb_get_property_reply(
        conn, xcb_get_property(conn, 0, w, atom(name), XCB_ATOM_WINDOW, 0, 1), nullptr);
    if (!r) return std::nullopt;
    std::optional<uint32_t> v;
    if (r->format == 32 && xcb_get_property_value_length(r) >= 4) {
      v = *static_cast<uint32_t*>(xcb_get_property_value(r));
    }
    std::free(r);
    return v;
  }
};

TestDesktop::TestDesktop(DesktopOptions options) : options_(std::move(options)) {
  try {
    start();
  } catch (...) {
    stop();
    throw;
  }
}

void TestDesktop::start() {
  char dirTemplate[] = "/tmp/quorl-desk-XXXXXX";
  if (!::mkdtemp(dirTemplate)) throw std::runtime_error("TestDesktop: mkdtemp failed");
  dir_ = dirTemplate;
  // A private runtime directory: lock files, sockets and the buses of this
  // desktop stay apart from every other desktop running at the same time.
  std::string runtime = dir_ + "/run";
  ::mkdir(runtime.c_str(), 0700);

  // Xvfb picks a free display number itself and writes it on fd 3 once it
  // accepts connections.
  std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
  std::optional<std::string> number;
  xvfb_ = startWithReport({"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset",
                           "-dpi", "96"},
                          {}, dir_ + "/xvfb.log", options_.startDeadline, number);
  if (!number || number->empty()) fail("Xvfb did not report a display", "xvfb.log");
  display_ = ":" + *number;
  env_["DISPLAY"] = display_;
  // Marks every process of this desktop, so that its end can sweep what tests
  // left running (an application a launcher started, a daemon a tool spawned).
  env_[kMarker] = dir_;
  env_["XDG_RUNTIME_DIR"] = runtime;
  env_["WAYLAND_DISPLAY"] = "";
  env_["XAUTHORITY"] = "";
  env_["DESKTOP_STARTUP_ID"] = "";
  // GTK settings from memory: no dconf service on the bus, nothing written to
  // the user's settings.
  env_["GSETTINGS_BACKEND"] = "memory";

  x_ = std::make_unique<X>();
  x_->conn = xcb_connect(display_.c_str(), nullptr);
  if (!x_->conn || xcb_connection_has_error(x_->conn)) fail("cannot connect to " + display_, "xvfb.log");
  x_->root = xcb_setup_roots_iterator(xcb_get_setup(x_->conn)).data->root;

  if (options_.accessibility || options_.sessionBus) {
    startSessionBus();
  } else {
    // No bus: GIO must not autolaunch one (it would outlive the test) and GTK
    // must not look for the accessibility bus.
    env_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + runtime + "/no-session-bus";
    env_["AT_SPI_BUS_ADDRESS"] = "";
    env_["NO_AT_BRIDGE"] = "1";
  }
  if (options_.accessibility) startAccessibility();

  if (options_.windowManager) {
    std::string rc = dir_ + "/openbox-rc.xml";
    std::ofstream(rc) << kOpenboxConfig;
    StartOptions so;
    so.stdinNull = true;
    so.logFile = dir_ + "/openbox.log";
    Env env = env_;
    env["XDG_CONFIG_HOME"] = dir_ + "/config";
    env["XDG_CACHE_HOME"] = dir_ + "/cache";
    std::string readyFile = dir_ + "/openbox-ready";
    // openbox runs its startup command once it has set itself up.
    auto wm = Child::start({"openbox", "--sm-disable", "--config-file", rc, "--startup", "touch " + readyFile},
                           env, so);
    Child* wmp = wm.get();
    services_.push_back(std::move(wm));
    // Openbox is ready once it owns WM_S0 and has published its check window.
    bool ready = waitFor(
        [&] {
          if (!wmp->running()) return true;
          if (::access(readyFile.c_str(), F_OK) != 0) return false;
          if (x_->selectionOwner("WM_S0") == 0) return false;
          auto check = x_->windowProperty(x_->root, "_NET_SUPPORTING_WM_CHECK");
          return check && *check != 0 && x_->windowProperty(*check, "_NET_SUPPORTING_WM_CHECK") == check;
        },
        options_.startDeadline, 10ms);
    if (!ready || !wmp->running()) fail("openbox did not start", "openbox.log");
    // Its check window is up before it handles map requests: wait until it has
    // really managed a window of ours (asking again should a request get lost).
    if (!probeWindowManager()) fail("openbox does not manage windows", "openbox.log");
  }

  if (options_.compositor) {
    StartOptions so;
    so.stdinNull = true;
    so.logFile = dir_ + "/xcompmgr.log";
    auto cm = Child::start({"xcompmgr"}, env_, so);
    Child* cmp = cm.get();
    services_.push_back(std::move(cm));
    bool ready = waitFor([&] { return !cmp->running() || x_->selectionOwner("_NET_WM_CM_S0") != 0; },
                         options_.startDeadline, 10ms);
    if (!ready || !cmp->running()) fail("xcompmgr did not start", "xcompmgr.log");
  }
}

void TestDesktop::startSessionBus() {
  std::optional<std::string> address;
  auto bus = startWithReport({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, env_,
                             dir_ + "/dbus.log", options_.startDeadline, address);
  services_.push_back(std::move(bus));
  if (!address || address->empty()) fail("dbus-daemon did not report its address", "dbus.log");
  env_["DBUS_SESSION_BUS_ADDRESS"] = *address;
  env_["DBUS_SESSION_BUS_PID"] = "";
  env_["DBUS_SESSION_BUS_WINDOWID"] = "";
}

void TestDesktop::startAccessibility() {
  // The bus launcher registers org.a11y.Bus on the session bus and starts the
  // accessibility bus; the registry daemon is activated there on first use.
  env_["NO_AT_BRIDGE"] = "";
  env_["GTK_MODULES"] = "";
  env_["AT_SPI_BUS_ADDRESS"] = "";
  StartOptions so;
  so.stdinNull = true;
  so.logFile = dir_ + "/at-spi.log";
  std::string launcher = "/usr/libexec/at-spi-bus-launcher";
  if (::access(launcher.c_str(), X_OK) != 0) launcher = "/usr/lib/at-spi2-core/at-spi-bus-launcher";
  auto l = Child::start({launcher, "--launch-immediately"}, env_, so);
  Child* lp = l.get();
  services_.push_back(std::move(l));
  // Only once our launcher owns org.a11y.Bus may anyone call it: a call before
  // that would have the session bus start a second launcher by activation.
  auto gdbus = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"gdbus", "call"});
    return testdesk::run(args, env_, 5000ms);
  };
  bool ready = waitFor(
      [&] {
        if (!lp->running()) return true;
        auto r = gdbus({"--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                        "--method", "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"});
        return r.status == 0 && r.out.find("true") != std::string::npos;
      },
      options_.startDeadline, 20ms);
  if (!ready || !lp->running()) fail("the accessibility bus launcher did not start", "at-spi.log");
  auto r = gdbus({"--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus", "--method",
                  "org.a11y.Bus.GetAddress"});
  // ('unix:path=/...,guid=...',)
  auto a = r.out.find('\'');
  auto b = r.out.rfind('\'');
  if (r.status != 0 || a == std::string::npos || b <= a + 1) fail("the accessibility bus has no address", "at-spi.log");
  std::string address = r.out.substr(a + 1, b - a - 1);
  env_["AT_SPI_BUS_ADDRESS"] = address;
  // The registry answering means accessibility works end to end.
  ready = waitFor(
      [&] {
        return gdbus({"--address", address, "--dest", "org.a11y.atspi.Registry", "--object-path",
                      "/org/a11y/atspi/accessible/root", "--method", "org.freedesktop.DBus.Properties.Get",
                      "org.a11y.atspi.Accessible", "ChildCount"})
                   .status == 0;
      },
      options_.startDeadline, 50ms);
  if (!ready) fail("the accessibility registry did not answer", "at-spi.log");
}

bool TestDesktop::probeWindowManager() {
  xcb_connection_t* c = x_->conn;
  xcb_atom_t wmState = x_->atom("WM_STATE");
  xcb_atom_t clientList = x_->atom("_NET_CLIENT_LIST");
  auto hasProperty = [&](xcb_window_t w, xcb_atom_t prop) {
    auto r = xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, XCB_ATOM_ANY, 0, 64), nullptr);
    if (!r) return std::optional<std::vector<uint32_t>>{};
    std::optional<std::vector<uint32_t>> v;
    if (r->type != XCB_ATOM_NONE) {
      auto* data = static_cast<uint32_t*>(xcb_get_property_value(r));
      v.emplace(data, data + xcb_get_property_value_length(r) / 4);
    }
    std::free(r);
    return v;
  };
  auto end = Clock::now() + options_.startDeadline;
  while (Clock::now() < end) {
    xcb_window_t w = xcb_generate_id(c);
    auto screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, x_->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    // No input: the probe never takes the focus.
    uint32_t hints[9] = {1 /* InputHint */, 0};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
    xcb_map_window(c, w);
    xcb_flush(c);
    bool managed = waitFor([&] { return hasProperty(w, wmState).has_value(); },
                           std::min<std::chrono::milliseconds>(1000ms, options_.startDeadline), 5ms);
    xcb_destroy_window(c, w);
    xcb_flush(c);
    if (managed) {
      // Gone from the client list again before any test looks.
      return waitFor(
          [&] {
            auto list = hasProperty(x_->root, clientList);
            return !list || std::find(list->begin(), list->end(), w) == list->end();
          },
          options_.startDeadline, 5ms);
    }
  }
  return false;
}

[[noreturn]] void TestDesktop::fail(const std::string& what, const std::string& log) {
  std::string text = "TestDesktop: " + what;
  if (!log.empty() && !dir_.empty()) text += "\n--- " + log + ":\n" + readFile(dir_ + "/" + log);
  throw std::runtime_error(text);
}

void TestDesktop::stop() {
  if (adopted_) {
    for (const auto& [k, v] : savedEnv_) {
      if (v == "\x01unset") {
        ::unsetenv(k.c_str());
      } else {
        ::setenv(k.c_str(), v.c_str(), 1);
      }
    }
    adopted_ = false;
  }
  x_.reset();
  // Whatever the tests left running on this desktop goes first, then the
  // services, last started first stopped, then the X server.
  if (!dir_.empty()) sweep(true);
  while (!services_.empty()) services_.pop_back();
  if (!dir_.empty()) sweep(false);
  xvfb_.reset();
  if (!dir_.empty()) {
    std::error_code ec;
    if (!std::getenv("QUORL_KEEP_DESKTOP_LOGS")) std::filesystem::remove_all(dir_, ec);
    dir_.clear();
  }
}

void TestDesktop::sweep(bool politely) {
  std::string entry = std::string(kMarker) + "=" + dir_;
  std::vector<pid_t> servicePids;
  for (const auto& s : services_) servicePids.push_back(s->pid());
  auto leftovers = [&] {
    auto all = processesWithEntry(entry);
    std::erase_if(all, [&](pid_t p) { return std::find(servicePids.begin(), servicePids.end(), p) != servicePids.end(); });
    return all;
  };
  auto pids = leftovers();
  if (pids.empty()) return;
  if (politely) {
    for (pid_t p : pids) ::kill(p, SIGTERM);
    waitFor([&] { return std::none_of(pids.begin(), pids.end(), alive); }, 2000ms, 10ms);
  }
  for (pid_t p : leftovers()) ::kill(p, SIGKILL);
}

TestDesktop::~TestDesktop() { stop(); }

std::vector<pid_t> TestDesktop::processes() const { return desktopProcesses(dir_); }

std::vector<pid_t> desktopProcesses(const std::string& desktopDir) {
  if (desktopDir.empty()) return {};
  return processesWithEntry(std::string(kMarker) + "=" + desktopDir);
}

void TestDesktop::adoptEnvironment() {
  if (adopted_) return;
  for (const auto& [k, v] : env_) {
    const char* old = std::getenv(k.c_str());
    savedEnv_[k] = old ? std::string(old) : std::string("\x01unset");
    if (v.empty()) {
      ::unsetenv(k.c_str());
    } else {
      ::setenv(k.c_str(), v.c_str(), 1);
    }
  }
  adopted_ = true;
}

pid_t TestDesktop::serverPid() const { return xvfb_ ? xvfb_->pid() : -1; }

std::unique_ptr<Child> TestDesktop::spawn(const std::vector<std::string>& argv, const Env& extra) const {
  Env env = env_;
  for (const auto& [k, v] : extra) env[k] = v;
  return Child::start(argv, env);
}

RunResult TestDesktop::run(const std::vector<std::string>& argv, const Env& extra,
                           std::chrono::milliseconds deadline) const {
  Env env = env_;
  for (const auto& [k, v] : extra) env[k] = v;
  return testdesk::run(argv, env, deadline);
}

RunResult TestDesktop::xdotool(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, {}, 15000ms);
}

bool TestDesktop::bindKeysyms(const std::vector<std::string>& keysyms) const {
  auto table = run({"xmodmap", "-pke"});
  if (table.status != 0) return false;
  // "keycode  93 =" with nothing after it is spare; the lowest ones are taken,
  // the highest left to xdotool's own scratch binding.
  std::vector<std::string> spare;
  std::istringstream lines(table.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, code, eq, rest;
    if (words >> keyword >> code >> eq && keyword == "keycode" && eq == "=" && !(words >> rest) && code != "8") {
      spare.push_back(code);
    }
  }
  if (spare.size() < keysyms.size() + 1) return false;
  std::vector<std::string> argv{"xmodmap"};
  for (size_t i = 0; i < keysyms.size(); ++i) {
    argv.push_back("-e");
    argv.push_back("keycode " + spare[i] + " = " + keysyms[i] + " " + keysyms[i]);
  }
  return run(argv).status == 0;
}

uint32_t TestDesktop::activeWindow() const {
  return x_->windowProperty(x_->root, "_NET_ACTIVE_WINDOW").value_or(0);
}

uint32_t TestDesktop::focusWindow() const {
  auto r = xcb_get_input_focus_reply(x_->conn, xcb_get_input_focus(x_->conn), nullptr);
  if (!r) return 0;
  uint32_t w = r->focus;
  std::free(r);
  return w;
}

std::optional<WindowBox> TestDesktop::rootGeometry(uint32_t window) const {
  auto g = xcb_get_geometry_reply(x_->conn, xcb_get_geometry(x_->conn, window), nullptr);
  if (!g) return std::nullopt;
  auto t = xcb_translate_coordinates_reply(
      x_->conn, xcb_translate_coordinates(x_->conn, window, x_->root, 0, 0), nullptr);
  std::optional<WindowBox> box;
  if (t) box = WindowBox{t->dst_x, t->dst_y, g->width, g->height};
  std::free(g);
  std::free(t);
  return box;
}

uint32_t TestDesktop::selectionOwner(const std::string& selection) const {
  return x_->selectionOwner(selection.c_str());
}

bool TestDesktop::waitActive(uint32_t window, std::chrono::milliseconds deadline) const {
  return waitFor([&] { return activeWindow() == window; }, deadline, 10ms);
}

void TestDesktop::closeWindow(uint32_t window) const {
  xcb_client_message_event_t e{};
  e.response_type = XCB_CLIENT_MESSAGE;
  e.format = 32;
  e.window = window;
  e.type = x_->atom("_NET_CLOSE_WINDOW");
  e.data.data32[0] = XCB_CURRENT_TIME;
  e.data.data32[1] = 2;  // from a pager
  xcb_send_event(x_->conn, 0, x_->root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&e));
  xcb_flush(x_->conn);
}

// ---------------------------------------------------------------------------

TargetApp::TargetApp(const TestDesktop& desktop, Kind kind, TargetOptions options) {
  std::string exe = binDir() + (kind == Kind::xlib ? "/xlib-target" : "/gtk-target");
  std::vector<std::string> argv{exe, "--title", options.title, "--geometry",
                                std::to_string(options.width) + "x" + std::to_string(options.height) + "+" +
                                    std::to_string(options.x) + "+" + std::to_string(options.y)};
  argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
  Env env = options.env;
  // Toolkit leaks at exit are not what the tests look at.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  env.emplace("ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "detect_leaks=0");
  child_ = desktop.spawn(argv, env);
  auto ready = child_->readJsonUntil([](const nlohmann::json& j) { return j.value("event", "") == "ready"; },
                                     options.readyDeadline);
  if (!ready) {
    std::string err = child_->stderrText();
    std::string skipped;
    for (const auto& s : child_->skipped()) skipped += s + "\n";
    throw std::runtime_error("TargetApp: " + exe + " did not become ready\nstdout:\n" + skipped +
                             "stderr:\n" + err);
  }
  ready_ = *ready;
  window_ = ready->value("window", 0u);
}

TargetApp::~TargetApp() = default;

pid_t TargetApp::pid() const { return child_->pid(); }

uint32_t TargetApp::window() const { return window_; }

std::optional<nlohmann::json> TargetApp::next(const std::function<bool(const nlohmann::json&)>& pred,
                                              std::chrono::milliseconds deadline) {
  return child_->readJsonUntil(pred, deadline);
}

std::optional<nlohmann::json> TargetApp::nextEvent(const std::string& event, std::chrono::milliseconds deadline) {
  return next([&](const nlohmann::json& j) { return j.value("event", "") == event; }, deadline);
}

std::vector<nlohmann::json> TargetApp::drain() {
  std::vector<nlohmann::json> out;
  while (auto line = child_->readLine(0ms)) {
    auto j = nlohmann::json::parse(*line, nullptr, false);
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

}  // namespace quorl::testdesk
