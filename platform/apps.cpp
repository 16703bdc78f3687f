#include "platform/apps.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/proc_files.hpp"
#include "shared/process_start.hpp"

namespace quorl::platform {
namespace {

constexpr std::string_view kTypeNormal = "_NET_WM_WINDOW_TYPE_NORMAL";
constexpr std::string_view kSkipTaskbar = "_NET_WM_STATE_SKIP_TASKBAR";

bool has(const std::vector<std::string>& list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

AppIdentity identityOf(const desktop::Entry& e) {
  return AppIdentity{e.id, e.path.empty() ? std::nullopt : std::optional<std::string>(e.path)};
}

// Desktop entries through GIO; the full list is loaded at most once per query.
class GioEntries : public EntrySource {
 public:
  bool exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  std::string idFromPath(const std::string& path) override {
    if (!dirs_) dirs_ = desktop::applicationDirs();
    return desktop::idFromPath(path, *dirs_);
  }
  std::optional<desktop::Entry> byId(const std::string& id) override { return desktop::byId(id); }
  std::optional<desktop::Entry> byWindowClass(const std::string& wmClass,
                                              const std::string& wmInstance) override {
    return index_.byWindowClass(wmClass, wmInstance);
  }

 private:
  desktop::Index index_;
  std::optional<std::vector<std::string>> dirs_;
};

std::optional<std::string> commandName(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  if (!f) return std::nullopt;
  char buf[64] = {};
  bool ok = fgets(buf, sizeof buf, f) != nullptr;
  fclose(f);
  if (!ok) return std::nullopt;
  std::string name(buf);
  while (!name.empty() && name.back() == '\n') name.pop_back();
  if (name.empty()) return std::nullopt;
  return name;
}

int64_t startMicrosOf(const proc::StartRecord& r) {
  return static_cast<int64_t>(r.seconds * 1000000 + r.micros);
}

// Identifies one live process from its environment, then from its windows.
std::optional<AppIdentity> identify(pid_t pid, const std::vector<const WindowRecord*>& windows,
                                    EntrySource& entries) {
  std::optional<AppIdentity> identity;
  if (auto environment = proc::readEnvironment(pid))
    identity = identityFromEnvironment(pid, *environment, entries);
  if (!identity) identity = identityFromWindows(windows, entries);
  return identity;
}

std::vector<WindowRecord> allWindows() {
  auto conn = x11::shared();
  if (!conn) return {};
  SnapshotOptions options;
  options.onScreenOnly = false;
  return snapshotWindows(*conn, options);
}

std::vector<const WindowRecord*> windowsOf(pid_t pid, const std::vector<WindowRecord>& windows) {
  std::vector<const WindowRecord*> mine;
  for (const auto& w : windows)
    if (w.pid == pid) mine.push_back(&w);
  return mine;
}

}  // namespace

std::optional<AppIdentity> identityFromEnvironment(pid_t pid, std::string_view environment,
                                                   EntrySource& entries) {
  auto file = proc::environmentValue(environment, "GIO_LAUNCHED_DESKTOP_FILE");
  auto launchedPid = proc::environmentValue(environment, "GIO_LAUNCHED_DESKTOP_FILE_PID");
  if (!file || file->empty() || !launchedPid || *launchedPid != std::to_string(pid)) return std::nullopt;
  std::string id = entries.idFromPath(*file);
  if (id.empty()) return std::nullopt;
  // An entry removed since the launch leaves the identifier and no location.
  if (!entries.exists(*file)) return AppIdentity{id, std::nullopt};
  return AppIdentity{id, *file};
}

std::optional<AppIdentity> identityFromWindows(const std::vector<const WindowRecord*>& windows,
                                               EntrySource& entries) {
  bool managed = false;
  for (const WindowRecord* w : windows) {
    if (!isManaged(*w)) continue;
    managed = true;
    if (!w->gtkApplicationId.empty()) {
      if (auto entry = entries.byId(w->gtkApplicationId)) return identityOf(*entry);
      return AppIdentity{w->gtkApplicationId, std::nullopt};
    }
  }
  if (!managed) return std::nullopt;
  for (const WindowRecord* w : windows) {
    if (!isManaged(*w) || (w->wmClass.empty() && w->wmInstance.empty())) continue;
    if (auto entry = entries.byWindowClass(w->wmClass, w->wmInstance)) return identityOf(*entry);
  }
  return AppIdentity{};
}

bool isManaged(const WindowRecord& w) { return !w.overrideRedirect; }

bool activeIn(pid_t pid, const std::vector<WindowRecord>& windows, std::optional<uint32_t> active) {
  if (!active) return false;
  for (const auto& w : windows)
    if (w.id == *active) return w.pid == pid;
  return false;
}

bool hiddenIn(pid_t pid, const std::vector<WindowRecord>& windows) {
  bool any = false;
  for (const auto& w : windows) {
    if (w.pid != pid || !isManaged(w)) continue;
    any = true;
    if (!w.iconic) return false;
  }
  return any;
}

bool regularIn(pid_t pid, const std::vector<WindowRecord>& windows) {
  for (const auto& w : windows) {
    if (w.pid != pid || !isManaged(w)) continue;
    bool normal = w.windowTypes.empty() || has(w.windowTypes, kTypeNormal);
    if (normal && !has(w.states, kSkipTaskbar)) return true;
  }
  return false;
}

RunningApplication::RunningApplication(pid_t pid, int64_t startMicros, AppIdentity identity,
                                       std::optional<std::string> executablePath)
    : pid_(pid), startMicros_(startMicros), identity_(std::move(identity)),
      executablePath_(std::move(executablePath)) {}

std::optional<std::string> RunningApplication::localizedName() const {
  if (identity_.bundlePath)
    if (auto entry = desktop::byPath(*identity_.bundlePath); entry && entry->name) return entry->name;
  return commandName(pid_);
}

bool RunningApplication::isTerminated() const {
  auto now = proc::readStartRecord(pid_);
  return !now || now->zombie || startMicrosOf(*now) != startMicros_;
}

bool RunningApplication::isActive() const {
  auto conn = x11::shared();
  if (!conn) return false;
  SnapshotOptions options;
  options.onScreenOnly = false;
  return activeIn(pid_, snapshotWindows(*conn, options), activeWindow(*conn));
}

bool RunningApplication::isHidden() const { return hiddenIn(pid_, allWindows()); }

bool RunningApplication::isRegular() const { return regularIn(pid_, allWindows()); }

std::optional<RunningApplication> runningApplication(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto start = proc::readStartRecord(pid);
  if (!start || start->zombie) return std::nullopt;
  GioEntries entries;
  std::optional<AppIdentity> identity;
  // The environment answers without a window list; the display is asked only when
  // it does not.
  if (auto environment = proc::readEnvironment(pid))
    identity = identityFromEnvironment(pid, *environment, entries);
  if (!identity) {
    auto windows = allWindows();
    identity = identityFromWindows(windowsOf(pid, windows), entries);
  }
  if (!identity) return std::nullopt;
  return RunningApplication(pid, startMicrosOf(*start), std::move(*identity), executablePath(pid));
}

std::vector<RunningApplication> runningApplications(std::string_view bundleId) {
  std::vector<pid_t> pids;
  if (DIR* dir = opendir("/proc")) {
    while (struct dirent* e = readdir(dir)) {
      char* end = nullptr;
      long v = strtol(e->d_name, &end, 10);
      if (end && *end == '\0' && v > 0 && v <= INT32_MAX) pids.push_back(static_cast<pid_t>(v));
    }
    closedir(dir);
  }
  std::sort(pids.begin(), pids.end());

  auto windows = allWindows();
  std::map<pid_t, std::vector<const WindowRecord*>> byPid;
  for (const auto& w : windows)
    if (w.pid > 0) byPid[w.pid].push_back(&w);

  GioEntries entries;
  std::vector<RunningApplication> apps;
  static const std::vector<const WindowRecord*> kNone;
  for (pid_t pid : pids) {
    auto start = proc::readStartRecord(pid);
    if (!start || start->zombie) continue;
    auto it = byPid.find(pid);
    auto identity = identify(pid, it == byPid.end() ? kNone : it->second, entries);
    if (!identity) continue;
    if (!bundleId.empty() && identity->bundleId != bundleId) continue;
    apps.emplace_back(pid, startMicrosOf(*start), std::move(*identity), executablePath(pid));
  }
  return apps;
}

}  // namespace quorl::platform
