// `input-courier probe`: one line saying what this process can do here.
#include "courier/probe.hpp"

#include <gio/gio.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/out.hpp"
#include "platform/x11/connection.hpp"
#include "shared/process_start.hpp"
#include "shared/spi.hpp"

namespace quorl::courier {
namespace {

using Clock = std::chrono::steady_clock;

// Every D-Bus step of the accessibility check together gets this long; without a bus
// each step fails at once, and a bus that does not answer costs at most this.
constexpr std::chrono::milliseconds kAccessibilityBudget{1500};

// Runs one asynchronous GIO operation on a private main context until it completes or
// the deadline passes (then it is cancelled).  `start` begins the operation with the
// cancellable, the callback and the user data; `finish` receives the result.
template <typename Start, typename Finish>
void runUntil(GMainContext* context, Clock::time_point deadline, Start start, Finish finish) {
  struct State {
    GAsyncResult* result = nullptr;
  };
  // On the heap: should an operation not even finish after being cancelled, the state
  // is left behind for its late callback rather than freed under it.
  auto* state = new State;
  GCancellable* cancel = g_cancellable_new();
  start(cancel, +[](GObject*, GAsyncResult* res, gpointer data) {
    static_cast<State*>(data)->result = G_ASYNC_RESULT(g_object_ref(res));
  }, state);
  const auto giveUp = deadline + std::chrono::milliseconds(1000);
  bool cancelled = false;
  while (!state->result) {
    const auto now = Clock::now();
    if (now >= deadline && !cancelled) {
      g_cancellable_cancel(cancel);  // the operation still completes, with an error
      cancelled = true;
    }
    if (now >= giveUp) {
      g_object_unref(cancel);
      return;  // `state` stays behind on purpose
    }
    if (!g_main_context_iteration(context, FALSE)) {
      // Nothing ready: wait briefly on the context's descriptors rather than spin.
      GSource* tick = g_timeout_source_new(5);
      g_source_set_callback(tick, +[](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
      g_source_attach(tick, context);
      g_main_context_iteration(context, TRUE);
      g_source_destroy(tick);
      g_source_unref(tick);
    }
  }
  finish(state->result);
  g_object_unref(state->result);
  g_object_unref(cancel);
  delete state;
}

GDBusConnection* connectTo(GMainContext* context, Clock::time_point deadline, const std::string& address) {
  GDBusConnection* out = nullptr;
  runUntil(
      context, deadline,
      [&](GCancellable* cancel, GAsyncReadyCallback cb, gpointer data) {
        g_dbus_connection_new_for_address(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancel, cb, data);
      },
      [&](GAsyncResult* res) { out = g_dbus_connection_new_for_address_finish(res, nullptr); });
  return out;
}

GVariant* call(GMainContext* context, Clock::time_point deadline, GDBusConnection* bus, const char* dest,
               const char* path, const char* iface, const char* method) {
  GVariant* out = nullptr;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return nullptr;
  runUntil(
      context, deadline,
      [&](GCancellable* cancel, GAsyncReadyCallback cb, gpointer data) {
        g_dbus_connection_call(bus, dest, path, iface, method, nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                               static_cast<gint>(left), cancel, cb, data);
      },
      [&](GAsyncResult* res) { out = g_dbus_connection_call_finish(bus, res, nullptr); });
  return out;
}

void closeBus(GMainContext* context, Clock::time_point deadline, GDBusConnection* bus) {
  if (!bus) return;
  runUntil(
      context, deadline + std::chrono::milliseconds(200),
      [&](GCancellable* cancel, GAsyncReadyCallback cb, gpointer data) {
        g_dbus_connection_close(bus, cancel, cb, data);
      },
      [&](GAsyncResult* res) { g_dbus_connection_close_finish(bus, res, nullptr); });
  g_object_unref(bus);
}

// The accessibility bus address: the variable the accessibility bus launcher exports,
// else the root window's AT_SPI_BUS property, else asked of the session bus (never
// started on demand: without a session bus address there is none to ask).
std::string accessibilityBusAddress(GMainContext* context, Clock::time_point deadline) {
  if (const char* env = std::getenv("AT_SPI_BUS_ADDRESS"); env && *env) return env;
  if (auto conn = x11::shared()) {
    auto v = x11::propertyBytes(*conn, conn->root(), conn->atom("AT_SPI_BUS"));
    if (v && !v->empty()) return std::string(v->c_str());
  }
  const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!session || !*session) return {};
  GDBusConnection* bus = connectTo(context, deadline, session);
  if (!bus) return {};
  std::string address;
  if (GVariant* reply = call(context, deadline, bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")) {
    const gchar* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    if (text) address = text;
    g_variant_unref(reply);
  }
  closeBus(context, deadline, bus);
  return address;
}

}  // namespace

bool accessibilityTrusted() {
  const auto deadline = Clock::now() + kAccessibilityBudget;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  bool answered = false;
  const std::string address = accessibilityBusAddress(context, deadline);
  if (!address.empty()) {
    if (GDBusConnection* bus = connectTo(context, deadline, address)) {
      GVariant* reply = call(context, deadline, bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                             "org.freedesktop.DBus.Peer", "Ping");
      if (reply) {
        answered = true;
        g_variant_unref(reply);
      }
      closeBus(context, deadline, bus);
    }
  }
  // Let anything the closed connections still queued on this context run out.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return answered;
}

bool postAccess() {
  auto conn = x11::shared();
  if (!conn) return false;
  // A client message to the root window selected by nobody: the server checks that
  // this client may send events and then drops it.  An untrusted client gets an error.
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = conn->root();
  ev.type = XCB_ATOM_NONE;
  auto cookie = xcb_send_event_checked(conn->xcb(), 0, conn->root(), XCB_EVENT_MASK_NO_EVENT,
                                       reinterpret_cast<const char*>(&ev));
  xcb_generic_error_t* err = xcb_request_check(conn->xcb(), cookie);
  const bool ok = err == nullptr && !conn->broken();
  std::free(err);
  return ok;
}

int runProbe() {
  nlohmann::json missing = nlohmann::json::array();
  for (const auto& name : SPI::missing()) missing.push_back(name);
  Out::emit({{"event", "probe"},
             {"route", SPI::hasSkyPost() ? "sky" : "cg"},
             {"post_access", postAccess()},
             {"accessibility_trusted", accessibilityTrusted()},
             {"missing", missing},
             {"front_pid", SPI::frontPid()},
             {"key_focus_pid", SPI::keyFocusPid()},
             {"decoration", decorationPath().value_or("")}});
  return 0;
}

}  // namespace quorl::courier
