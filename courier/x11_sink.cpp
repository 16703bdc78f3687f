#include "courier/x11_sink.hpp"

#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "courier/keys.hpp"
#include "platform/agent_input.hpp"
#include "platform/x11/connection.hpp"
#include "shared/spi.hpp"

namespace quorl::courier {

uint8_t xButtonFor(int buttonNumber) { return buttonNumber == 1 ? 3 : 1; }

namespace {
int64_t clicksFrom(int64_t& remainder, int32_t amount, bool pixel) {
  if (!pixel) {
    remainder = 0;
    return amount;
  }
  if ((remainder > 0 && amount < 0) || (remainder < 0 && amount > 0)) remainder = 0;
  remainder += amount;
  int64_t clicks = remainder / WheelScaler::kPixelsPerClick;  // toward zero
  remainder -= clicks * WheelScaler::kPixelsPerClick;
  return clicks;
}
}  // namespace

WheelClicks WheelScaler::convert(int64_t window, bool pixel, int32_t dy, int32_t dx) {
  if (window != window_) {
    window_ = window;
    remainderY_ = remainderX_ = 0;
  }
  WheelClicks out;
  out.vertical = static_cast<int>(clicksFrom(remainderY_, dy, pixel));
  out.horizontal = static_cast<int>(clicksFrom(remainderX_, dx, pixel));
  return out;
}

namespace {

constexpr uint32_t kPointerMasks = XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_MOTION |
                                   XCB_EVENT_MASK_BUTTON_1_MOTION | XCB_EVENT_MASK_BUTTON_3_MOTION;
constexpr uint32_t kButtonMasks = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;
constexpr uint32_t kKeyMasks = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;

uint16_t buttonStateBit(uint8_t xbutton) {
  return xbutton >= 1 && xbutton <= 5 ? static_cast<uint16_t>(XCB_BUTTON_MASK_1 << (xbutton - 1)) : 0;
}

class X11Sink final : public EventSink {
 public:
  explicit X11Sink(const char* display) {
    conn_ = x11::Connection::open(display);
    if (!conn_) return;
    stampsFields_ = SPI::hasSetField();
    stampsWindowLocation_ = SPI::hasSetWindowLocation();
    if (SPI::hasSkyPost()) agent_ = platform::AgentInput::create(display);
  }

  void post(pid_t pid, const SynthEvent& e) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!conn_ || conn_->broken()) return;
    switch (e.kind) {
      case SynthEvent::Kind::mouse: mouse(e); break;
      case SynthEvent::Kind::wheel: wheel(e); break;
      case SynthEvent::Kind::key: key(pid, e); break;
    }
    xcb_flush(conn_->xcb());
    // Errors of requests sent without a reply (a window that vanished) and the
    // mapping notices every client gets end up here; nothing else reads them.
    while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_->xcb())) free(ev);
  }

  std::string route() const override { return agent_ ? "sky" : "cg"; }
  bool stampsFields() const override { return stampsFields_; }
  bool stampsWindowLocation() const override { return stampsWindowLocation_; }

  void setKeyWindow(pid_t pid, int64_t window) override {
    std::lock_guard<std::mutex> guard(lock_);
    keyWindows_[pid] = static_cast<xcb_window_t>(window);
  }

 private:
  // Where a pointer event at a root point for a target window goes.
  struct Aim {
    bool covered = false;           // another top-level window takes input there
    xcb_window_t deepest = 0;       // the target's deepest window containing the point
    xcb_window_t listener = 0;      // the window whose core selection the event reaches (0: none)
    uint32_t listenerMask = 0;      // the selected masks of `listener` among those asked for
  };

  xcb_connection_t* c() { return conn_->xcb(); }
  xcb_window_t root() { return conn_->root(); }

  std::optional<xcb_window_t> parentOf(xcb_window_t w) {
    auto* r = xcb_query_tree_reply(c(), xcb_query_tree(c(), w), nullptr);
    if (!r) return std::nullopt;
    xcb_window_t parent = r->parent;
    free(r);
    return parent;
  }

  // The root's child that holds the window (its window-manager frame, or itself).
  std::optional<xcb_window_t> topLevelOf(xcb_window_t w) {
    for (int depth = 0; depth < 64; ++depth) {
      auto parent = parentOf(w);
      if (!parent) return std::nullopt;
      if (*parent == root() || *parent == XCB_NONE) return w;
      w = *parent;
    }
    return std::nullopt;
  }

  // Translates a root point into a window; the child of `w` containing it too.
  std::optional<std::pair<xcb_window_t, std::pair<int, int>>> translate(xcb_window_t w, int x, int y) {
    auto* r = xcb_translate_coordinates_reply(
        c(), xcb_translate_coordinates(c(), root(), w, static_cast<int16_t>(x), static_cast<int16_t>(y)), nullptr);
    if (!r) return std::nullopt;
    std::pair<xcb_window_t, std::pair<int, int>> out{r->child, {r->dst_x, r->dst_y}};
    free(r);
    return out;
  }

  std::optional<Aim> aim(xcb_window_t target, int x, int y, uint32_t masks) {
    auto top = topLevelOf(target);
    if (!top) return std::nullopt;  // the window is gone
    Aim a;
    auto atRoot = translate(root(), x, y);
    a.covered = !atRoot || atRoot->first != *top;
    a.deepest = target;
    for (int depth = 0; depth < 64; ++depth) {
      auto t = translate(a.deepest, x, y);
      if (!t || t->first == XCB_NONE) break;
      a.deepest = t->first;
    }
    // Core selections from the deepest window up to the target, as propagation
    // would find them.
    for (xcb_window_t w = a.deepest;;) {
      auto* attrs = xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), w), nullptr);
      if (!attrs) break;
      uint32_t selected = attrs->all_event_masks & masks;
      uint32_t blocked = attrs->do_not_propagate_mask & masks;
      free(attrs);
      if (selected) {
        a.listener = w;
        a.listenerMask = selected;
        break;
      }
      if (blocked || w == target) break;
      auto parent = parentOf(w);
      if (!parent || *parent == root()) break;
      w = *parent;
    }
    return a;
  }

  void sendPointer(uint8_t responseType, uint8_t detail, const Aim& a, xcb_window_t target, int x, int y,
                   uint16_t state) {
    xcb_window_t to = a.listener ? a.listener : target;
    auto t = translate(to, x, y);
    if (!t) return;
    xcb_button_press_event_t ev{};  // same layout as release and motion events
    ev.response_type = responseType;
    ev.detail = detail;
    ev.time = XCB_CURRENT_TIME;
    ev.root = root();
    ev.event = to;
    ev.child = t->first;
    ev.root_x = static_cast<int16_t>(x);
    ev.root_y = static_cast<int16_t>(y);
    ev.event_x = static_cast<int16_t>(t->second.first);
    ev.event_y = static_cast<int16_t>(t->second.second);
    ev.state = state;
    ev.same_screen = 1;
    char buffer[32] = {};
    std::memcpy(buffer, &ev, sizeof ev);
    xcb_send_event(c(), 0, to, a.listener ? a.listenerMask : 0, buffer);
  }

  void mouse(const SynthEvent& e) {
    auto target = static_cast<xcb_window_t>(e.window);
    int x = static_cast<int>(std::lround(e.at.x)), y = static_cast<int>(std::lround(e.at.y));
    bool press = e.type == 1 || e.type == 3;
    bool release = e.type == 2 || e.type == 4;
    uint8_t xb = xButtonFor(e.button);
    auto a = aim(target, x, y, press || release ? kButtonMasks : kPointerMasks);
    if (!a) return;
    if (agent_ && !a->covered && !a->listener) {
      agent_->moveTo(x, y);
      if (press) agent_->button(xb, true);
      if (release) agent_->button(xb, false);
    } else if (press) {
      sendPointer(XCB_BUTTON_PRESS, xb, *a, target, x, y, buttonState_);
    } else if (release) {
      sendPointer(XCB_BUTTON_RELEASE, xb, *a, target, x, y, buttonState_);
    } else {
      sendPointer(XCB_MOTION_NOTIFY, 0, *a, target, x, y, buttonState_);
    }
    if (press) buttonState_ |= buttonStateBit(xb);
    if (release) buttonState_ &= static_cast<uint16_t>(~buttonStateBit(xb));
  }

  void wheel(const SynthEvent& e) {
    auto target = static_cast<xcb_window_t>(e.window);
    int x = static_cast<int>(std::lround(e.at.x)), y = static_cast<int>(std::lround(e.at.y));
    WheelClicks clicks = wheel_.convert(e.window, e.pixel, e.dy, e.dx);
    if (!clicks.vertical && !clicks.horizontal) return;
    auto a = aim(target, x, y, kButtonMasks);
    if (!a) return;
    bool device = agent_ && !a->covered && !a->listener;
    if (device) agent_->moveTo(x, y);
    auto turn = [&](uint8_t xb, int n) {
      for (int i = 0; i < n; ++i) {
        if (device) {
          agent_->button(xb, true);
          agent_->button(xb, false);
        } else {
          sendPointer(XCB_BUTTON_PRESS, xb, *a, target, x, y, buttonState_);
          sendPointer(XCB_BUTTON_RELEASE, xb, *a, target, x, y,
                      static_cast<uint16_t>(buttonState_ | buttonStateBit(xb)));
        }
      }
    };
    turn(clicks.vertical > 0 ? 4 : 5, std::abs(clicks.vertical));
    turn(clicks.horizontal > 0 ? 6 : 7, std::abs(clicks.horizontal));
  }

  // The window keyboard events of a process go to: the one the dispatcher named,
  // else the process's window holding the input focus, else its first managed window.
  xcb_window_t keyWindowFor(pid_t pid) {
    if (auto it = keyWindows_.find(pid); it != keyWindows_.end() && it->second) return it->second;
    auto* f = xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr);
    if (f) {
      xcb_window_t focus = f->focus;
      free(f);
      if (focus > XCB_INPUT_FOCUS_POINTER_ROOT) {
        auto owner = x11::windowPid(*conn_, focus);
        if (owner && *owner == pid) return focus;
      }
    }
    auto clients = x11::property32(*conn_, root(), conn_->atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    if (clients) {
      for (uint32_t w : *clients) {
        auto owner = x11::windowPid(*conn_, w);
        if (owner && *owner == pid) return w;
      }
    }
    return XCB_NONE;
  }

  bool coreKeyListener(xcb_window_t w) {
    auto* attrs = xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), w), nullptr);
    if (!attrs) return false;
    bool listens = (attrs->all_event_masks & kKeyMasks) != 0;
    free(attrs);
    return listens;
  }

  // Makes the window the agent keyboard's focus.  The agent keyboard keeps the
  // focus mode a new master starts with, PointerRoot: its key events go to the
  // window under the agent pointer, so the pointer is parked on a visible point
  // of the window first (where it already is when that point is the window's).
  // Focus then follows the agent pointer with events of detail NotifyPointer,
  // which window managers do not take for activation; an explicit focus change
  // of the second keyboard would be (openbox treats the frame's virtual
  // FocusIn/FocusOut as the client gaining or losing the focus).
  bool focusAgentKeyboard(xcb_window_t w) {
    auto top = topLevelOf(w);
    auto* g = xcb_get_geometry_reply(c(), xcb_get_geometry(c(), w), nullptr);
    if (!top || !g) {
      free(g);
      return false;
    }
    int width = g->width, height = g->height;
    free(g);
    auto visibleInside = [&](int x, int y) {
      auto atRoot = translate(root(), x, y);
      auto rel = translate(w, x, y);
      return atRoot && atRoot->first == *top && rel && rel->second.first >= 0 && rel->second.second >= 0 &&
             rel->second.first < width && rel->second.second < height;
    };
    if (auto p = agent_->pointerPosition()) {
      if (visibleInside(static_cast<int>(p->x), static_cast<int>(p->y))) return true;
    }
    auto origin = translate(w, 0, 0);  // the root origin, in the window's coordinates
    if (!origin) return false;
    int ox = -origin->second.first, oy = -origin->second.second;
    // The centre, else the first visible point of a coarse grid over the window.
    for (int step : {2, 4, 8}) {
      for (int i = 1; i < step; ++i) {
        for (int j = 1; j < step; ++j) {
          int x = ox + width * i / step, y = oy + height * j / step;
          if (!visibleInside(x, y)) continue;
          agent_->moveTo(x, y);
          agent_->sync();
          return true;
        }
      }
    }
    return false;
  }

  // The keycode and level of a keysym in the core map (route "cg": no binding of
  // spare keycodes there).
  std::optional<platform::KeyStroke> coreStroke(uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(c());
    uint8_t lo = setup->min_keycode, hi = setup->max_keycode;
    auto* r = xcb_get_keyboard_mapping_reply(
        c(), xcb_get_keyboard_mapping(c(), lo, static_cast<uint8_t>(hi - lo + 1)), nullptr);
    if (!r) return std::nullopt;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r);
    int per = r->keysyms_per_keycode;
    int n = xcb_get_keyboard_mapping_keysyms_length(r);
    std::optional<platform::KeyStroke> out;
    for (int level = 0; level < 2 && level < per && !out; ++level) {
      for (int i = 0; i * per + level < n; ++i) {
        if (syms[i * per + level] == keysym) {
          out = platform::KeyStroke{static_cast<uint8_t>(lo + i), level == 1};
          break;
        }
      }
    }
    free(r);
    return out;
  }

  std::optional<platform::KeyStroke> strokeFor(uint32_t keysym) {
    return agent_ ? agent_->strokeFor(keysym) : coreStroke(keysym);
  }

  void sendKey(xcb_window_t w, uint8_t keycode, bool press, uint16_t state) {
    xcb_key_press_event_t ev{};
    ev.response_type = press ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
    ev.detail = keycode;
    ev.time = XCB_CURRENT_TIME;
    ev.root = root();
    ev.event = w;
    ev.child = XCB_NONE;
    ev.root_x = ev.root_y = 1;
    ev.event_x = ev.event_y = 1;
    ev.state = state;
    ev.same_screen = 1;
    char buffer[32] = {};
    std::memcpy(buffer, &ev, sizeof ev);
    xcb_send_event(c(), 0, w, press ? XCB_EVENT_MASK_KEY_PRESS : XCB_EVENT_MASK_KEY_RELEASE, buffer);
  }

  // One keycode press or release on the path chosen for this key event.
  void stroke(bool device, xcb_window_t w, uint8_t keycode, bool press, uint16_t state) {
    if (device) {
      agent_->key(keycode, press);
      if (press) downKeys_.insert(keycode);
      else downKeys_.erase(keycode);
    } else {
      sendKey(w, keycode, press, state);
    }
  }

  void key(pid_t pid, const SynthEvent& e) {
    xcb_window_t w = keyWindowFor(pid);
    if (!w) return;
    bool device = agent_ && !coreKeyListener(w) && focusAgentKeyboard(w);
    uint16_t state = Keys::xModifierMask(e.flags);
    if (e.unicode) {
      // The text is typed on the key down, one key per code point; the key up
      // of a text event has nothing left to release.
      if (!e.down) return;
      const std::u16string& units = *e.unicode;
      for (size_t i = 0; i < units.size(); ++i) {
        char32_t cp = units[i];
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < units.size() && units[i + 1] >= 0xdc00 && units[i + 1] <= 0xdfff) {
          cp = 0x10000 + ((cp - 0xd800) << 10) + (units[i + 1] - 0xdc00);
          ++i;
        }
        auto s = strokeFor(platform::keysymForCodePoint(cp));
        if (!s) continue;
        uint8_t shiftCode = s->shift ? modifierKeycode(0xffe1) : 0;
        uint16_t keyState = static_cast<uint16_t>(state | (s->shift ? XCB_MOD_MASK_SHIFT : 0));
        if (shiftCode) stroke(device, w, shiftCode, true, state);
        stroke(device, w, s->keycode, true, keyState);
        stroke(device, w, s->keycode, false, keyState);
        if (shiftCode) stroke(device, w, shiftCode, false, keyState);
      }
      return;
    }
    uint32_t keysym = Keys::keysymForCode(e.code);
    if (!keysym) return;
    auto s = strokeFor(keysym);
    if (!s) return;
    if (!device) {
      sendKey(w, s->keycode, e.down, state);
      return;
    }
    // The agent keyboard's own modifier state comes from the modifier keys the
    // drivers press; a flag whose key is not down is pressed around the key down.
    std::vector<uint8_t> implied;
    if (e.down && !isModifierCode(e.code)) {
      for (const auto& [name, m] : Keys::modifiers()) {
        if (!(e.flags & m.flag)) continue;
        uint8_t kc = modifierKeycode(Keys::keysymForCode(m.code));
        if (kc && !downKeys_.count(kc)) implied.push_back(kc);
      }
    }
    for (uint8_t kc : implied) stroke(true, w, kc, true, 0);
    stroke(true, w, s->keycode, e.down, state);
    for (auto it = implied.rbegin(); it != implied.rend(); ++it) stroke(true, w, *it, false, 0);
  }

  static bool isModifierCode(uint16_t code) {
    for (const auto& [name, m] : Keys::modifiers()) {
      if (m.code == code) return true;
    }
    return false;
  }

  uint8_t modifierKeycode(uint32_t keysym) {
    if (agent_) return agent_->keycodeFor(keysym);
    auto s = coreStroke(keysym);
    return s ? s->keycode : 0;
  }

  std::mutex lock_;
  std::shared_ptr<x11::Connection> conn_;
  std::unique_ptr<platform::AgentInput> agent_;
  bool stampsFields_ = false;
  bool stampsWindowLocation_ = false;
  std::map<pid_t, xcb_window_t> keyWindows_;
  WheelScaler wheel_;
  std::set<uint8_t> downKeys_;
  uint16_t buttonState_ = 0;
};

}  // namespace

std::shared_ptr<EventSink> makeX11Sink(const char* display) { return std::make_shared<X11Sink>(display); }

}  // namespace quorl::courier
