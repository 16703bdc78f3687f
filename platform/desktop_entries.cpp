#include "platform/desktop_entries.hpp"

#include <dlfcn.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace quorl::platform {
namespace {

// GIO is loaded on first use rather than linked: most questions about a running
// application (its launch environment, its windows) need no desktop entry, and a
// one-shot program such as process-passport should not pay for loading GIO, GObject
// and their dependencies on every run when it reads no entry.
struct Gio {
  bool loaded = false;
  decltype(&g_desktop_app_info_new_from_filename) newFromFilename = nullptr;
  decltype(&g_desktop_app_info_new) newFromId = nullptr;
  decltype(&g_desktop_app_info_get_filename) filename = nullptr;
  decltype(&g_desktop_app_info_get_startup_wm_class) startupWmClass = nullptr;
  decltype(&g_desktop_app_info_get_type) desktopAppInfoType = nullptr;
  decltype(&g_app_info_get_name) name = nullptr;
  decltype(&g_app_info_get_id) id = nullptr;
  decltype(&g_app_info_get_all) all = nullptr;
  decltype(&g_type_check_instance_is_a) isA = nullptr;
  decltype(&g_object_unref) unref = nullptr;
  decltype(&g_list_free_full) listFreeFull = nullptr;
};

const Gio& gio() {
  static Gio table;
  static std::once_flag once;
  std::call_once(once, [] {
    // Kept for the life of the process, as a linked library would be.
    void* lib = dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    auto load = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      return fn != nullptr;
    };
    table.loaded = load(table.newFromFilename, "g_desktop_app_info_new_from_filename") &&
                   load(table.newFromId, "g_desktop_app_info_new") &&
                   load(table.filename, "g_desktop_app_info_get_filename") &&
                   load(table.startupWmClass, "g_desktop_app_info_get_startup_wm_class") &&
                   load(table.desktopAppInfoType, "g_desktop_app_info_get_type") &&
                   load(table.name, "g_app_info_get_name") && load(table.id, "g_app_info_get_id") &&
                   load(table.all, "g_app_info_get_all") && load(table.isA, "g_type_check_instance_is_a") &&
                   load(table.unref, "g_object_unref") && load(table.listFreeFull, "g_list_free_full");
  });
  return table;
}

struct ObjectUnref {
  void operator()(gpointer p) const {
    if (p) gio().unref(p);
  }
};
using AppInfo = std::unique_ptr<GDesktopAppInfo, ObjectUnref>;

constexpr std::string_view kSuffix = ".desktop";

std::string withoutSuffix(std::string_view id) {
  if (id.size() > kSuffix.size() && id.substr(id.size() - kSuffix.size()) == kSuffix)
    id.remove_suffix(kSuffix.size());
  return std::string(id);
}

std::optional<std::string> text(const char* s) {
  if (!s) return std::nullopt;
  return std::string(s);
}

desktop::Entry entryOf(GDesktopAppInfo* info, std::string id) {
  const Gio& g = gio();
  desktop::Entry e;
  e.id = std::move(id);
  if (const char* path = g.filename(info)) e.path = path;
  e.name = text(g.name(reinterpret_cast<GAppInfo*>(info)));
  e.startupWmClass = text(g.startupWmClass(info));
  return e;
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

namespace desktop {

// The XDG base directories, as GLib computes them: $XDG_DATA_HOME (else
// ~/.local/share), then each of $XDG_DATA_DIRS (else /usr/local/share, /usr/share).
std::vector<std::string> applicationDirs() {
  std::vector<std::string> dirs;
  const char* home = std::getenv("XDG_DATA_HOME");
  if (home && *home == '/') {
    dirs.push_back(std::string(home) + "/applications");
  } else if (const char* h = std::getenv("HOME"); h && *h) {
    dirs.push_back(std::string(h) + "/.local/share/applications");
  }
  const char* system = std::getenv("XDG_DATA_DIRS");
  std::string list = system && *system ? system : "/usr/local/share/:/usr/share/";
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(':', pos);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(pos, end - pos);
    if (!dir.empty() && dir.front() == '/') {
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      dirs.push_back(dir + "/applications");
    }
    pos = end + 1;
  }
  return dirs;
}

std::string idFromPath(std::string_view path, const std::vector<std::string>& dirs) {
  for (std::string dir : dirs) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (path.size() > dir.size() + 1 && path.substr(0, dir.size()) == dir && path[dir.size()] == '/') {
      std::string rest(path.substr(dir.size() + 1));
      std::replace(rest.begin(), rest.end(), '/', '-');
      return withoutSuffix(rest);
    }
  }
  size_t slash = path.rfind('/');
  return withoutSuffix(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<Entry> byPath(const std::string& path) {
  if (!gio().loaded) return std::nullopt;
  AppInfo info(gio().newFromFilename(path.c_str()));
  if (!info) return std::nullopt;
  return entryOf(info.get(), idFromPath(path, applicationDirs()));
}

std::optional<Entry> byId(std::string_view id) {
  if (id.empty() || !gio().loaded) return std::nullopt;
  std::string desktopId = std::string(id) + std::string(kSuffix);
  AppInfo info(gio().newFromId(desktopId.c_str()));
  if (!info) return std::nullopt;
  return entryOf(info.get(), std::string(id));
}

const std::vector<Entry>& Index::all() {
  if (!entries_) {
    entries_.emplace();
    const Gio& g = gio();
    if (!g.loaded) return *entries_;
    GType desktopType = g.desktopAppInfoType();
    GList* list = g.all();
    for (GList* l = list; l; l = l->next) {
      auto* info = static_cast<GAppInfo*>(l->data);
      if (!g.isA(reinterpret_cast<GTypeInstance*>(info), desktopType)) continue;
      if (const char* id = g.id(info))
        entries_->push_back(entryOf(reinterpret_cast<GDesktopAppInfo*>(info), withoutSuffix(id)));
    }
    g.listFreeFull(list, g.unref);
  }
  return *entries_;
}

std::optional<Entry> Index::byWindowClass(std::string_view wmClass, std::string_view wmInstance) {
  if (wmClass.empty() && wmInstance.empty()) return std::nullopt;
  const auto& entries = all();
  for (const auto& e : entries) {
    if (!e.startupWmClass || e.startupWmClass->empty()) continue;
    if (*e.startupWmClass == wmClass || *e.startupWmClass == wmInstance) return e;
  }
  for (std::string_view candidate : {wmClass, wmInstance}) {
    if (candidate.empty()) continue;
    for (const auto& e : entries)
      if (e.id == candidate) return e;
  }
  for (std::string_view candidate : {wmClass, wmInstance}) {
    if (candidate.empty()) continue;
    std::string lower = asciiLower(candidate);
    for (const auto& e : entries)
      if (asciiLower(e.id) == lower) return e;
  }
  return std::nullopt;
}

}  // namespace desktop
}  // namespace quorl::platform
