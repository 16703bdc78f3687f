// gtk-target: a GTK 3 window with ordinary controls that logs, as one JSON line
// each, what the user (or the agent) does to them.  GTK reads input through
// XInput2 and ignores synthetic events, so it shows whether input travelled the
// server's real input path.
//
//   gtk-target --title T --geometry WxH+X+Y
//
// First line: {"event":"ready","window":ID,"pid":P,"x","y","width","height",
// "button":{x,y,width,height}, "entry", "check", "scale", "scrolled", "menubar",
// "menu_file", "menu_edit": the root rectangles of the controls, so tests can aim}.
// Then: {"event":"clicked","widget":"button"}, {"event":"text","widget":"entry",
// "text":...}, {"event":"toggled","widget":"check","active":B}, {"event":"value",
// "widget":"scale","value":V}, {"event":"menu","path":"Edit/Copy"},
// {"event":"scroll","widget":"scrolled","value":V}, and every key, button and
// wheel event GTK receives ("KeyPress", "KeyRelease", "ButtonPress",
// "ButtonRelease", "Scroll"), focused or not, with the names of the master
// "device" that delivered it and the "source_device" it came from.
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/apps/json_line.hpp"

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using nlohmann::json;
using quorl::apps::emitLine;

struct App {
  GtkWidget* window = nullptr;
  GtkWidget* button = nullptr;
  GtkWidget* entry = nullptr;
  GtkWidget* check = nullptr;
  GtkWidget* scale = nullptr;
  GtkWidget* scrolled = nullptr;
  GtkWidget* menubar = nullptr;
  GtkWidget* menuFile = nullptr;
  GtkWidget* menuEdit = nullptr;
  bool drawn = false;
  bool ready = false;
  bool quitting = false;
  gint64 drawnAt = 0;
};

App app;

unsigned long toplevelXid() {
  GdkWindow* w = gtk_widget_get_window(app.window);
  return w ? gdk_x11_window_get_xid(w) : 0;
}

json rootBox(GtkWidget* widget) {
  GtkAllocation a;
  gtk_widget_get_allocation(widget, &a);
  int wx = 0, wy = 0, ox = 0, oy = 0;
  gtk_widget_translate_coordinates(widget, app.window, 0, 0, &wx, &wy);
  gdk_window_get_origin(gtk_widget_get_window(app.window), &ox, &oy);
  return {{"x", ox + wx}, {"y", oy + wy}, {"width", a.width}, {"height", a.height}};
}

void quit(const char* reason) {
  if (app.quitting) return;
  app.quitting = true;
  emitLine({{"event", "closed"}, {"reason", reason}});
  gtk_main_quit();
}

void announceReady() {
  app.ready = true;
  json j = rootBox(app.window);
  j["event"] = "ready";
  j["window"] = toplevelXid();
  j["pid"] = ::getpid();
  j["focused"] = gtk_window_has_toplevel_focus(GTK_WINDOW(app.window)) != FALSE;
  j["button"] = rootBox(app.button);
  j["entry"] = rootBox(app.entry);
  j["check"] = rootBox(app.check);
  j["scale"] = rootBox(app.scale);
  j["scrolled"] = rootBox(app.scrolled);
  j["menubar"] = rootBox(app.menubar);
  j["menu_file"] = rootBox(app.menuFile);
  j["menu_edit"] = rootBox(app.menuEdit);
  emitLine(j);
}

// Ready once drawn and focused (or, when the window manager keeps the focus
// elsewhere, two seconds after the first draw).
gboolean checkReady(gpointer) {
  if (app.ready) return G_SOURCE_REMOVE;
  if (!app.drawn) return G_SOURCE_CONTINUE;
  bool focused = gtk_window_has_toplevel_focus(GTK_WINDOW(app.window)) != FALSE;
  bool wm = gdk_x11_screen_supports_net_wm_hint(gdk_screen_get_default(),
                                               gdk_atom_intern_static_string("_NET_ACTIVE_WINDOW")) != FALSE;
  if (focused || !wm || g_get_monotonic_time() - app.drawnAt > 2 * G_USEC_PER_SEC) {
    announceReady();
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

gboolean onDraw(GtkWidget*, cairo_t*, gpointer) {
  if (!app.drawn) {
    app.drawn = true;
    app.drawnAt = g_get_monotonic_time();
  }
  return FALSE;
}

json inputBase(const char* name, GdkEvent* e) {
  json j = {{"event", name}, {"window", toplevelXid()}, {"send_event", e->any.send_event != 0}};
  // Which master device delivered it, and which physical (slave) device it came from.
  if (GdkDevice* d = gdk_event_get_device(e)) j["device"] = gdk_device_get_name(d);
  if (GdkDevice* d = gdk_event_get_source_device(e)) j["source_device"] = gdk_device_get_name(d);
  return j;
}

// Every event passes here before GTK dispatches it.
void onEvent(GdkEvent* e, gpointer) {
  switch (e->type) {
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE: {
      auto& k = e->key;
      json j = inputBase(e->type == GDK_KEY_PRESS ? "KeyPress" : "KeyRelease", e);
      const char* name = gdk_keyval_name(k.keyval);
      j["keysym"] = name ? name : "";
      j["keycode"] = k.hardware_keycode;
      j["state"] = static_cast<unsigned>(k.state);
      j["time"] = k.time;
      if (e->type == GDK_KEY_PRESS) {
        gunichar u = gdk_keyval_to_unicode(k.keyval);
        char buf[8] = {0};
        if (u >= 0x20 && u != 0x7f) g_unichar_to_utf8(u, buf);
        j["text"] = buf;
      }
      emitLine(j);
      break;
    }
    case GDK_BUTTON_PRESS:
    case GDK_BUTTON_RELEASE: {
      auto& b = e->button;
      json j = inputBase(e->type == GDK_BUTTON_PRESS ? "ButtonPress" : "ButtonRelease", e);
      int ox = 0, oy = 0;
      if (GdkWindow* w = gtk_widget_get_window(app.window)) gdk_window_get_origin(w, &ox, &oy);
      j["button"] = b.button;
      j["x_root"] = static_cast<int>(b.x_root);
      j["y_root"] = static_cast<int>(b.y_root);
      j["x"] = static_cast<int>(b.x_root) - ox;
      j["y"] = static_cast<int>(b.y_root) - oy;
      j["state"] = static_cast<unsigned>(b.state);
      j["time"] = b.time;
      emitLine(j);
      break;
    }
    case GDK_SCROLL: {
      auto& s = e->scroll;
      static const char* dirs[] = {"up", "down", "left", "right", "smooth"};
      json j = inputBase("Scroll", e);
      j["direction"] = s.direction <= GDK_SCROLL_SMOOTH ? dirs[s.direction] : "?";
      j["delta_x"] = s.delta_x;
      j["delta_y"] = s.delta_y;
      j["x_root"] = static_cast<int>(s.x_root);
      j["y_root"] = static_cast<int>(s.y_root);
      j["state"] = static_cast<unsigned>(s.state);
      emitLine(j);
      break;
    }
    case GDK_FOCUS_CHANGE:
      if (e->any.window == gtk_widget_get_window(app.window)) {
        emitLine(inputBase(e->focus_change.in ? "FocusIn" : "FocusOut", e));
      }
      break;
    default:
      break;
  }
  gtk_main_do_event(e);
}

void setAccessibleName(GtkWidget* w, const char* name) {
  atk_object_set_name(gtk_widget_get_accessible(w), name);
}

GtkWidget* menuItem(GtkWidget* menu, const char* label, const char* path) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer p) {
                     const char* path = static_cast<const char*>(p);
                     emitLine({{"event", "menu"}, {"path", path}});
                     if (std::string(path) == "File/Quit") quit("menu");
                   }),
                   const_cast<char*>(path));
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  return item;
}

GtkWidget* topMenu(const char* label, std::initializer_list<std::pair<const char*, const char*>> items) {
  GtkWidget* top = gtk_menu_item_new_with_label(label);
  GtkWidget* menu = gtk_menu_new();
  for (auto [itemLabel, path] : items) menuItem(menu, itemLabel, path);
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), menu);
  gtk_menu_shell_append(GTK_MENU_SHELL(app.menubar), top);
  return top;
}

void build(const std::string& title, int width, int height, int x, int y) {
  app.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(app.window), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(app.window), width, height);
  gtk_window_set_gravity(GTK_WINDOW(app.window), GDK_GRAVITY_STATIC);
  gtk_window_move(GTK_WINDOW(app.window), x, y);
  GdkGeometry geometry{};
  gtk_window_set_geometry_hints(GTK_WINDOW(app.window), nullptr, &geometry,
                                static_cast<GdkWindowHints>(GDK_HINT_USER_POS | GDK_HINT_USER_SIZE));
  g_signal_connect(app.window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                     quit("delete");
                     return TRUE;
                   }),
                   nullptr);
  g_signal_connect(app.window, "draw", G_CALLBACK(onDraw), nullptr);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_container_add(GTK_CONTAINER(app.window), box);

  app.menubar = gtk_menu_bar_new();
  app.menuFile = topMenu("File", {{"Open", "File/Open"}, {"Quit", "File/Quit"}});
  app.menuEdit = topMenu("Edit", {{"Copy", "Edit/Copy"}});
  gtk_box_pack_start(GTK_BOX(box), app.menubar, FALSE, FALSE, 0);

  app.button = gtk_button_new_with_label("Press me");
  g_signal_connect(app.button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer) {
                     emitLine({{"event", "clicked"}, {"widget", "button"}});
                   }),
                   nullptr);
  gtk_box_pack_start(GTK_BOX(box), app.button, FALSE, FALSE, 0);

  app.entry = gtk_entry_new();
  setAccessibleName(app.entry, "Entry");
  g_signal_connect(app.entry, "changed", G_CALLBACK(+[](GtkEditable* e, gpointer) {
                     emitLine({{"event", "text"}, {"widget", "entry"}, {"text", gtk_entry_get_text(GTK_ENTRY(e))}});
                   }),
                   nullptr);
  gtk_box_pack_start(GTK_BOX(box), app.entry, FALSE, FALSE, 0);

  app.check = gtk_check_button_new_with_label("Check me");
  g_signal_connect(app.check, "toggled", G_CALLBACK(+[](GtkToggleButton* t, gpointer) {
                     emitLine({{"event", "toggled"},
                               {"widget", "check"},
                               {"active", gtk_toggle_button_get_active(t) != FALSE}});
                   }),
                   nullptr);
  gtk_box_pack_start(GTK_BOX(box), app.check, FALSE, FALSE, 0);

  app.scale = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, 100, 1);
  setAccessibleName(app.scale, "Level");
  g_signal_connect(app.scale, "value-changed", G_CALLBACK(+[](GtkRange* r, gpointer) {
                     emitLine({{"event", "value"}, {"widget", "scale"}, {"value", gtk_range_get_value(r)}});
                   }),
                   nullptr);
  gtk_box_pack_start(GTK_BOX(box), app.scale, FALSE, FALSE, 0);

  app.scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  setAccessibleName(app.scrolled, "Scroll area");
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(app.scrolled), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
  GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  for (int i = 1; i <= 200; ++i) {
    std::string text = "Line " + std::to_string(i);
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(lines), label, FALSE, FALSE, 0);
  }
  gtk_container_add(GTK_CONTAINER(app.scrolled), lines);
  GtkAdjustment* v = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(app.scrolled));
  g_signal_connect(v, "value-changed", G_CALLBACK(+[](GtkAdjustment* a, gpointer) {
                     emitLine({{"event", "scroll"}, {"widget", "scrolled"}, {"value", gtk_adjustment_get_value(a)}});
                   }),
                   nullptr);
  gtk_box_pack_start(GTK_BOX(box), app.scrolled, TRUE, TRUE, 0);

  gtk_widget_show_all(app.window);
}

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "gtk-target: %s\n", why);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string title = "gtk-target";
  int width = 400, height = 300, x = 100, y = 100;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) usage(("missing value for " + a).c_str());
    std::string v = argv[++i];
    if (a == "--title") {
      title = v;
    } else if (a == "--geometry") {
      if (!quorl::apps::parseGeometry(v, width, height, x, y)) usage("geometry must be WxH+X+Y");
    } else {
      usage(("unknown argument " + a).c_str());
    }
  }
  gdk_set_allowed_backends("x11");
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "gtk-target: cannot open display\n");
    return 1;
  }
  gdk_event_handler_set(onEvent, nullptr, nullptr);
  build(title, width, height, x, y);
  g_timeout_add(10, checkReady, nullptr);
  for (int sig : {SIGTERM, SIGINT}) {
    g_unix_signal_add(sig, +[](gpointer) -> gboolean {
      quit("signal");
      return G_SOURCE_REMOVE;
    }, nullptr);
  }
  gtk_main();
  // GTK keeps its caches until the process ends; leave without the exit-time
  // leak report of a sanitizer build, whoever started us and with what options.
  std::fflush(stdout);
  ::_exit(0);
}
