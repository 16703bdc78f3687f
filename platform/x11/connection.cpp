#include "platform/x11/connection.hpp"

#include <xcb/res.h>

#include <cstdlib>
#include <cstring>

namespace quorl::x11 {

std::shared_ptr<Connection> Connection::open(const char* name) {
  if (!name) {
    const char* env = std::getenv("DISPLAY");
    if (!env || !*env) return nullptr;
  }
  int screenNumber = 0;
  xcb_connection_t* conn = xcb_connect(name, &screenNumber);
  if (!conn || xcb_connection_has_error(conn)) {
    if (conn) xcb_disconnect(conn);
    return nullptr;
  }
  const xcb_setup_t* setup = xcb_get_setup(conn);
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem || !it.data) {
    xcb_disconnect(conn);
    return nullptr;
  }
  return std::shared_ptr<Connection>(new Connection(conn, screenNumber, it.data));
}

Connection::Connection(xcb_connection_t* conn, int screenNumber, xcb_screen_t* screen)
    : conn_(conn), screenNumber_(screenNumber), screen_(screen) {}

Connection::~Connection() { xcb_disconnect(conn_); }

xcb_atom_t Connection::atom(std::string_view name) { return atoms({name}).front(); }

std::vector<xcb_atom_t> Connection::atoms(const std::vector<std::string_view>& names) {
  std::vector<xcb_atom_t> out(names.size(), XCB_ATOM_NONE);
  std::vector<xcb_intern_atom_cookie_t> cookies(names.size());
  std::vector<bool> asked(names.size(), false);
  {
    std::lock_guard<std::mutex> guard(atomLock_);
    for (size_t i = 0; i < names.size(); ++i) {
      auto it = atomCache_.find(std::string(names[i]));
      if (it != atomCache_.end()) {
        out[i] = it->second;
      } else {
        cookies[i] = xcb_intern_atom(conn_, 0, static_cast<uint16_t>(names[i].size()), names[i].data());
        asked[i] = true;
      }
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!asked[i]) continue;
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(conn_, cookies[i], nullptr);
    if (!reply) continue;
    out[i] = reply->atom;
    free(reply);
    std::lock_guard<std::mutex> guard(atomLock_);
    atomCache_[std::string(names[i])] = out[i];
  }
  return out;
}

bool Connection::hasExtension(xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(conn_, ext);
  return data && data->present;
}

std::shared_ptr<Connection> shared() {
  static std::mutex lock;
  static std::shared_ptr<Connection> current;
  std::lock_guard<std::mutex> guard(lock);
  if (!current || current->broken()) current = Connection::open();
  return current;
}

namespace {
xcb_get_property_reply_t* getProperty(Connection& c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
  if (prop == XCB_ATOM_NONE) return nullptr;
  auto cookie = xcb_get_property(c.xcb(), 0, w, prop, type, 0, 1 << 20);
  xcb_generic_error_t* err = nullptr;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(c.xcb(), cookie, &err);
  free(err);
  if (reply && reply->type == XCB_ATOM_NONE) {
    free(reply);
    return nullptr;
  }
  return reply;
}
}  // namespace

std::optional<std::vector<uint32_t>> property32(Connection& c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
  xcb_get_property_reply_t* reply = getProperty(c, w, prop, type);
  if (!reply) return std::nullopt;
  std::optional<std::vector<uint32_t>> out;
  if (reply->format == 32) {
    auto* data = static_cast<uint32_t*>(xcb_get_property_value(reply));
    int n = xcb_get_property_value_length(reply) / 4;
    out.emplace(data, data + n);
  }
  free(reply);
  return out;
}

std::optional<std::string> propertyBytes(Connection& c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
  xcb_get_property_reply_t* reply = getProperty(c, w, prop, type);
  if (!reply) return std::nullopt;
  std::optional<std::string> out;
  if (reply->format == 8) {
    out.emplace(static_cast<const char*>(xcb_get_property_value(reply)),
                static_cast<size_t>(xcb_get_property_value_length(reply)));
  }
  free(reply);
  return out;
}

std::optional<int32_t> windowPid(Connection& c, xcb_window_t w) {
  if (c.hasExtension(&xcb_res_id)) {
    xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto cookie = xcb_res_query_client_ids(c.xcb(), 1, &spec);
    xcb_generic_error_t* err = nullptr;
    xcb_res_query_client_ids_reply_t* reply = xcb_res_query_client_ids_reply(c.xcb(), cookie, &err);
    free(err);
    if (reply) {
      std::optional<int32_t> pid;
      for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && it.data->length >= 4) {
          pid = static_cast<int32_t>(*xcb_res_client_id_value_value(it.data));
          break;
        }
      }
      free(reply);
      if (pid && *pid > 0) return pid;
    }
  }
  auto values = property32(c, w, c.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
  if (values && !values->empty() && (*values)[0] > 0) return static_cast<int32_t>((*values)[0]);
  return std::nullopt;
}

}  // namespace quorl::x11
