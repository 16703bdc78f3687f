#pragma once
// Generated user-interface screenshots with known text: menu bars, button
// rows, list labels and status lines at 11 to 14 pixels, on light and dark
// themes.  Every region is the rectangle of one widget around its label.
#include "text_spotter/spotter.hpp"

#include <string>
#include <vector>

namespace quorl::spotter::bench {

struct Sample {
  std::string name;           // theme and size, for the report
  std::string png;            // the screenshot
  std::vector<Region> regions;
  std::vector<std::string> expected;  // the text of each region
  std::vector<double> sizes;          // the text size of each region, in pixels
};

std::vector<Sample> uiCorpus();

// Levenshtein distance in code points.
size_t editDistance(const std::u32string& a, const std::u32string& b);

// White space runs collapsed to one space, trimmed.
std::string normalised(const std::string& text);

}  // namespace quorl::spotter::bench
