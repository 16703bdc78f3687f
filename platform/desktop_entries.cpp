#include "platform/desktop_entries.hpp"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>

namespace quorl::platform::desktop {
namespace {

struct ObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
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

Entry entryOf(GDesktopAppInfo* info, std::string id) {
  Entry e;
  e.id = std::move(id);
  if (const char* path = g_desktop_app_info_get_filename(info)) e.path = path;
  e.name = text(g_app_info_get_name(G_APP_INFO(info)));
  e.startupWmClass = text(g_desktop_app_info_get_startup_wm_class(info));
  return e;
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

std::vector<std::string> applicationDirs() {
  std::vector<std::string> dirs;
  if (const char* user = g_get_user_data_dir()) dirs.push_back(std::string(user) + "/applications");
  if (const char* const* system = g_get_system_data_dirs())
    for (; *system; ++system) dirs.push_back(std::string(*system) + "/applications");
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
  AppInfo info(g_desktop_app_info_new_from_filename(path.c_str()));
  if (!info) return std::nullopt;
  return entryOf(info.get(), idFromPath(path, applicationDirs()));
}

std::optional<Entry> byId(std::string_view id) {
  if (id.empty()) return std::nullopt;
  std::string desktopId = std::string(id) + std::string(kSuffix);
  AppInfo info(g_desktop_app_info_new(desktopId.c_str()));
  if (!info) return std::nullopt;
  return entryOf(info.get(), std::string(id));
}

const std::vector<Entry>& Index::all() {
  if (!entries_) {
    entries_.emplace();
    GList* list = g_app_info_get_all();
    for (GList* l = list; l; l = l->next) {
      auto* info = static_cast<GAppInfo*>(l->data);
      if (G_IS_DESKTOP_APP_INFO(info)) {
        const char* id = g_app_info_get_id(info);
        if (id) entries_->push_back(entryOf(G_DESKTOP_APP_INFO(info), withoutSuffix(id)));
      }
    }
    g_list_free_full(list, g_object_unref);
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

}  // namespace quorl::platform::desktop
