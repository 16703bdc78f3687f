#pragma once
// The window list: top-level client windows in real stacking order, front first.
//
// Each root child is reported by its client window: the descendant carrying
// WM_STATE inside a window-manager frame, or the window itself when it is
// override-redirect.  All requests of one snapshot are issued together (XCB
// cookies first, replies after) rather than one round trip per window, and a
// window that vanishes in the middle of a snapshot is simply left out.
#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.hpp"
#include "platform/x11/connection.hpp"

namespace quorl::platform {

// Window layers, the window server's numbering.
namespace layer {
constexpr int64_t kNormal = 0;        // normal, dialog and utility windows
constexpr int64_t kAbove = 3;         // _NET_WM_STATE_ABOVE
constexpr int64_t kDock = 20;         // docks and panels
constexpr int64_t kNotification = 25; // tooltips and notifications
constexpr int64_t kPopup = 101;       // other override-redirect windows (menus, pop-ups)
constexpr int64_t kScreenSaver = 1000;
constexpr int64_t kDesktop = -2147483623;
}  // namespace layer

struct WindowRecord {
  uint32_t id = 0;            // the client window (what every program calls the window id)
  uint32_t frame = 0;         // the root child that holds it (the WM frame, or the window itself)
  int32_t pid = -1;           // X-Resource client pid, else _NET_WM_PID; -1 when unknown
  int64_t layer = layer::kNormal;
  double alpha = 1.0;         // _NET_WM_WINDOW_OPACITY / 0xffffffff, 1.0 when absent
  Rect bounds;                // the client window's rectangle in root coordinates
  bool onScreen = false;      // map state viewable
  bool overrideRedirect = false;
  std::string title;          // _NET_WM_NAME (UTF-8), else WM_NAME
  std::string wmClass;        // class part of WM_CLASS ("" when absent)
  std::string wmInstance;     // instance part of WM_CLASS
  std::vector<std::string> windowTypes;  // _NET_WM_WINDOW_TYPE names, e.g. "_NET_WM_WINDOW_TYPE_NORMAL"
  std::vector<std::string> states;       // _NET_WM_STATE names, e.g. "_NET_WM_STATE_HIDDEN"
  bool iconic = false;        // WM_STATE says IconicState
  int64_t desktop = -1;       // _NET_WM_DESKTOP, -1 when absent (0xFFFFFFFF, all desktops, is kept as 0xFFFFFFFF)
  std::string gtkApplicationId;  // _GTK_APPLICATION_ID ("" when absent)
};

// The layer of a window from what it says about itself: the screen saver's window
// 1000, a desktop -2147483623, docks 20, tooltips and notifications 25, other
// override-redirect windows 101, _NET_WM_STATE_ABOVE 3, everything else 0.
int64_t layerFor(bool overrideRedirect, const std::vector<std::string>& windowTypes,
                 const std::vector<std::string>& states, bool screenSaver = false);

struct SnapshotOptions {
  bool onScreenOnly = true;   // leave out windows that are not viewable
  // Also read title, WM_CLASS, desktop and _GTK_APPLICATION_ID.  Without them a
  // snapshot fills only id, frame, pid, layer, alpha, bounds, visibility, types and
  // states: what hit-testing needs, with fewer requests.
  bool details = true;
};

// The windows front to back.  Empty when the connection is null or broken.
std::vector<WindowRecord> snapshotWindows(x11::Connection& conn, const SnapshotOptions& options = {});

// The client window id of _NET_ACTIVE_WINDOW, absent when none or unknown.
std::optional<uint32_t> activeWindow(x11::Connection& conn);

// The top-level client window holding the X input focus (walking up from the
// focus window to the client carrying WM_STATE), absent when none.
std::optional<uint32_t> focusedClientWindow(x11::Connection& conn);

}  // namespace quorl::platform
