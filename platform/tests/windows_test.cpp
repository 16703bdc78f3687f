// The layer a window gets from what it says about itself.
#include "platform/x11/windows.hpp"

#include <gtest/gtest.h>

using quorl::platform::layerFor;
namespace layer = quorl::platform::layer;

TEST(WindowLayer, FollowsTypeStateAndOverrideRedirect) {
  struct Case {
    const char* what;
    bool overrideRedirect;
    std::vector<std::string> types, states;
    bool saver;
    int64_t layer;
  };
  const std::vector<Case> cases = {
      {"plain managed window", false, {}, {}, false, layer::kNormal},
      {"normal", false, {"_NET_WM_WINDOW_TYPE_NORMAL"}, {}, false, layer::kNormal},
      {"dialog", false, {"_NET_WM_WINDOW_TYPE_DIALOG"}, {}, false, layer::kNormal},
      {"utility", false, {"_NET_WM_WINDOW_TYPE_UTILITY"}, {}, false, layer::kNormal},
      {"above", false, {"_NET_WM_WINDOW_TYPE_NORMAL"}, {"_NET_WM_STATE_ABOVE"}, false, layer::kAbove},
      {"dock", false, {"_NET_WM_WINDOW_TYPE_DOCK"}, {}, false, layer::kDock},
      {"dock kept above", false, {"_NET_WM_WINDOW_TYPE_DOCK"}, {"_NET_WM_STATE_ABOVE"}, false, layer::kDock},
      {"notification", false, {"_NET_WM_WINDOW_TYPE_NOTIFICATION"}, {}, false, layer::kNotification},
      {"override-redirect tooltip", true, {"_NET_WM_WINDOW_TYPE_TOOLTIP"}, {}, false, layer::kNotification},
      {"override-redirect menu", true, {"_NET_WM_WINDOW_TYPE_POPUP_MENU"}, {}, false, layer::kPopup},
      {"override-redirect, no type", true, {}, {}, false, layer::kPopup},
      {"desktop", false, {"_NET_WM_WINDOW_TYPE_DESKTOP"}, {}, false, layer::kDesktop},
      {"toolkit's own type first", false, {"_KDE_NET_WM_WINDOW_TYPE_OVERRIDE", "_NET_WM_WINDOW_TYPE_DOCK"}, {}, false,
       layer::kDock},
      {"screen saver", true, {}, {}, true, layer::kScreenSaver},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(layerFor(c.overrideRedirect, c.types, c.states, c.saver), c.layer) << c.what;
  }
}
