#pragma once
// Running applications: which processes are applications, their identifiers
// (desktop-entry ids), where their entries and executables are, and their state on
// the desktop.
//
// A process is identified as desktop shells identify it, in this order:
//  1. its initial environment holds GIO_LAUNCHED_DESKTOP_FILE together with
//     GIO_LAUNCHED_DESKTOP_FILE_PID equal to its own pid (set by whoever launched
//     it through GIO; a child that merely inherited the variables has another pid);
//  2. one of its windows carries _GTK_APPLICATION_ID;
//  3. the WM_CLASS of one of its windows matches an entry's StartupWMClass or id.
// A process is a running application when step 1 names its entry or when it owns
// at least one managed (not override-redirect) top-level window; an application
// none of the steps identifies has an empty identifier.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_entries.hpp"
#include "platform/x11/windows.hpp"

namespace quorl::platform {

struct AppIdentity {
  std::string bundleId;                     // "" when the application has none
  std::optional<std::string> bundlePath;    // the desktop entry's path
};

// Where identification finds desktop entries (GIO in the program, a table in tests).
class EntrySource {
 public:
  virtual ~EntrySource() = default;
  // Whether a file exists at the path (an entry named by a launcher's environment).
  virtual bool exists(const std::string& path) = 0;
  virtual std::string idFromPath(const std::string& path) = 0;
  virtual std::optional<desktop::Entry> byId(const std::string& id) = 0;
  virtual std::optional<desktop::Entry> byWindowClass(const std::string& wmClass,
                                                      const std::string& wmInstance) = 0;
};

// The identity that step 1 gives (absent when the environment does not name an entry
// for this very pid).  `environment` is the raw /proc/PID/environ block.  The entry
// itself is not read: its path gives the identifier, and it is the bundle location
// while the file exists.
std::optional<AppIdentity> identityFromEnvironment(pid_t pid, std::string_view environment,
                                                   EntrySource& entries);
// The identity steps 2 and 3 give from the process's windows (front first); absent
// when it owns no managed window.
std::optional<AppIdentity> identityFromWindows(const std::vector<const WindowRecord*>& windows,
                                               EntrySource& entries);

// Window-derived state of the application `pid` within one window snapshot.
bool isManaged(const WindowRecord& w);
// Owns the window _NET_ACTIVE_WINDOW names.
bool activeIn(pid_t pid, const std::vector<WindowRecord>& windows, std::optional<uint32_t> active);
// Has managed windows and every one of them is iconic.
bool hiddenIn(pid_t pid, const std::vector<WindowRecord>& windows);
// Has a managed normal window (typed normal, or untyped) not marked skip-taskbar.
bool regularIn(pid_t pid, const std::vector<WindowRecord>& windows);

// One running application as seen when it was looked up.  The identity, paths and
// launch date are fixed at lookup; terminated, active, hidden and regular are read
// live on every call.
class RunningApplication {
 public:
  RunningApplication(pid_t pid, int64_t startMicros, AppIdentity identity,
                     std::optional<std::string> executablePath);

  pid_t pid() const { return pid_; }
  const std::string& bundleIdentifier() const { return identity_.bundleId; }
  const std::optional<std::string>& bundlePath() const { return identity_.bundlePath; }
  const std::optional<std::string>& executablePath() const { return executablePath_; }
  // The entry's Name (read through GIO on each call), else the process's command name.
  std::optional<std::string> localizedName() const;
  // The process start in microseconds since 1970.
  int64_t launchDateMicros() const { return startMicros_; }

  // The process has exited (or is a zombie), or its pid now names another process.
  bool isTerminated() const;
  bool isActive() const;
  bool isHidden() const;
  bool isRegular() const;

 private:
  pid_t pid_;
  int64_t startMicros_;
  AppIdentity identity_;
  std::optional<std::string> executablePath_;
};

// The running application with this pid; absent when the process does not exist,
// is a zombie, or is not an application.
std::optional<RunningApplication> runningApplication(pid_t pid);

// Every running application (empty `bundleId`), or those whose identifier is exactly
// `bundleId`, in ascending pid order.
std::vector<RunningApplication> runningApplications(std::string_view bundleId = {});

}  // namespace quorl::platform
