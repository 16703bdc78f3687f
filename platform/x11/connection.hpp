#pragma once
// One XCB connection helper for the whole suite.  XCB is thread-safe: one
// connection may be used from several threads at once.
#include <xcb/xcb.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorl::x11 {

class Connection {
 public:
  // Opens the display named by `name`, or $DISPLAY when null.  Null when there is
  // no display or it cannot be opened.
  static std::shared_ptr<Connection> open(const char* name = nullptr);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* xcb() const { return conn_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  int screenNumber() const { return screenNumber_; }

  // True once the server has gone away or the connection broke.
  bool broken() const { return xcb_connection_has_error(conn_) != 0; }

  // The atom of a name, interned once and cached; XCB_ATOM_NONE on failure.
  xcb_atom_t atom(std::string_view name);
  // Interns several names with one round trip for all of them.
  std::vector<xcb_atom_t> atoms(const std::vector<std::string_view>& names);

  // Whether the server offers an extension (asked once per extension).
  bool hasExtension(xcb_extension_t* ext);

 private:
  Connection(xcb_connection_t* conn, int screenNumber, xcb_screen_t* screen);
  xcb_connection_t* conn_;
  int screenNumber_;
  xcb_screen_t* screen_;
  std::mutex atomLock_;
  std::unordered_map<std::string, xcb_atom_t> atomCache_;
};

// The process-wide connection to $DISPLAY, opened on first use and kept for the
// life of the process.  Null when there is no display.  When the connection broke
// (the server went away) a later call tries once more to open a fresh one.
std::shared_ptr<Connection> shared();

// Reads a window property as raw 32-bit values / bytes.  Absent on any error
// (including BadWindow for a window that vanished).
std::optional<std::vector<uint32_t>> property32(Connection& c, xcb_window_t w, xcb_atom_t prop,
                                                xcb_atom_t type = XCB_ATOM_ANY);
std::optional<std::string> propertyBytes(Connection& c, xcb_window_t w, xcb_atom_t prop,
                                         xcb_atom_t type = XCB_ATOM_ANY);

// The pid of the client that created a window, from the X-Resource extension,
// else _NET_WM_PID; absent when neither answers.
std::optional<int32_t> windowPid(Connection& c, xcb_window_t w);

}  // namespace quorl::x11
