#include "bench/ocr/ui_corpus.hpp"

#include "common/unicode.hpp"
#include "text_spotter/tests/screenshot.hpp"

#include <algorithm>
#include <array>

namespace quorl::spotter::bench {

using testing::Box;
using testing::Screenshot;

namespace {

struct Theme {
  const char* name;
  uint32_t window;
  uint32_t text;
  uint32_t bar;
  uint32_t button;
  uint32_t buttonText;
};

constexpr std::array<Theme, 4> kThemes{{
    {"light", 0xffffff, 0x202020, 0xf0f0f0, 0xe1e1e1, 0x1a1a1a},
    {"dark", 0x2b2b2b, 0xe8e8e8, 0x1f1f1f, 0x3c3f41, 0xf0f0f0},
    {"accent", 0xf6f8fa, 0x24292f, 0xdde3ea, 0x2f6fd6, 0xffffff},
    {"muted", 0xfafafa, 0x8c8c8c, 0xffffff, 0xf2f2f2, 0x9a9a9a},  // placeholders, disabled widgets
}};

const std::vector<std::vector<std::string>> kMenus{
    {"File", "Edit", "View", "History", "Bookmarks", "Tools", "Help"},
    {"File", "Edit", "Selection", "Go", "Run", "Terminal", "Window"},
    {"Document", "Insert", "Format", "Table", "Arrange"},
    {"Mail", "Message", "Mailbox", "Window", "Help"},
};
const std::vector<std::vector<std::string>> kButtons{
    {"Cancel", "Save As", "Don't Save", "OK"},
    {"Back", "Next", "Finish"},
    {"Apply", "Reset to Defaults", "Close"},
    {"Save As...", "Print", "Export PDF"},
};
const std::vector<std::vector<std::string>> kLabels{
    {"Open Recent", "Preferences", "Downloads (3)", "Check for Updates"},
    {"Version 2.4.1 (build 7731)", "user@example.com", "Last saved 10:42 AM", "Page 12 of 48"},
    {"Search settings", "Show hidden files", "Keyboard Shortcuts", "Sign in with password"},
    {"Total: $12.99", "Zoom 125%", "/home/ada/notes.txt", "3 items, 1.2 GB free"},
};

Region padded(const Box& ink, int padX, int padY) {
  return Region{static_cast<double>(ink.x - padX), static_cast<double>(ink.y - padY),
                static_cast<double>(ink.width + 2 * padX), static_cast<double>(ink.height + 2 * padY)};
}

}  // namespace

std::vector<Sample> uiCorpus() {
  const std::array<const char*, 3> families{"DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"};
  std::vector<Sample> samples;
  size_t variant = 0;
  for (const Theme& theme : kThemes) {
    for (double size : {11.0, 12.0, 13.0, 14.0}) {
      const size_t v = variant++;
      const char* family = families[v % families.size()];
      Screenshot shot(720, 200, theme.window);
      Sample sample;
      sample.name = std::string(theme.name) + " " + family + " " + std::to_string(int(size)) + "px";
      auto add = [&](const Box& ink, const std::string& text, int padX, int padY) {
        sample.regions.push_back(padded(ink, padX, padY));
        sample.expected.push_back(text);
        sample.sizes.push_back(size);
      };
      // Menu bar: one region per item.
      const int barHeight = static_cast<int>(size * 1.9);
      shot.fill(Box{0, 0, 720, barHeight}, theme.bar);
      int x = 8;
      for (const std::string& item : kMenus[v % kMenus.size()]) {
        const Box ink = shot.text(x, static_cast<int>(size * 0.4), item, size, theme.text, family);
        add(ink, item, 6, static_cast<int>(size * 0.4));
        x += shot.measure(item, size, family).width + static_cast<int>(size * 1.6);
      }
      // Button row.
      x = 16;
      const int buttonY = barHeight + 20;
      for (const std::string& label : kButtons[v % kButtons.size()]) {
        const Box ink = shot.measure(label, size, family, true);
        const Box button{x, buttonY, ink.width + 24, static_cast<int>(size * 2.2)};
        shot.fill(button, theme.button);
        const int ty = buttonY + (button.height - static_cast<int>(size * 1.2)) / 2;
        shot.text(x + 12 - ink.x, ty, label, size, theme.buttonText, family, true);
        sample.regions.push_back(Region{double(button.x), double(button.y), double(button.width),
                                        double(button.height)});
        sample.expected.push_back(label);
        sample.sizes.push_back(size);
        x += button.width + 10;
      }
      // Labels in a column.
      int y = buttonY + static_cast<int>(size * 2.2) + 18;
      for (const std::string& label : kLabels[v % kLabels.size()]) {
        const Box ink = shot.text(24, y, label, size, theme.text, family);
        add(ink, label, 4, 3);
        y += static_cast<int>(size * 1.8);
      }
      sample.png = shot.png();
      samples.push_back(std::move(sample));
    }
  }
  return samples;
}

size_t editDistance(const std::u32string& a, const std::u32string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::string normalised(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f') {
      space = !out.empty();
    } else {
      if (space) out.push_back(' ');
      space = false;
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace quorl::spotter::bench
