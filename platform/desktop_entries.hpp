#pragma once
// Desktop entries (the installed applications), read through GIO.
//
// An application's identifier is its desktop-entry id without the ".desktop"
// suffix ("org.gnome.TextEditor"): the path of the entry below an
// "applications" directory of the XDG data directories, with '/' turned into '-'.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorl::platform::desktop {

struct Entry {
  std::string id;                            // without ".desktop"
  std::string path;                          // the .desktop file
  std::optional<std::string> name;           // Name, localized for the current locale
  std::optional<std::string> startupWmClass; // StartupWMClass
};

// The "applications" directories in lookup order: the user's data directory first,
// then the system data directories ($XDG_DATA_HOME, $XDG_DATA_DIRS).
std::vector<std::string> applicationDirs();

// The id of the entry at `path` (without ".desktop"): its place below one of `dirs`,
// or its file name when it lies elsewhere.
std::string idFromPath(std::string_view path, const std::vector<std::string>& dirs);

// The entry stored in one file; absent when GIO cannot load it (missing, hidden,
// not an application).
std::optional<Entry> byPath(const std::string& path);

// The entry GIO finds for an id (without ".desktop"); absent when none.
std::optional<Entry> byId(std::string_view id);

// Every installed entry, loaded once per index and kept for its lifetime; use one
// index for one query (installing an application changes the answer).
class Index {
 public:
  Index() = default;
  const std::vector<Entry>& all();
  // The entry a window of this WM_CLASS belongs to: StartupWMClass equal to the
  // class or instance, else an id equal to the class, the instance, or either in
  // lower case.
  std::optional<Entry> byWindowClass(std::string_view wmClass, std::string_view wmInstance);

 private:
  std::optional<std::vector<Entry>> entries_;
};

}  // namespace quorl::platform::desktop
