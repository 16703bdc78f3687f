#pragma once
// The agent's own input devices: an XInput2 master pointer and master keyboard
// named "quorl-agent-<pid>", driven through their XTEST slave devices.  Events
// from them travel the server's real input path (so toolkits that ignore
// synthetic events react), while the user's core pointer, keyboard focus and
// modifier state stay where they are.
//
// The pair lives on a connection of its own whose client pointer is the agent's
// master pointer, so XTEST input sent on it comes from the agent's XTEST slaves.
// It is removed by the destructor and, for a process that leaves through exit(),
// by an exit hook; pairs left by a process that died without removing them are
// swept when a new pair is made.
#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.hpp"

namespace quorl::platform {

inline constexpr std::string_view kAgentDevicePrefix = "quorl-agent-";

// The pid in a device name "quorl-agent-<pid>..." (master or slave name); absent
// for every other name.
std::optional<pid_t> agentDevicePid(std::string_view deviceName);

// A key as pressed on a keyboard: the keycode and whether Shift (level 2) is needed.
struct KeyStroke {
  uint8_t keycode = 0;
  bool shift = false;
};

// The keysym a Unicode code point types (Latin-1 directly, else 0x1000000 + cp;
// a few control characters map to their function keysyms).
uint32_t keysymForCodePoint(char32_t cp);

class AgentInput {
 public:
  // Makes the pair on a fresh connection to `display` ($DISPLAY when null).  Null
  // when the display cannot be opened, lacks XInput 2.2 or XTEST, or refuses the
  // hierarchy change.  Sweeps the pairs of dead processes first.
  static std::unique_ptr<AgentInput> create(const char* display = nullptr);
  ~AgentInput();  // removes the pair and restores spare keycodes
  AgentInput(const AgentInput&) = delete;
  AgentInput& operator=(const AgentInput&) = delete;

  xcb_connection_t* xcb() const { return conn_; }
  xcb_window_t root() const { return root_; }
  uint16_t masterPointer() const { return masterPointer_; }
  uint16_t masterKeyboard() const { return masterKeyboard_; }
  uint16_t slavePointer() const { return slavePointer_; }
  uint16_t slaveKeyboard() const { return slaveKeyboard_; }
  const std::string& name() const { return name_; }

  // Pointer: absolute motion in root coordinates, X button numbers (1..9).
  void moveTo(int x, int y);
  void button(uint8_t xbutton, bool press);
  // Keyboard: a keycode press or release on the agent keyboard.
  void key(uint8_t keycode, bool press);
  // Points the agent master keyboard's focus at a window.  False on an error
  // (the window is gone).
  bool focus(xcb_window_t window);
  // Where the agent pointer is (root coordinates).
  std::optional<Point> pointerPosition();
  // Waits until the server has processed everything sent so far.
  void sync();

  // The keycode (and level) that types a keysym in the current keyboard map;
  // when the map lacks the keysym, binds it to a spare keycode (one with no
  // symbols, least recently used first) in the core keyboard map: clients read
  // that map to interpret the keycodes of every keyboard, the agent's included.
  // Spare keycodes are set back to no symbols when the pair is removed.  Absent
  // when no spare keycode is left.
  std::optional<KeyStroke> strokeFor(uint32_t keysym);
  // The keycode of a modifier keysym (Shift_L...) in the current map, 0 when none.
  uint8_t keycodeFor(uint32_t keysym);

  // Removes the pair now (idempotent).  Also done by the destructor.
  void remove();

 private:
  AgentInput() = default;
  bool loadKeymap();
  void restoreSpares();
  xcb_connection_t* conn_ = nullptr;   // the agent connection (client pointer = agent master)
  xcb_connection_t* coreConn_ = nullptr;  // a plain connection: reads and changes the core map
  xcb_window_t root_ = 0;
  uint16_t masterPointer_ = 0, masterKeyboard_ = 0, slavePointer_ = 0, slaveKeyboard_ = 0;
  std::string name_;
  bool removed_ = false;

  std::mutex keymapLock_;
  uint8_t minKeycode_ = 8, maxKeycode_ = 255;
  int perCode_ = 0;
  std::vector<uint32_t> keysyms_;               // core map, perCode_ per keycode
  std::vector<uint8_t> spares_;                 // keycodes that had no symbols, LRU order (front = oldest)
  std::map<uint32_t, uint8_t> bound_;           // keysym -> spare keycode bound to it
};

// Removes every agent pair whose pid is not a live process (the caller's own pid
// is alive).  Returns how many pairs went.
int sweepStaleAgentDevices(xcb_connection_t* conn);

// The names of all master devices (for diagnostics and tests).
std::vector<std::string> masterDeviceNames(xcb_connection_t* conn);

}  // namespace quorl::platform
