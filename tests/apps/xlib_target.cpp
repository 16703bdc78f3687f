// xlib-target: a plain Xlib window that logs, as one JSON line each, every input
// event it receives.  Integration tests drive it (xdotool, input-courier) and read
// what it saw.
//
//   xlib-target --title T --geometry WxH+X+Y [--override-redirect] [--opacity F]
//               [--children N] [--no-focus] [--type TYPE] [--above] [--skip-taskbar]
//               [--class NAME] [--xi2]
//
// With --xi2 the window selects XInput2 events instead of core ones (the server
// then sends it no core input events): the same lines, plus "xi2":true and the
// "deviceid" (master) and "sourceid" (slave) of the device that produced each.
//
// First line: {"event":"ready","window":ID,"pid":P,"x":..,"y":..,"width":..,
// "height":..,"windows":[all ids],"focused":bool} once every window is mapped and
// exposed (and, under a window manager, focused unless --no-focus).  Then one line
// per X event.  Lines on standard input are commands: "title TEXT", "move X Y",
// "resize W H", "map", "unmap", "raise", "activate", "opacity F", "quit"; each is
// answered with {"event":"done","cmd":NAME} once the server has it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/apps/json_line.hpp"

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using nlohmann::json;

struct Options {
  std::string title = "xlib-target";
  int x = 100, y = 100, width = 400, height = 300;
  bool overrideRedirect = false;
  double opacity = -1;
  int children = 0;
  bool noFocus = false;
  std::string type;
  bool above = false;
  bool skipTaskbar = false;
  bool xi2 = false;
  std::string wmClass = "xlib-target";
};

void emit(const json& j) { quorl::apps::emitLine(j); }

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "xlib-target: %s\n", why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--title") {
      o.title = value();
    } else if (a == "--geometry") {
      std::string g = value();
      if (!quorl::apps::parseGeometry(g, o.width, o.height, o.x, o.y)) usage("geometry must be WxH+X+Y");
    } else if (a == "--xi2") {
      o.xi2 = true;
    } else if (a == "--override-redirect") {
      o.overrideRedirect = true;
    } else if (a == "--opacity") {
      o.opacity = std::atof(value().c_str());
    } else if (a == "--children") {
      o.children = std::atoi(value().c_str());
    } else if (a == "--no-focus") {
      o.noFocus = true;
    } else if (a == "--type") {
      o.type = value();
    } else if (a == "--above") {
      o.above = true;
    } else if (a == "--skip-taskbar") {
      o.skipTaskbar = true;
    } else if (a == "--class") {
      o.wmClass = value();
    } else {
      usage(("unknown argument " + a).c_str());
    }
  }
  return o;
}

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  char c = 1;
  [[maybe_unused]] ssize_t w = ::write(signalPipe[1], &c, 1);
}

std::string latin1ToUtf8(const char* s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const char* detailName(int d) {
  static const char* names[] = {"NotifyAncestor", "NotifyVirtual",          "NotifyInferior",
                                "NotifyNonlinear", "NotifyNonlinearVirtual", "NotifyPointer",
                                "NotifyPointerRoot", "NotifyDetailNone"};
  return d >= 0 && d < 8 ? names[d] : "?";
}

const char* modeName(int m) {
  static const char* names[] = {"NotifyNormal",      "NotifyGrab",        "NotifyUngrab",
                                "NotifyWhileGrabbed", "NotifyPassiveGrab", "NotifyPassiveUngrab"};
  return m >= 0 && m < 6 ? names[m] : "?";
}

class Target {
 public:
  Target(Display* dpy, Options o) : dpy_(dpy), o_(std::move(o)) {
    root_ = DefaultRootWindow(dpy_);
    Atom check = atom("_NET_SUPPORTING_WM_CHECK");
    hasWm_ = windowProperty(root_, check) != 0;
    openInputMethod();
    if (o_.xi2) openXInput2();
    // Extra windows first, so the main window is the last one mapped (and focused).
    for (int i = 1; i <= o_.children; ++i) {
      windows_.push_back(create(o_.title + " #" + std::to_string(i), o_.x + 30 * i, o_.y + 30 * i));
    }
    main_ = create(o_.title, o_.x, o_.y);
    windows_.push_back(main_);
    for (Window w : windows_) XMapWindow(dpy_, w);
    XFlush(dpy_);
  }

  ~Target() {
    for (auto& [w, ic] : ics_) XDestroyIC(ic);
    if (im_) XCloseIM(im_);
    for (Window w : windows_) XDestroyWindow(dpy_, w);
    XCloseDisplay(dpy_);
  }

  int run() {
    int xfd = ConnectionNumber(dpy_);
    auto mappedAt = std::chrono::steady_clock::time_point{};
    std::string stdinBuffer;
    bool stdinOpen = true;
    while (true) {
      while (XPending(dpy_)) {
        XEvent ev;
        XNextEvent(dpy_, &ev);
        if (!handle(ev)) return 0;
      }
      if (!ready_ && allShown()) {
        if (mappedAt == std::chrono::steady_clock::time_point{}) mappedAt = std::chrono::steady_clock::now();
        bool wantFocus = hasWm_ && !o_.overrideRedirect && !o_.noFocus;
        // A window manager may refuse focus; do not wait for it for ever.
        if (!wantFocus || focused_ || std::chrono::steady_clock::now() - mappedAt > std::chrono::seconds(2)) {
          announceReady();
        }
      }
      pollfd fds[3] = {{xfd, POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
      int timeout = (!ready_ && mappedAt != std::chrono::steady_clock::time_point{}) ? 20 : -1;
      int n = ::poll(fds, 3, timeout);
      if (n < 0) continue;
      if (fds[1].revents) {
        emit({{"event", "closed"}, {"reason", "signal"}});
        return 0;
      }
      if (fds[2].revents) {
        char buf[4096];
        ssize_t r = ::read(0, buf, sizeof buf);
        if (r <= 0) {
          stdinOpen = false;
        } else {
          stdinBuffer.append(buf, static_cast<size_t>(r));
          size_t nl;
          while ((nl = stdinBuffer.find('\n')) != std::string::npos) {
            std::string line = stdinBuffer.substr(0, nl);
            stdinBuffer.erase(0, nl + 1);
            if (!command(line)) return 0;
          }
        }
      }
    }
  }

 private:
  Atom atom(const char* name) { return XInternAtom(dpy_, name, False); }

  Window windowProperty(Window w, Atom prop) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window result = 0;
    if (XGetWindowProperty(dpy_, w, prop, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
            Success &&
        data && count == 1 && format == 32) {
      result = *reinterpret_cast<Window*>(data);
    }
    if (data) XFree(data);
    return result;
  }

  void openXInput2() {
    int event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(dpy_, "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(dpy_, &major, &minor) != Success) {
      std::fprintf(stderr, "xlib-target: no XInput 2.2, logging core events\n");
      xiOpcode_ = 0;
    }
  }

  // An XInput2 event as the line its core counterpart would give, plus the devices.
  void handleXInput2(XGenericEventCookie& cookie) {
    static const char* names[] = {nullptr,       nullptr,       "KeyPress",    "KeyRelease", "ButtonPress",
                                  "ButtonRelease", "MotionNotify", "EnterNotify", "LeaveNotify", "FocusIn",
                                  "FocusOut"};
    if (cookie.evtype < XI_KeyPress || cookie.evtype > XI_FocusOut) return;
    const char* name = names[cookie.evtype];
    json j;
    if (cookie.evtype >= XI_Enter) {
      auto* c = static_cast<XIEnterEvent*>(cookie.data);
      j = xiFields(name, *c, c->mods.effective, c->buttons);
      j.update({{"mode", modeName(c->mode)}, {"detail", detailName(c->detail)}, {"focus", c->focus != 0}});
      if (cookie.evtype == XI_FocusIn || cookie.evtype == XI_FocusOut) focusChanged(c->event, cookie.evtype == XI_FocusIn, c->detail);
    } else {
      auto* d = static_cast<XIDeviceEvent*>(cookie.data);
      if (cookie.evtype == XI_KeyPress || cookie.evtype == XI_KeyRelease) {
        // Through the input context like a core key event, for the text.
        XKeyEvent k{};
        k.type = cookie.evtype == XI_KeyPress ? KeyPress : KeyRelease;
        k.serial = d->serial;
        k.send_event = d->send_event;
        k.display = dpy_;
        k.window = d->event;
        k.root = d->root;
        k.subwindow = d->child;
        k.time = d->time;
        k.x = static_cast<int>(d->event_x);
        k.y = static_cast<int>(d->event_y);
        k.x_root = static_cast<int>(d->root_x);
        k.y_root = static_cast<int>(d->root_y);
        k.state = coreState(d->mods.effective, d->buttons) | ((static_cast<unsigned>(d->group.effective) & 3u) << 13);
        k.keycode = static_cast<unsigned>(d->detail);
        k.same_screen = True;
        j = keyEvent(k, k.type == KeyPress);
      } else {
        j = xiFields(name, *d, d->mods.effective, d->buttons);
        if (cookie.evtype != XI_Motion) j["button"] = d->detail;
      }
    }
    j["xi2"] = true;
    if (cookie.evtype < XI_Enter) {
      auto* d = static_cast<XIDeviceEvent*>(cookie.data);
      j["deviceid"] = d->deviceid;
      j["sourceid"] = d->sourceid;
    } else {
      auto* c = static_cast<XIEnterEvent*>(cookie.data);
      j["deviceid"] = c->deviceid;
      j["sourceid"] = c->sourceid;
    }
    emit(j);
  }

  static unsigned coreState(int mods, const XIButtonState& buttons) {
    unsigned state = static_cast<unsigned>(mods) & 0xff;
    for (int b = 1; b <= 5; ++b) {
      if (b < buttons.mask_len * 8 && XIMaskIsSet(buttons.mask, b)) state |= Button1Mask << (b - 1);
    }
    return state;
  }

  template <class E>
  static json xiFields(const char* name, const E& e, int mods, const XIButtonState& buttons) {
    return {{"event", name},
            {"window", e.event},
            {"send_event", e.send_event != 0},
            {"state", coreState(mods, buttons)},
            {"time", e.time},
            {"x", static_cast<int>(e.event_x)},
            {"y", static_cast<int>(e.event_y)},
            {"x_root", static_cast<int>(e.root_x)},
            {"y_root", static_cast<int>(e.root_y)}};
  }

  void focusChanged(Window w, bool in, int detail) {
    if (w == main_ && detail != NotifyPointer) focused_ = in;
    if (auto it = ics_.find(w); it != ics_.end()) {
      if (in) {
        XSetICFocus(it->second);
      } else {
        XUnsetICFocus(it->second);
      }
    }
  }

  void openInputMethod() {
    XSetLocaleModifiers("@im=none");
    im_ = XOpenIM(dpy_, nullptr, nullptr, nullptr);
  }

  Window create(const std::string& title, int x, int y) {
    XSetWindowAttributes attrs{};
    attrs.background_pixel = 0xf0f0e8;
    attrs.border_pixel = 0;
    attrs.override_redirect = o_.overrideRedirect ? True : False;
    attrs.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | EnterWindowMask |
                       LeaveWindowMask | PointerMotionMask | ExposureMask | StructureNotifyMask |
                       FocusChangeMask | VisibilityChangeMask;
    Window w = XCreateWindow(dpy_, root_, x, y, static_cast<unsigned>(o_.width),
                             static_cast<unsigned>(o_.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWBackPixel | CWBorderPixel | CWOverrideRedirect | CWEventMask, &attrs);

    XSizeHints* size = XAllocSizeHints();
    // Static gravity: the client window itself (not the frame) lands at x,y.
    size->flags = USPosition | USSize | PPosition | PSize | PWinGravity;
    size->win_gravity = StaticGravity;
    size->x = x;
    size->y = y;
    size->width = o_.width;
    size->height = o_.height;
    XWMHints* hints = XAllocWMHints();
    hints->flags = InputHint | StateHint;
    hints->input = o_.noFocus ? False : True;
    hints->initial_state = NormalState;
    XClassHint* cls = XAllocClassHint();
    std::string resName = o_.wmClass, resClass = o_.wmClass;
    cls->res_name = resName.data();
    cls->res_class = resClass.data();
    // WM_NAME, WM_ICON_NAME, WM_CLIENT_MACHINE, WM_NORMAL_HINTS, WM_HINTS, WM_CLASS.
    Xutf8SetWMProperties(dpy_, w, title.c_str(), title.c_str(), nullptr, 0, size, hints, cls);
    XFree(size);
    XFree(hints);
    XFree(cls);
    setTitle(w, title);

    long pid = static_cast<long>(::getpid());
    XChangeProperty(dpy_, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    Atom deleteWindow = atom("WM_DELETE_WINDOW");
    XSetWMProtocols(dpy_, w, &deleteWindow, 1);
    if (!o_.type.empty()) {
      std::string name = "_NET_WM_WINDOW_TYPE_";
      for (char c : o_.type) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      long t = static_cast<long>(atom(name.c_str()));
      XChangeProperty(dpy_, w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&t), 1);
    }
    std::vector<long> states;
    if (o_.above) states.push_back(static_cast<long>(atom("_NET_WM_STATE_ABOVE")));
    if (o_.skipTaskbar) states.push_back(static_cast<long>(atom("_NET_WM_STATE_SKIP_TASKBAR")));
    if (!states.empty()) {
      XChangeProperty(dpy_, w, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(states.data()), static_cast<int>(states.size()));
    }
    if (o_.opacity >= 0) setOpacity(w, o_.opacity);

    if (xiOpcode_) {
      unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {0};
      for (int e : {XI_KeyPress, XI_KeyRelease, XI_ButtonPress, XI_ButtonRelease, XI_Motion, XI_Enter, XI_Leave,
                    XI_FocusIn, XI_FocusOut}) {
        XISetMask(bits, e);
      }
      XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
      XISelectEvents(dpy_, w, &mask, 1);
    }
    if (im_) {
      XIC ic = XCreateIC(im_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, w,
                         XNFocusWindow, w, nullptr);
      if (ic) ics_[w] = ic;
    }
    return w;
  }

  void setTitle(Window w, const std::string& title) {
    XChangeProperty(dpy_, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    XTextProperty text{};
    char* list[] = {const_cast<char*>(title.c_str())};
    if (Xutf8TextListToTextProperty(dpy_, list, 1, XStdICCTextStyle, &text) >= Success) {
      XSetWMName(dpy_, w, &text);
      XFree(text.value);
    }
  }

  void setOpacity(Window w, double f) {
    if (f > 1) f = 1;
    if (f < 0) f = 0;
    unsigned long v = static_cast<unsigned long>(f * 0xffffffffUL);
    XChangeProperty(dpy_, w, atom("_NET_WM_WINDOW_OPACITY"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&v), 1);
  }

  bool allShown() const {
    for (Window w : windows_) {
      auto it = shown_.find(w);
      if (it == shown_.end() || it->second != 3) return false;
    }
    return true;
  }

  json rootBox(Window w) {
    Window child;
    int rx = 0, ry = 0;
    XTranslateCoordinates(dpy_, w, root_, 0, 0, &rx, &ry, &child);
    XWindowAttributes a{};
    XGetWindowAttributes(dpy_, w, &a);
    return {{"x", rx}, {"y", ry}, {"width", a.width}, {"height", a.height}};
  }

  void announceReady() {
    ready_ = true;
    json j = rootBox(main_);
    j["event"] = "ready";
    j["window"] = main_;
    j["pid"] = ::getpid();
    j["windows"] = windows_;
    j["focused"] = focused_;
    j["input_method"] = im_ != nullptr;
    emit(j);
  }

  static json base(const char* name, const XAnyEvent& e) {
    return {{"event", name}, {"window", e.window}, {"send_event", e.send_event != 0}};
  }

  // The fields every pointer and key event has: where (window-relative and
  // root), the modifier and button state, and the server time.
  template <class E>
  static json pointer(const char* name, const E& e) {
    return {{"event", name}, {"window", e.window}, {"send_event", e.send_event != 0},
            {"state", e.state},  {"time", e.time},     {"x", e.x},
            {"y", e.y},          {"x_root", e.x_root}, {"y_root", e.y_root}};
  }

  json keyEvent(XKeyEvent& k, bool press) {
    json j = pointer(press ? "KeyPress" : "KeyRelease", k);
    j["keycode"] = k.keycode;
    KeySym sym = NoSymbol;
    std::string text;
    auto it = ics_.find(k.window);
    if (press && it != ics_.end()) {
      std::vector<char> buf(64);
      Status status = 0;
      int n = Xutf8LookupString(it->second, &k, buf.data(), static_cast<int>(buf.size()), &sym, &status);
      if (status == XBufferOverflow) {
        buf.resize(static_cast<size_t>(n) + 1);
        n = Xutf8LookupString(it->second, &k, buf.data(), static_cast<int>(buf.size()), &sym, &status);
      }
      if (status == XLookupChars || status == XLookupBoth) text.assign(buf.data(), static_cast<size_t>(n));
      if (status != XLookupKeySym && status != XLookupBoth) sym = NoSymbol;
      if (sym == NoSymbol) sym = XLookupKeysym(&k, 0);
    } else {
      char buf[64];
      int n = XLookupString(&k, buf, sizeof buf, &sym, nullptr);
      if (press) text = latin1ToUtf8(buf, n);
    }
    const char* name = sym != NoSymbol ? XKeysymToString(sym) : nullptr;
    j["keysym"] = name ? name : "";
    if (press) j["text"] = text;
    return j;
  }

  // False when the program should end.
  bool handle(XEvent& ev) {
    if (debug_) std::fprintf(stderr, "xlib-target: event %d window 0x%lx\n", ev.type, ev.xany.window);
    bool filtered = XFilterEvent(&ev, None);
    switch (ev.type) {
      case KeyPress:
      case KeyRelease: {
        json j = keyEvent(ev.xkey, ev.type == KeyPress);
        if (filtered) j["filtered"] = true;
        emit(j);
        break;
      }
      case ButtonPress:
      case ButtonRelease: {
        auto& b = ev.xbutton;
        json j = pointer(ev.type == ButtonPress ? "ButtonPress" : "ButtonRelease", b);
        j.update({{"button", b.button}, {"subwindow", b.subwindow}});
        emit(j);
        break;
      }
      case MotionNotify:
        emit(pointer("MotionNotify", ev.xmotion));
        break;
      case EnterNotify:
      case LeaveNotify: {
        auto& c = ev.xcrossing;
        json j = pointer(ev.type == EnterNotify ? "EnterNotify" : "LeaveNotify", c);
        j.update({{"mode", modeName(c.mode)}, {"detail", detailName(c.detail)}, {"focus", c.focus != 0}});
        emit(j);
        break;
      }
      case FocusIn:
      case FocusOut: {
        auto& f = ev.xfocus;
        bool in = ev.type == FocusIn;
        focusChanged(f.window, in, f.detail);
        json j = base(in ? "FocusIn" : "FocusOut", ev.xany);
        j.update({{"mode", modeName(f.mode)}, {"detail", detailName(f.detail)}});
        emit(j);
        break;
      }
      case Expose:
        shown_[ev.xexpose.window] |= 2;
        break;
      case MapNotify:
        shown_[ev.xmap.window] |= 1;
        if (ready_) emit(base("MapNotify", ev.xany));
        break;
      case UnmapNotify:
        shown_[ev.xunmap.window] &= ~1;
        emit(base("UnmapNotify", ev.xany));
        break;
      case ConfigureNotify: {
        if (!ready_) break;
        json j = base("ConfigureNotify", ev.xany);
        j.update(rootBox(ev.xconfigure.window));
        emit(j);
        break;
      }
      case ReparentNotify:
        if (ready_) {
          json j = base("ReparentNotify", ev.xany);
          j["parent"] = ev.xreparent.parent;
          emit(j);
        }
        break;
      case VisibilityNotify: {
        static const char* states[] = {"Unobscured", "PartiallyObscured", "FullyObscured"};
        json j = base("VisibilityNotify", ev.xany);
        j["state"] = ev.xvisibility.state >= 0 && ev.xvisibility.state < 3 ? states[ev.xvisibility.state] : "?";
        if (ready_) emit(j);
        break;
      }
      case GenericEvent:
        if (xiOpcode_ && ev.xcookie.extension == xiOpcode_ && XGetEventData(dpy_, &ev.xcookie)) {
          handleXInput2(ev.xcookie);
          XFreeEventData(dpy_, &ev.xcookie);
        }
        break;
      case MappingNotify:
        // xdotool binds spare keycodes to type characters the layout lacks.
        XRefreshKeyboardMapping(&ev.xmapping);
        // Fetch the new map now: xdotool unbinds its scratch keycode right after
        // the key, and a lookup made later would find it empty.
        XKeysymToKeycode(dpy_, XStringToKeysym("a"));
        emit({{"event", "MappingNotify"}, {"request", ev.xmapping.request}});
        break;
      case ClientMessage:
        if (ev.xclient.message_type == atom("WM_PROTOCOLS") &&
            static_cast<Atom>(ev.xclient.data.l[0]) == atom("WM_DELETE_WINDOW")) {
          emit({{"event", "closed"}, {"reason", "delete"}, {"window", ev.xclient.window}});
          return false;
        }
        break;
      default:
        break;
    }
    return true;
  }

  bool command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd.empty()) return true;
    if (cmd == "quit") {
      emit({{"event", "closed"}, {"reason", "quit"}});
      return false;
    }
    if (cmd == "title") {
      std::string rest;
      std::getline(in, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      setTitle(main_, rest);
    } else if (cmd == "move") {
      int x = 0, y = 0;
      in >> x >> y;
      XMoveWindow(dpy_, main_, x, y);
    } else if (cmd == "resize") {
      unsigned w = 1, h = 1;
      in >> w >> h;
      XResizeWindow(dpy_, main_, w, h);
    } else if (cmd == "map") {
      XMapWindow(dpy_, main_);
    } else if (cmd == "unmap") {
      XUnmapWindow(dpy_, main_);
    } else if (cmd == "raise") {
      XRaiseWindow(dpy_, main_);
    } else if (cmd == "activate") {
      XEvent e{};
      e.xclient.type = ClientMessage;
      e.xclient.window = main_;
      e.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
      e.xclient.format = 32;
      e.xclient.data.l[0] = 2;  // from a pager: honoured at once
      e.xclient.data.l[1] = CurrentTime;
      XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    } else if (cmd == "opacity") {
      double f = 1;
      in >> f;
      setOpacity(main_, f);
    } else {
      emit({{"event", "error"}, {"cmd", cmd}, {"message", "unknown command"}});
      return true;
    }
    XSync(dpy_, False);
    emit({{"event", "done"}, {"cmd", cmd}});
    return true;
  }

  Display* dpy_;
  Options o_;
  Window root_ = 0;
  Window main_ = 0;
  std::vector<Window> windows_;
  std::map<Window, int> shown_;  // bit 1 mapped, bit 2 exposed
  std::map<Window, XIC> ics_;
  XIM im_ = nullptr;
  int xiOpcode_ = 0;
  bool hasWm_ = false;
  bool debug_ = std::getenv("XLIB_TARGET_DEBUG") != nullptr;
  bool focused_ = false;
  bool ready_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  std::setlocale(LC_ALL, "");
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
  if (!XSupportsLocale()) std::setlocale(LC_CTYPE, "C");

  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "xlib-target: cannot open display\n");
    return 1;
  }
  Target target(dpy, std::move(o));
  return target.run();
}
