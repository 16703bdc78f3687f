#pragma once
// A real desktop for integration tests: Xvfb on a free display number, openbox as
// the window manager, and (when asked) a D-Bus session with the accessibility bus.
// Everything a TestDesktop starts is stopped by its destructor, also when the test
// fails; children are started with PR_SET_PDEATHSIG so that nothing outlives a
// crashed test either.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorl::testdesk {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

// Polls `condition` until it holds or the deadline passes; returns its last value.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 5000ms,
             std::chrono::milliseconds interval = 5ms);

// The directory holding the built programs and test applications.
std::string binDir();
std::string sourceDir();

// How a child's standard streams are set up (the defaults: pipes on all three).
struct StartOptions {
  bool stdinNull = false;  // stdin from /dev/null instead of a pipe
  std::string logFile;     // stdout and stderr appended to this file instead of pipes
  int passFd = -1;         // this descriptor becomes the child's fd 3
};

// A child process with pipes on its standard streams.  It runs in its own process
// group and dies with the thread that started it (PR_SET_PDEATHSIG); a reader
// thread drains its output, so it never blocks on a full pipe.
class Child {
 public:
  // Starts argv[0] (a path, or a name looked up on PATH) with the current
  // environment plus `env` (a value of "" removes the variable).  Throws
  // std::runtime_error when the process cannot be made; a program that cannot be
  // executed exits with status 127.
  static std::unique_ptr<Child> start(const std::vector<std::string>& argv, const Env& env = {});
  static std::unique_ptr<Child> start(const std::vector<std::string>& argv, const Env& env,
                                      const StartOptions& options);
  // Closes stdin; a child still running then gets SIGTERM (its whole process
  // group), 2 s to end, then SIGKILL; reaps.  What a child that ended on its own
  // left running in the background is not touched (the desktop sweeps it).
  ~Child();

  pid_t pid() const { return pid_; }
  bool writeLine(const std::string& line);  // appends '\n'
  void closeStdin();
  // The next complete stdout line, waiting up to the deadline.
  std::optional<std::string> readLine(std::chrono::milliseconds deadline = 5000ms);
  // The next stdout line that parses as JSON and satisfies the predicate; lines
  // skipped on the way are kept in skipped().
  std::optional<nlohmann::json> readJsonUntil(const std::function<bool(const nlohmann::json&)>& pred,
                                              std::chrono::milliseconds deadline = 5000ms);
  const std::vector<std::string>& skipped() const { return skipped_; }
  std::string stderrText();  // whatever stderr has produced so far
  std::string stdoutText();  // stdout not yet read as lines
  // Waits until both stdout and stderr have reached end of file.
  bool waitOutputEnd(std::chrono::milliseconds deadline = 5000ms);
  // Exit status (or 128+signal) once the child ends within the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds deadline = 5000ms);
  bool running();
  void kill(int signal);
  void killGroup(int signal);  // the child's whole process group

 private:
  struct Reader;
  Child() = default;
  bool exited();  // reaps the child once it has ended and sets status_
  bool leaderEnded();
  void pump();    // the reader thread
  std::unique_ptr<Reader> reader_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_, errBuffer_;
  std::vector<std::string> skipped_;
  std::optional<int> status_;
};

// Runs a command to completion and returns its standard output (and exit status).
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string>& argv, const Env& env = {},
              std::chrono::milliseconds deadline = 10000ms);

struct DesktopOptions {
  int width = 1280;
  int height = 800;
  bool windowManager = true;   // openbox
  bool accessibility = false;  // D-Bus session + AT-SPI bus
  bool compositor = false;     // xcompmgr (a compositing manager owning _NET_WM_CM_S0)
  bool sessionBus = false;     // a D-Bus session bus (implied by accessibility)
  // How long each service may take to come up (generous: a loaded 2-core machine).
  std::chrono::milliseconds startDeadline = 20000ms;
};

// A window's rectangle in root coordinates.
struct WindowBox {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const WindowBox&) const = default;
};

class TestDesktop {
 public:
  explicit TestDesktop(DesktopOptions options = {});
  ~TestDesktop();

  const std::string& display() const { return display_; }  // ":N"
  // DISPLAY, a private XDG_RUNTIME_DIR, and DBUS_SESSION_BUS_ADDRESS,
  // AT_SPI_BUS_ADDRESS... when there is a bus ("" values remove a variable).
  const Env& env() const { return env_; }
  // Sets DISPLAY etc. in this process's own environment for the desktop's lifetime
  // (restored by the destructor), so in-process platform code talks to it.
  void adoptEnvironment();

  std::unique_ptr<Child> spawn(const std::vector<std::string>& argv, const Env& extra = {}) const;
  RunResult run(const std::vector<std::string>& argv, const Env& extra = {},
                std::chrono::milliseconds deadline = 10000ms) const;

  // xdotool playing the user, e.g. xdotool({"mousemove", "100", "100", "click", "1"}).
  RunResult xdotool(const std::vector<std::string>& args) const;
  // Binds keysyms ("eacute", "EuroSign") to spare keycodes of the core keymap, so
  // that `xdotool type` finds them there.  Without this xdotool binds a scratch
  // keycode for each such character and unbinds it right after the key: an
  // application that looks the keycode up only after the unbinding (a loaded
  // machine) sees no character.  False when there are not enough spare keycodes.
  bool bindKeysyms(const std::vector<std::string>& keysyms) const;

  // What the window manager and the server say right now.
  pid_t serverPid() const;            // the Xvfb process
  uint32_t activeWindow() const;      // _NET_ACTIVE_WINDOW, 0 when none
  uint32_t focusWindow() const;       // the X input focus
  std::optional<WindowBox> rootGeometry(uint32_t window) const;
  uint32_t selectionOwner(const std::string& selection) const;  // e.g. "_NET_WM_CM_S0"; 0 when none
  bool waitActive(uint32_t window, std::chrono::milliseconds deadline = 5000ms) const;
  // Asks the window manager to close a window politely (_NET_CLOSE_WINDOW, which
  // openbox turns into WM_DELETE_WINDOW).
  void closeWindow(uint32_t window) const;
  // This desktop's scratch directory (logs of its services; removed on
  // destruction unless QUORL_KEEP_DESKTOP_LOGS is set).
  const std::string& dir() const { return dir_; }
  // Every live process started with this desktop's environment (it carries
  // QUORL_TEST_DESKTOP=dir()): services, test programs and whatever they started.
  // What tests leave running is stopped when the desktop goes.
  std::vector<pid_t> processes() const;

 private:
  struct X;
  void start();
  void startSessionBus();
  void startAccessibility();
  bool probeWindowManager();
  void stop();
  void sweep(bool politely);
  [[noreturn]] void fail(const std::string& what, const std::string& log);
  std::string dir_;
  std::unique_ptr<X> x_;
  std::unique_ptr<Child> xvfb_;
  DesktopOptions options_;
  std::string display_;
  Env env_;
  Env savedEnv_;
  bool adopted_ = false;
  std::vector<std::unique_ptr<Child>> services_;  // dbus, the accessibility bus, openbox, xcompmgr
};

// The live processes of the desktop whose dir() this was (also after it ended:
// then the list should be empty).
std::vector<pid_t> desktopProcesses(const std::string& desktopDir);

// One of our target applications: tests/apps "xlib-target" or "gtk-target".
// Started with a title and geometry; it prints one JSON line per thing it receives
// (first {"event":"ready","window":ID,...} once mapped, exposed and, under the
// window manager, focused).  The client window lands exactly at x,y (static
// gravity).  xlib-target's extraArgs: --override-redirect, --opacity F,
// --children N, --no-focus, --type TYPE (dock, dialog...), --above,
// --skip-taskbar, --class NAME, --xi2; it also takes commands on stdin ("title T",
// "move X Y", "resize W H", "map", "unmap", "raise", "activate", "opacity F",
// "quit").  The head comment of each program lists its lines.
struct TargetOptions {
  std::string title = "target";
  int x = 100, y = 100, width = 400, height = 300;
  std::vector<std::string> extraArgs{};
  Env env{};
  std::chrono::milliseconds readyDeadline = 20000ms;
};

class TargetApp {
 public:
  enum class Kind { xlib, gtk };
  TargetApp(const TestDesktop& desktop, Kind kind, TargetOptions options = {});
  ~TargetApp();

  pid_t pid() const;
  uint32_t window() const;  // the client window id from the ready line
  Child& child() { return *child_; }
  // The ready line (with its geometry fields).
  const nlohmann::json& ready() const { return ready_; }
  // The next logged event satisfying the predicate.
  std::optional<nlohmann::json> next(const std::function<bool(const nlohmann::json&)>& pred,
                                     std::chrono::milliseconds deadline = 5000ms);
  // The next logged event with this "event" name.
  std::optional<nlohmann::json> nextEvent(const std::string& event,
                                          std::chrono::milliseconds deadline = 5000ms);
  // All lines logged so far (read without waiting).
  std::vector<nlohmann::json> drain();

 private:
  std::unique_ptr<Child> child_;
  nlohmann::json ready_;
  uint32_t window_ = 0;
};

}  // namespace quorl::testdesk
