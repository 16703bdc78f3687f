#pragma once
// XSETTINGS: the desktop's shared settings (the manager owning _XSETTINGS_S<screen>
// publishes them in the _XSETTINGS_SETTINGS property).  The overlay reads one of
// them: "Gtk/EnableAnimations" 0 is the user's wish for reduced motion.
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorl::overlay {

// The integer setting `name` in a _XSETTINGS_SETTINGS property; none when the
// blob is malformed or holds no integer of that name.
std::optional<int32_t> xsettingsInteger(std::string_view blob, std::string_view name);

}  // namespace quorl::overlay
