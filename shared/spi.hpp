#pragma once
// The private entry points, resolved once, thread-safely, on first use.
//
// On X11 each entry resolves to its X-backed operation when the display (and the
// extension it needs) can be opened, and is absent otherwise.  The table, the
// names and the "resolve once, may be absent" contract are those callers rely on.
#include <sys/types.h>

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

}  // namespace quorl::SPI
