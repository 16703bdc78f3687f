#include "platform/x11/windows.hpp"

#include <xcb/res.h>
#include <xcb/screensaver.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "common/unicode.hpp"

namespace quorl::platform {
namespace {

// Owns one XCB reply (or error) and frees it.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Reads a reply, dropping (and freeing) any error: a window that vanished simply has no reply.
#define QUORL_REPLY(fn, conn, cookie)                                  \
  ([&] {                                                              \
    xcb_generic_error_t* err_ = nullptr;                              \
    auto* r_ = fn(conn, cookie, &err_);                               \
    std::free(err_);                                                  \
    return Reply<std::remove_pointer_t<decltype(r_)>>(r_);            \
  }())

// How deep below a root child the client window is looked for.  Window managers put
// the client one or two levels down (frame, sometimes a plate inside it).
constexpr int kSearchDepth = 3;

// WM_STATE's IconicState.
constexpr uint32_t kIconicState = 3;

// Longest property value read, in 32-bit units.
constexpr uint32_t kPropertyLongs = 4096;

// Every atom a snapshot reads, interned once per connection (the connection caches them).
enum AtomIndex : size_t {
  A_WM_STATE,
  A_NET_WM_NAME,
  A_UTF8_STRING,
  A_NET_WM_WINDOW_OPACITY,
  A_NET_WM_WINDOW_TYPE,
  A_NET_WM_STATE,
  A_NET_WM_DESKTOP,
  A_NET_WM_PID,
  A_GTK_APPLICATION_ID,
  A_NET_ACTIVE_WINDOW,
  A_NET_CLIENT_LIST,
  A_TYPE_DESKTOP,
  A_TYPE_DOCK,
  A_TYPE_TOOLBAR,
  A_TYPE_MENU,
  A_TYPE_UTILITY,
  A_TYPE_SPLASH,
  A_TYPE_DIALOG,
  A_TYPE_DROPDOWN_MENU,
  A_TYPE_POPUP_MENU,
  A_TYPE_TOOLTIP,
  A_TYPE_NOTIFICATION,
  A_TYPE_COMBO,
  A_TYPE_DND,
  A_TYPE_NORMAL,
  A_STATE_MODAL,
  A_STATE_STICKY,
  A_STATE_MAXIMIZED_VERT,
  A_STATE_MAXIMIZED_HORZ,
  A_STATE_SHADED,
  A_STATE_SKIP_TASKBAR,
  A_STATE_SKIP_PAGER,
  A_STATE_HIDDEN,
  A_STATE_FULLSCREEN,
  A_STATE_ABOVE,
  A_STATE_BELOW,
  A_STATE_DEMANDS_ATTENTION,
  A_STATE_FOCUSED,
  A_COUNT
};

const std::vector<std::string_view>& atomNames() {
  static const std::vector<std::string_view> names = {
      "WM_STATE",
      "_NET_WM_NAME",
      "UTF8_STRING",
      "_NET_WM_WINDOW_OPACITY",
      "_NET_WM_WINDOW_TYPE",
      "_NET_WM_STATE",
      "_NET_WM_DESKTOP",
      "_NET_WM_PID",
      "_GTK_APPLICATION_ID",
      "_NET_ACTIVE_WINDOW",
      "_NET_CLIENT_LIST",
      "_NET_WM_WINDOW_TYPE_DESKTOP",
      "_NET_WM_WINDOW_TYPE_DOCK",
      "_NET_WM_WINDOW_TYPE_TOOLBAR",
      "_NET_WM_WINDOW_TYPE_MENU",
      "_NET_WM_WINDOW_TYPE_UTILITY",
      "_NET_WM_WINDOW_TYPE_SPLASH",
      "_NET_WM_WINDOW_TYPE_DIALOG",
      "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
      "_NET_WM_WINDOW_TYPE_POPUP_MENU",
      "_NET_WM_WINDOW_TYPE_TOOLTIP",
      "_NET_WM_WINDOW_TYPE_NOTIFICATION",
      "_NET_WM_WINDOW_TYPE_COMBO",
      "_NET_WM_WINDOW_TYPE_DND",
      "_NET_WM_WINDOW_TYPE_NORMAL",
      "_NET_WM_STATE_MODAL",
      "_NET_WM_STATE_STICKY",
      "_NET_WM_STATE_MAXIMIZED_VERT",
      "_NET_WM_STATE_MAXIMIZED_HORZ",
      "_NET_WM_STATE_SHADED",
      "_NET_WM_STATE_SKIP_TASKBAR",
      "_NET_WM_STATE_SKIP_PAGER",
      "_NET_WM_STATE_HIDDEN",
      "_NET_WM_STATE_FULLSCREEN",
      "_NET_WM_STATE_ABOVE",
      "_NET_WM_STATE_BELOW",
      "_NET_WM_STATE_DEMANDS_ATTENTION",
      "_NET_WM_STATE_FOCUSED",
  };
  return names;
}

std::vector<uint32_t> values32(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 32) return {};
  auto* data = static_cast<const uint32_t*>(xcb_get_property_value(r));
  int n = xcb_get_property_value_length(r) / 4;
  return {data, data + n};
}

std::optional<std::string> bytes8(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 8) return std::nullopt;
  return std::string(static_cast<const char*>(xcb_get_property_value(r)),
                     static_cast<size_t>(xcb_get_property_value_length(r)));
}

std::string latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Property text as UTF-8: a STRING is Latin-1, anything else is taken as UTF-8 and repaired.
std::string propertyText(const xcb_get_property_reply_t* r) {
  auto raw = bytes8(r);
  if (!raw) return {};
  // Titles are not zero-terminated, but some clients include a trailing NUL.
  while (!raw->empty() && raw->back() == '\0') raw->pop_back();
  if (r->type == XCB_ATOM_STRING) return latin1ToUtf8(*raw);
  return unicode::repairUtf8(*raw);
}

// One root child on its way through the stages of a snapshot.
struct Entry {
  xcb_window_t frame = 0;
  xcb_window_t client = 0;
  bool overrideRedirect = false;
  bool frameViewable = false;
  bool clientViewable = false;
  std::optional<uint32_t> wmState;  // WM_STATE state of the client, when it has one
  std::vector<xcb_window_t> frontier;  // windows to search for WM_STATE next
  bool dead = false;
};

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop,
                                      xcb_atom_t type = XCB_ATOM_ANY, uint32_t longs = kPropertyLongs) {
  return xcb_get_property(c, 0, w, prop, type, 0, longs);
}

}  // namespace

int64_t layerFor(bool overrideRedirect, const std::vector<std::string>& types,
                 const std::vector<std::string>& states, bool screenSaver) {
  auto hasType = [&](std::string_view t) { return std::find(types.begin(), types.end(), t) != types.end(); };
  if (screenSaver) return layer::kScreenSaver;
  if (hasType("_NET_WM_WINDOW_TYPE_DESKTOP")) return layer::kDesktop;
  if (hasType("_NET_WM_WINDOW_TYPE_DOCK")) return layer::kDock;
  if (hasType("_NET_WM_WINDOW_TYPE_TOOLTIP") || hasType("_NET_WM_WINDOW_TYPE_NOTIFICATION"))
    return layer::kNotification;
  if (overrideRedirect) return layer::kPopup;
  if (std::find(states.begin(), states.end(), "_NET_WM_STATE_ABOVE") != states.end()) return layer::kAbove;
  return layer::kNormal;
}

std::vector<WindowRecord> snapshotWindows(x11::Connection& conn, const SnapshotOptions& options) {
  if (conn.broken()) return {};
  xcb_connection_t* c = conn.xcb();
  const std::vector<xcb_atom_t> atoms = conn.atoms(atomNames());
  if (atoms.size() != A_COUNT || atoms[A_WM_STATE] == XCB_ATOM_NONE) return {};

  // Stage 0: the stacking order, the window manager's client list (a hint where to
  // find each frame's client without searching the frame's decorations) and which
  // window is the screen saver's, if one shows.
  auto treeCookie = xcb_query_tree(c, conn.root());
  auto clientsCookie = askProperty(c, conn.root(), atoms[A_NET_CLIENT_LIST], XCB_ATOM_WINDOW, 1 << 16);
  const bool haveSaver = conn.hasExtension(&xcb_screensaver_id);
  xcb_screensaver_query_info_cookie_t saverCookie{};
  if (haveSaver) saverCookie = xcb_screensaver_query_info(c, conn.root());
  // The pid of every client at once (X-Resource), keyed by the client's id base.
  const bool haveRes = conn.hasExtension(&xcb_res_id);
  xcb_res_query_client_ids_cookie_t resCookie{};
  if (haveRes) {
    xcb_res_client_id_spec_t all{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    resCookie = xcb_res_query_client_ids(c, 1, &all);
  }
  auto tree = QUORL_REPLY(xcb_query_tree_reply, c, treeCookie);
  auto clientList = QUORL_REPLY(xcb_get_property_reply, c, clientsCookie);
  xcb_window_t saverWindow = XCB_WINDOW_NONE;
  if (haveSaver) {
    auto saver = QUORL_REPLY(xcb_screensaver_query_info_reply, c, saverCookie);
    if (saver && saver->state == XCB_SCREENSAVER_STATE_ON) saverWindow = saver->saver_window;
  }
  const uint32_t idMask = xcb_get_setup(c)->resource_id_mask;
  std::unordered_map<uint32_t, int32_t> pidByClient;
  if (haveRes) {
    auto res = QUORL_REPLY(xcb_res_query_client_ids_reply, c, resCookie);
    if (res) {
      for (auto it = xcb_res_query_client_ids_ids_iterator(res.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && it.data->length >= 4) {
          const auto pid = static_cast<int32_t>(*xcb_res_client_id_value_value(it.data));
          if (pid > 0) pidByClient.emplace(it.data->spec.client & ~idMask, pid);
        }
      }
    }
  }
  if (!tree) return {};

  std::vector<Entry> entries;
  std::unordered_map<xcb_window_t, size_t> byFrame;
  {
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    entries.resize(static_cast<size_t>(n));
    // Front first: XQueryTree lists bottom to top.
    for (int i = 0; i < n; ++i) {
      entries[static_cast<size_t>(i)].frame = kids[n - 1 - i];
      byFrame.emplace(kids[n - 1 - i], static_cast<size_t>(i));
    }
  }

  // Stage 1: every root child's attributes and its own WM_STATE; and, for every client
  // the window manager lists, its parent (the first step up to its frame).
  struct Climb {
    xcb_window_t client;
    xcb_window_t at;  // the window whose parent is asked
    xcb_query_tree_cookie_t tree;
  };
  std::vector<Climb> climbs;
  // WM_STATE marks a client and says whether it is iconic.  Where the window manager
  // lists its clients, the list marks them, and WM_STATE is read only when the snapshot
  // reports iconic windows or details.
  const std::vector<uint32_t> listed = values32(clientList.get());
  const bool haveList = !listed.empty();
  const bool needState = options.details || !options.onScreenOnly || !haveList;
  {
    struct Ask {
      xcb_get_window_attributes_cookie_t attrs;
      xcb_get_property_cookie_t state;
    };
    std::vector<Ask> asks(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      asks[i].attrs = xcb_get_window_attributes(c, entries[i].frame);
      if (needState) asks[i].state = askProperty(c, entries[i].frame, atoms[A_WM_STATE], atoms[A_WM_STATE], 2);
    }
    std::vector<bool> frameListed(entries.size(), false);
    for (uint32_t client : listed) {
      if (auto it = byFrame.find(client); it != byFrame.end()) {
        frameListed[it->second] = true;
      } else {
        climbs.push_back({client, client, xcb_query_tree(c, client)});
      }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      Entry& e = entries[i];
      auto attrs = QUORL_REPLY(xcb_get_window_attributes_reply, c, asks[i].attrs);
      Reply<xcb_get_property_reply_t> state;
      if (needState) state = QUORL_REPLY(xcb_get_property_reply, c, asks[i].state);
      if (!attrs || attrs->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
        e.dead = true;
        continue;
      }
      e.overrideRedirect = attrs->override_redirect != 0;
      e.frameViewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
      if (options.onScreenOnly && !e.frameViewable) {
        e.dead = true;
        continue;
      }
      auto st = values32(state.get());
      if (!st.empty()) {
        e.client = e.frame;
        e.wmState = st[0];
      } else if (e.overrideRedirect || (frameListed[i] && !needState)) {
        e.client = e.frame;
      }
    }
  }

  // Stage 2: climb from the listed clients to the root's children, one level at a time
  // for all of them together.  A client found this way still has to carry WM_STATE
  // when WM_STATE is read at all.
  std::vector<std::pair<size_t, xcb_window_t>> claimed;  // entry, client
  for (int depth = 0; depth < kSearchDepth && !climbs.empty(); ++depth) {
    std::vector<Climb> next;
    for (Climb& climb : climbs) {
      auto t = QUORL_REPLY(xcb_query_tree_reply, c, climb.tree);
      if (!t || t->parent == XCB_WINDOW_NONE) continue;  // gone
      if (t->parent == conn.root()) {
        if (auto it = byFrame.find(climb.at); it != byFrame.end()) claimed.emplace_back(it->second, climb.client);
        continue;
      }
      if (depth + 1 < kSearchDepth) next.push_back({climb.client, t->parent, xcb_query_tree(c, t->parent)});
    }
    climbs = std::move(next);
  }
  if (!needState) {
    for (const auto& [i, client] : claimed) {
      if (!entries[i].dead && !entries[i].client) entries[i].client = client;
    }
  } else {
    std::vector<xcb_get_property_cookie_t> states;
    for (const auto& [i, client] : claimed) {
      states.push_back(askProperty(c, client, atoms[A_WM_STATE], atoms[A_WM_STATE], 2));
    }
    for (size_t k = 0; k < claimed.size(); ++k) {
      auto state = QUORL_REPLY(xcb_get_property_reply, c, states[k]);
      Entry& e = entries[claimed[k].first];
      auto st = values32(state.get());
      if (e.dead || e.client || st.empty()) continue;
      e.client = claimed[k].second;
      e.wmState = st[0];
    }
  }

  // Stage 2b: frames the client list did not explain (a window manager without one, or
  // a client it has not listed yet): search below them for the window carrying
  // WM_STATE, one level at a time, all frames together.  A frame without one (no
  // window manager at all) stands for itself.
  for (Entry& e : entries) {
    if (!e.dead && !e.client) e.frontier.push_back(e.frame);
  }
  for (int depth = 0; depth < kSearchDepth; ++depth) {
    struct Ask {
      size_t entry;
      xcb_query_tree_cookie_t tree;
    };
    std::vector<Ask> trees;
    for (size_t i = 0; i < entries.size(); ++i) {
      Entry& e = entries[i];
      if (e.dead || e.client) continue;
      for (xcb_window_t w : e.frontier) trees.push_back({i, xcb_query_tree(c, w)});
      e.frontier.clear();
    }
    if (trees.empty()) break;
    struct StateAsk {
      size_t entry;
      xcb_window_t window;
      xcb_get_property_cookie_t state;
    };
    std::vector<StateAsk> stateAsks;
    for (const Ask& a : trees) {
      auto kids = QUORL_REPLY(xcb_query_tree_reply, c, a.tree);
      if (!kids) continue;
      const xcb_window_t* k = xcb_query_tree_children(kids.get());
      for (int j = 0; j < xcb_query_tree_children_length(kids.get()); ++j) {
        stateAsks.push_back({a.entry, k[j], askProperty(c, k[j], atoms[A_WM_STATE], atoms[A_WM_STATE], 2)});
      }
    }
    for (const StateAsk& a : stateAsks) {
      auto state = QUORL_REPLY(xcb_get_property_reply, c, a.state);
      Entry& e = entries[a.entry];
      if (e.client) continue;
      auto st = values32(state.get());
      if (!st.empty()) {
        e.client = a.window;
        e.wmState = st[0];
        e.frontier.clear();
      } else {
        e.frontier.push_back(a.window);
      }
    }
  }
  for (Entry& e : entries) {
    if (!e.dead && !e.client) e.client = e.frame;
  }

  // Stage 3: everything about each client, all windows together.
  struct Ask {
    xcb_get_window_attributes_cookie_t attrs;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
    xcb_get_property_cookie_t opacity, frameOpacity, netName, wmClass, types, states, desktop, gtkId;
  };
  std::vector<Ask> asks(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.dead) continue;
    Ask& a = asks[i];
    const xcb_window_t w = e.client;
    if (w != e.frame) a.attrs = xcb_get_window_attributes(c, w);
    a.geometry = xcb_get_geometry(c, w);
    a.origin = xcb_translate_coordinates(c, w, conn.root(), 0, 0);
    a.opacity = askProperty(c, w, atoms[A_NET_WM_WINDOW_OPACITY], XCB_ATOM_CARDINAL, 1);
    if (w != e.frame) a.frameOpacity = askProperty(c, e.frame, atoms[A_NET_WM_WINDOW_OPACITY], XCB_ATOM_CARDINAL, 1);
    if (options.details) {
      a.netName = askProperty(c, w, atoms[A_NET_WM_NAME], atoms[A_UTF8_STRING]);
      a.wmClass = askProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
      a.desktop = askProperty(c, w, atoms[A_NET_WM_DESKTOP], XCB_ATOM_CARDINAL, 1);
      a.gtkId = askProperty(c, w, atoms[A_GTK_APPLICATION_ID], atoms[A_UTF8_STRING]);
    }
    a.types = askProperty(c, w, atoms[A_NET_WM_WINDOW_TYPE], XCB_ATOM_ATOM);
    a.states = askProperty(c, w, atoms[A_NET_WM_STATE], XCB_ATOM_ATOM);
  }

  // Atom names this connection knows without asking.
  std::unordered_map<xcb_atom_t, std::string> names;
  for (size_t i = A_TYPE_DESKTOP; i < A_COUNT; ++i) {
    if (atoms[i] != XCB_ATOM_NONE) names.emplace(atoms[i], std::string(atomNames()[i]));
  }

  std::vector<WindowRecord> out;
  std::vector<size_t> needName, needPid;  // records still without a title / a pid
  std::vector<std::pair<std::vector<xcb_atom_t>, std::vector<xcb_atom_t>>> rawAtoms;  // types, states
  out.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.dead) continue;
    Ask& a = asks[i];
    const xcb_window_t w = e.client;
    Reply<xcb_get_window_attributes_reply_t> attrs;
    if (w != e.frame) attrs = QUORL_REPLY(xcb_get_window_attributes_reply, c, a.attrs);
    auto geometry = QUORL_REPLY(xcb_get_geometry_reply, c, a.geometry);
    auto origin = QUORL_REPLY(xcb_translate_coordinates_reply, c, a.origin);
    auto opacity = QUORL_REPLY(xcb_get_property_reply, c, a.opacity);
    Reply<xcb_get_property_reply_t> frameOpacity;
    if (w != e.frame) frameOpacity = QUORL_REPLY(xcb_get_property_reply, c, a.frameOpacity);
    Reply<xcb_get_property_reply_t> netName, wmClass, desktop, gtkId;
    if (options.details) {
      netName = QUORL_REPLY(xcb_get_property_reply, c, a.netName);
      wmClass = QUORL_REPLY(xcb_get_property_reply, c, a.wmClass);
      desktop = QUORL_REPLY(xcb_get_property_reply, c, a.desktop);
      gtkId = QUORL_REPLY(xcb_get_property_reply, c, a.gtkId);
    }
    auto types = QUORL_REPLY(xcb_get_property_reply, c, a.types);
    auto states = QUORL_REPLY(xcb_get_property_reply, c, a.states);

    // The client went away while we asked: leave it out.
    if (!geometry || !origin || (w != e.frame && !attrs)) continue;

    WindowRecord r;
    r.id = w;
    r.frame = e.frame;
    r.overrideRedirect = e.overrideRedirect;
    const bool clientViewable = w == e.frame ? e.frameViewable : attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    r.onScreen = e.frameViewable && clientViewable;
    if (options.onScreenOnly && !r.onScreen) continue;
    r.bounds = Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                    static_cast<double>(geometry->width), static_cast<double>(geometry->height)};

    auto op = values32(opacity.get());
    if (op.empty()) op = values32(frameOpacity.get());
    if (!op.empty()) r.alpha = static_cast<double>(op[0]) / 0xffffffffu;

    if (!options.details) {
      // no title asked for
    } else if (bytes8(netName.get())) {
      r.title = propertyText(netName.get());
    } else {
      needName.push_back(out.size());
    }

    if (auto cls = bytes8(wmClass.get())) {
      const size_t nul = cls->find('\0');
      r.wmInstance = cls->substr(0, nul);
      if (nul != std::string::npos) {
        std::string rest = cls->substr(nul + 1);
        r.wmClass = rest.substr(0, rest.find('\0'));
      }
    }
    auto ds = values32(desktop.get());
    if (!ds.empty()) r.desktop = ds[0];
    if (auto id = bytes8(gtkId.get())) r.gtkApplicationId = unicode::repairUtf8(*id);
    r.iconic = e.wmState && *e.wmState == kIconicState;

    if (auto it = pidByClient.find(w & ~idMask); it != pidByClient.end()) {
      r.pid = it->second;
    } else {
      needPid.push_back(out.size());
    }

    auto t = values32(types.get());
    auto s = values32(states.get());
    rawAtoms.emplace_back(std::vector<xcb_atom_t>(t.begin(), t.end()), std::vector<xcb_atom_t>(s.begin(), s.end()));
    r.layer = w == saverWindow || e.frame == saverWindow ? layer::kScreenSaver : 0;
    out.push_back(std::move(r));
  }

  // Stage 4, only for what stage 3 left open: WM_NAME where there is no _NET_WM_NAME,
  // _NET_WM_PID where X-Resource named no local client (a remote one, or no extension).
  {
    std::vector<xcb_get_property_cookie_t> names8, pids;
    for (size_t i : needName) names8.push_back(askProperty(c, out[i].id, XCB_ATOM_WM_NAME));
    for (size_t i : needPid) pids.push_back(askProperty(c, out[i].id, atoms[A_NET_WM_PID], XCB_ATOM_CARDINAL, 1));
    for (size_t k = 0; k < needName.size(); ++k) {
      auto name = QUORL_REPLY(xcb_get_property_reply, c, names8[k]);
      out[needName[k]].title = propertyText(name.get());
    }
    for (size_t k = 0; k < needPid.size(); ++k) {
      auto p = values32(QUORL_REPLY(xcb_get_property_reply, c, pids[k]).get());
      if (!p.empty() && p[0] > 0 && p[0] <= 0x7fffffffu) out[needPid[k]].pid = static_cast<int32_t>(p[0]);
    }
  }

  // Names of atoms nobody interned above (rare: a toolkit's private types), asked together.
  {
    std::vector<std::pair<xcb_atom_t, xcb_get_atom_name_cookie_t>> unknown;
    for (const auto& [t, s] : rawAtoms) {
      for (const auto* list : {&t, &s}) {
        for (xcb_atom_t atom : *list) {
          if (names.count(atom) || atom == XCB_ATOM_NONE) continue;
          names.emplace(atom, std::string());
          unknown.emplace_back(atom, xcb_get_atom_name(c, atom));
        }
      }
    }
    for (auto& [atom, cookie] : unknown) {
      auto reply = QUORL_REPLY(xcb_get_atom_name_reply, c, cookie);
      if (reply) {
        names[atom].assign(xcb_get_atom_name_name(reply.get()),
                           static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())));
      }
    }
  }
  for (size_t i = 0; i < out.size(); ++i) {
    WindowRecord& r = out[i];
    for (xcb_atom_t atom : rawAtoms[i].first) {
      if (const auto& n = names[atom]; !n.empty()) r.windowTypes.push_back(n);
    }
    for (xcb_atom_t atom : rawAtoms[i].second) {
      if (const auto& n = names[atom]; !n.empty()) r.states.push_back(n);
    }
    const bool saver = r.layer == layer::kScreenSaver;
    r.layer = layerFor(r.overrideRedirect, r.windowTypes, r.states, saver);
  }
  return out;
}

std::optional<uint32_t> activeWindow(x11::Connection& conn) {
  if (conn.broken()) return std::nullopt;
  auto v = x11::property32(conn, conn.root(), conn.atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
  if (!v || v->empty() || (*v)[0] == XCB_WINDOW_NONE) return std::nullopt;
  return (*v)[0];
}

std::optional<uint32_t> focusedClientWindow(x11::Connection& conn) {
  if (conn.broken()) return std::nullopt;
  xcb_connection_t* c = conn.xcb();
  auto focus = QUORL_REPLY(xcb_get_input_focus_reply, c, xcb_get_input_focus(c));
  if (!focus) return std::nullopt;
  xcb_window_t w = focus->focus;
  // None and PointerRoot name no window.
  if (w == XCB_WINDOW_NONE || w == XCB_INPUT_FOCUS_POINTER_ROOT || w == conn.root()) return std::nullopt;
  const xcb_atom_t wmState = conn.atom("WM_STATE");
  auto hasState = [&](xcb_window_t win) {
    auto v = x11::property32(conn, win, wmState, wmState);
    return v && !v->empty();
  };
  // Up from the focus window to the root's child, stopping at the client.
  xcb_window_t top = XCB_WINDOW_NONE;
  for (int guard = 0; guard < 64 && w != XCB_WINDOW_NONE; ++guard) {
    if (hasState(w)) return w;
    auto t = QUORL_REPLY(xcb_query_tree_reply, c, xcb_query_tree(c, w));
    if (!t) return std::nullopt;
    if (t->parent == conn.root() || t->parent == XCB_WINDOW_NONE) {
      top = w;
      break;
    }
    w = t->parent;
  }
  if (top == XCB_WINDOW_NONE) return std::nullopt;
  // The focus sits on a frame: its client lies below it.
  std::vector<xcb_window_t> level{top};
  for (int depth = 0; depth < kSearchDepth && !level.empty(); ++depth) {
    std::vector<xcb_window_t> next;
    for (xcb_window_t win : level) {
      auto t = QUORL_REPLY(xcb_query_tree_reply, c, xcb_query_tree(c, win));
      if (!t) continue;
      const xcb_window_t* k = xcb_query_tree_children(t.get());
      for (int i = 0; i < xcb_query_tree_children_length(t.get()); ++i) {
        if (hasState(k[i])) return k[i];
        next.push_back(k[i]);
      }
    }
    level = std::move(next);
  }
  // No window manager marks clients: a viewable top-level window is the client itself.
  auto attrs = QUORL_REPLY(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, top));
  if (attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE) return top;
  return std::nullopt;
}

}  // namespace quorl::platform

#undef QUORL_REPLY
