// The entry points on X11.
//
// Each entry is resolved once, on first read, against the process-wide display
// connection, and stays as resolved for the life of the process:
//
//   getFront, getKeyFocus      present when the display opens (_NET_ACTIVE_WINDOW on the
//                              root and the input focus can be read on every server)
//   pidForPSN                  present when the display offers X-Resource (client pids),
//                              or at least knows the _NET_WM_PID atom that clients set
//                              on their windows; without either no window has a pid
//   skyPost                    present when XInput 2.2 and XTEST are both there: the
//                              service's own device pair can be made and driven
//   setWindowLocation,
//   setField                   present when the display opens.  These fields have no X
//                              meaning; events still carry them in what is built and
//                              recorded, whichever route posts them, and both routes
//                              need nothing but the display
//   windowNumber               present with the display: accessibility windows are X windows
//   mainConnection, spaces     present with the display: "spaces" are EWMH desktops
//
// Without a display every entry is absent.
#include "shared/spi.hpp"

#include <xcb/res.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/x11/connection.hpp"
#include "platform/x11/windows.hpp"

namespace quorl::SPI {
namespace {

// One entry: resolved under a once-only guard, then read without locking.
struct Entry {
  std::once_flag once;
  bool present = false;
  template <typename Resolve>
  bool get(Resolve resolve) {
    std::call_once(once, [&] { present = resolve(); });
    return present;
  }
};

bool displayOpens() {
  static Entry entry;
  return entry.get([] { return x11::shared() != nullptr; });
}

// XInput 2.2 is asked on a connection of its own: announcing a version to the server
// binds the connection that announces it, and the shared connection's users announce
// the version they need themselves.
bool inputDevicesUsable() {
  if (!displayOpens()) return false;
  auto conn = x11::Connection::open();
  if (!conn) return false;
  if (!conn->hasExtension(&xcb_test_id) || !conn->hasExtension(&xcb_input_id)) return false;
  xcb_generic_error_t* err = nullptr;
  auto* reply = xcb_input_xi_query_version_reply(conn->xcb(), xcb_input_xi_query_version(conn->xcb(), 2, 2), &err);
  std::free(err);
  if (!reply) return false;
  const bool ok = reply->major_version > 2 || (reply->major_version == 2 && reply->minor_version >= 2);
  std::free(reply);
  return ok;
}

bool windowPidsKnowable() {
  if (!displayOpens()) return false;
  auto conn = x11::shared();
  if (!conn) return false;
  if (conn->hasExtension(&xcb_res_id)) return true;
  static const char kName[] = "_NET_WM_PID";
  xcb_generic_error_t* err = nullptr;
  auto* reply = xcb_intern_atom_reply(conn->xcb(), xcb_intern_atom(conn->xcb(), 1, sizeof kName - 1, kName), &err);
  std::free(err);
  const bool known = reply && reply->atom != XCB_ATOM_NONE;
  std::free(reply);
  return known;
}

}  // namespace

bool hasGetFront() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasGetKeyFocus() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasPidForPSN() {
  static Entry entry;
  return entry.get(windowPidsKnowable);
}
bool hasSkyPost() {
  static Entry entry;
  return entry.get(inputDevicesUsable);
}
bool hasSetWindowLocation() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasSetField() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasWindowNumber() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasMainConnection() {
  static Entry entry;
  return entry.get(displayOpens);
}
bool hasSpaces() {
  static Entry entry;
  return entry.get(displayOpens);
}

std::vector<std::string> missing() {
  detail::Table t;
  t.getFront = hasGetFront();
  t.getKeyFocus = hasGetKeyFocus();
  t.pidForPSN = hasPidForPSN();
  return detail::missingOf(t);
}

namespace {
std::optional<int32_t> pidOfWindow(uint32_t window) {
  auto conn = x11::shared();
  if (!conn) return std::nullopt;
  return x11::windowPid(*conn, window);
}
}  // namespace

pid_t frontPid() {
  return detail::pidVia(
      hasGetFront(), hasPidForPSN(),
      []() -> std::optional<uint32_t> {
        auto conn = x11::shared();
        if (!conn) return std::nullopt;
        return platform::activeWindow(*conn);
      },
      pidOfWindow);
}

pid_t keyFocusPid() {
  return detail::pidVia(
      hasGetKeyFocus(), hasPidForPSN(),
      []() -> std::optional<uint32_t> {
        auto conn = x11::shared();
        if (!conn) return std::nullopt;
        return platform::focusedClientWindow(*conn);
      },
      pidOfWindow);
}

namespace detail {

std::vector<std::string> missingOf(const Table& table) {
  std::vector<std::string> out;
  if (!table.getFront) out.emplace_back("_SLPSGetFrontProcess");
  if (!table.getKeyFocus) out.emplace_back("SLPSGetKeyFocusProcess");
  if (!table.pidForPSN) out.emplace_back("GetProcessPID");
  return out;
}

pid_t pidVia(bool queryPresent, bool pidPresent, const std::function<std::optional<uint32_t>()>& window,
             const std::function<std::optional<int32_t>(uint32_t)>& pidOfWindow) {
  if (!queryPresent || !pidPresent) return -1;
  auto w = window();
  if (!w) return -1;
  auto pid = pidOfWindow(*w);
  if (!pid || *pid <= 0) return -1;
  return *pid;
}

}  // namespace detail
}  // namespace quorl::SPI
