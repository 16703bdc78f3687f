// Identification of running applications and their window-derived state, over a
// table of desktop entries and hand-made window records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/apps.hpp"

namespace quorl::platform {
namespace {

using namespace std::string_literals;

class TableEntries : public EntrySource {
 public:
  std::map<std::string, desktop::Entry> byFile;   // path -> entry
  bool exists(const std::string& path) override { return byFile.count(path) > 0; }
  std::string idFromPath(const std::string& path) override {
    return desktop::idFromPath(path, {"/data/applications"});
  }
  std::optional<desktop::Entry> byId(const std::string& id) override {
    for (auto& [path, e] : byFile)
      if (e.id == id) return e;
    return std::nullopt;
  }
  std::optional<desktop::Entry> byWindowClass(const std::string& cls, const std::string& inst) override {
    for (auto& [path, e] : byFile)
      if (e.startupWmClass && (*e.startupWmClass == cls || *e.startupWmClass == inst)) return e;
    return std::nullopt;
  }
};

TableEntries entries() {
  TableEntries t;
  t.byFile["/data/applications/org.example.Editor.desktop"] =
      {"org.example.Editor", "/data/applications/org.example.Editor.desktop", "Editor", "EditorWin"};
  t.byFile["/data/applications/viewer.desktop"] = {"viewer", "/data/applications/viewer.desktop", "Viewer", {}};
  return t;
}

std::string env(std::initializer_list<std::string> entries) {
  std::string block;
  for (const auto& e : entries) block += e + '\0';
  return block;
}

WindowRecord window(int32_t pid, uint32_t id) {
  WindowRecord w;
  w.pid = pid;
  w.id = id;
  return w;
}

TEST(AppsIdentify, EnvironmentNamesTheEntryOnlyForTheLaunchedPid) {
  auto t = entries();
  std::string file = "GIO_LAUNCHED_DESKTOP_FILE=/data/applications/org.example.Editor.desktop";
  auto id = identityFromEnvironment(42, env({"A=1", file, "GIO_LAUNCHED_DESKTOP_FILE_PID=42"}), t);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bundleId, "org.example.Editor");
  EXPECT_EQ(id->bundlePath, "/data/applications/org.example.Editor.desktop");
  // A child that inherited the variables, or a launcher that gave no pid, is not it.
  EXPECT_FALSE(identityFromEnvironment(43, env({file, "GIO_LAUNCHED_DESKTOP_FILE_PID=42"}), t));
  EXPECT_FALSE(identityFromEnvironment(42, env({file}), t));
  EXPECT_FALSE(identityFromEnvironment(42, env({file, "GIO_LAUNCHED_DESKTOP_FILE_PID=042"}), t));
}

TEST(AppsIdentify, EntryGoneSinceLaunchKeepsItsIdWithoutLocation) {
  auto t = entries();
  auto id = identityFromEnvironment(
      7, env({"GIO_LAUNCHED_DESKTOP_FILE=/data/applications/sub/tool.desktop", "GIO_LAUNCHED_DESKTOP_FILE_PID=7"}), t);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bundleId, "sub-tool");
  EXPECT_FALSE(id->bundlePath);
}

TEST(AppsIdentify, WindowsGtkIdFirstThenWmClassThenNone) {
  auto t = entries();
  WindowRecord popup = window(5, 1);
  popup.overrideRedirect = true;
  popup.gtkApplicationId = "org.example.Popup";  // pop-ups are not the application's windows
  WindowRecord classed = window(5, 2);
  classed.wmClass = "EditorWin";
  WindowRecord gtk = window(5, 3);
  gtk.gtkApplicationId = "viewer";

  auto id = identityFromWindows({&popup, &classed, &gtk}, t);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bundleId, "viewer");
  EXPECT_EQ(id->bundlePath, "/data/applications/viewer.desktop");

  id = identityFromWindows({&popup, &classed}, t);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bundleId, "org.example.Editor");

  WindowRecord unknown = window(5, 4);
  unknown.wmClass = "Xterm";
  id = identityFromWindows({&unknown}, t);
  ASSERT_TRUE(id);  // an application, but one without an identifier
  EXPECT_EQ(id->bundleId, "");

  EXPECT_FALSE(identityFromWindows({&popup}, t));
  EXPECT_FALSE(identityFromWindows({}, t));
}

TEST(AppsIdentify, GtkIdWithoutEntryIsStillTheIdentifier) {
  auto t = entries();
  WindowRecord gtk = window(5, 3);
  gtk.gtkApplicationId = "org.example.Unlisted";
  auto id = identityFromWindows({&gtk}, t);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bundleId, "org.example.Unlisted");
  EXPECT_FALSE(id->bundlePath);
}

TEST(AppsState, ActiveHiddenRegular) {
  WindowRecord a = window(10, 100);
  WindowRecord b = window(10, 101);
  WindowRecord other = window(11, 200);
  std::vector<WindowRecord> list{a, b, other};
  EXPECT_TRUE(activeIn(10, list, 101u));
  EXPECT_FALSE(activeIn(10, list, 200u));
  EXPECT_FALSE(activeIn(10, list, std::nullopt));

  EXPECT_FALSE(hiddenIn(10, list));
  list[0].iconic = true;
  EXPECT_FALSE(hiddenIn(10, list));
  list[1].iconic = true;
  EXPECT_TRUE(hiddenIn(10, list));
  EXPECT_FALSE(hiddenIn(12, list));  // no windows is not hidden

  EXPECT_TRUE(regularIn(10, list));
  list[0].states = {"_NET_WM_STATE_SKIP_TASKBAR"};
  list[1].windowTypes = {"_NET_WM_WINDOW_TYPE_UTILITY"};
  EXPECT_FALSE(regularIn(10, list));
  list[1].windowTypes = {"_NET_WM_WINDOW_TYPE_NORMAL"};
  EXPECT_TRUE(regularIn(10, list));
}

TEST(DesktopIds, FromPathBelowDataDirsOrByFileName) {
  std::vector<std::string> dirs{"/home/u/.local/share/applications", "/usr/share/applications/"};
  EXPECT_EQ(desktop::idFromPath("/usr/share/applications/org.gnome.TextEditor.desktop", dirs),
            "org.gnome.TextEditor");
  EXPECT_EQ(desktop::idFromPath("/home/u/.local/share/applications/kde/konsole.desktop", dirs), "kde-konsole");
  EXPECT_EQ(desktop::idFromPath("/opt/app/share/thing.desktop", dirs), "thing");
  EXPECT_EQ(desktop::idFromPath("/usr/share/applications-extra/x.desktop", dirs), "x");
}

}  // namespace
}  // namespace quorl::platform

namespace quorl::platform {
namespace {

TEST(DesktopEntries, ReadThroughGio) {
  char dir[] = "/tmp/quorl-entries-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string path = std::string(dir) + "/org.example.Reader.desktop";
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  fputs("[Desktop Entry]\nType=Application\nName=Reader\nName[xx]=Lecteur\nExec=true\nStartupWMClass=ReaderWin\n", f);
  fclose(f);
  auto entry = desktop::byPath(path);
  unlink(path.c_str());
  rmdir(dir);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->id, "org.example.Reader");
  EXPECT_EQ(entry->path, path);
  EXPECT_EQ(entry->name, "Reader");
  EXPECT_EQ(entry->startupWmClass, "ReaderWin");
  EXPECT_FALSE(desktop::byPath(path));
}

}  // namespace
}  // namespace quorl::platform
