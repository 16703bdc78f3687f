#pragma once
// The private entry points, resolved once, thread-safely, on first use.
//
// On X11 each entry resolves to its X-backed operation when the display (and the
// extension it needs) can be opened, and is absent otherwise.  The table, the
// names and the "resolve once, may be absent" contract are those callers rely on.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorl::SPI {

// Whether each entry point resolved.
bool hasGetFront();       // "_SLPSGetFrontProcess": _NET_ACTIVE_WINDOW readable
bool hasGetKeyFocus();    // "SLPSGetKeyFocusProcess": the input focus readable
bool hasPidForPSN();      // "GetProcessPID": a window's pid can be asked (X-Resource or _NET_WM_PID)
bool hasSkyPost();        // "SLEventPostToPid": XInput 2.2 and XTEST present (the agent device pair can be made)
bool hasSetWindowLocation();
bool hasSetField();
bool hasWindowNumber();   // accessibility element -> window id
bool hasMainConnection(); // window-server connection and space queries
bool hasSpaces();

// Names of the required entry points that are absent, always in the order
// "_SLPSGetFrontProcess", "SLPSGetKeyFocusProcess", "GetProcessPID".
std::vector<std::string> missing();

// pid of the client named by _NET_ACTIVE_WINDOW; -1 when unknown or absent.
pid_t frontPid();
// pid of the top-level client holding the X input focus; -1 when unknown or absent.
pid_t keyFocusPid();

// The pieces the entry points are made of, apart from the display, for tests.
namespace detail {

// Which entry points resolved.
struct Table {
  bool getFront = false;
  bool getKeyFocus = false;
  bool pidForPSN = false;
  bool skyPost = false;
  bool setWindowLocation = false;
  bool setField = false;
  bool windowNumber = false;
  bool mainConnection = false;
  bool spaces = false;
};

// The names of the absent required entries, in the fixed order.
std::vector<std::string> missingOf(const Table& table);

// A pid query: -1 unless both the window query and the pid lookup are present and
// both answer with a window and a positive pid.
pid_t pidVia(bool queryPresent, bool pidPresent, const std::function<std::optional<uint32_t>()>& window,
             const std::function<std::optional<int32_t>(uint32_t)>& pidOfWindow);

}  // namespace detail
}  // namespace quorl::SPI
