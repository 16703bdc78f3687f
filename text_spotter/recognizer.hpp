#pragma once
// The text recognizer as the region logic sees it: an image in, recognised
// lines out, each with its best text, a confidence and a box normalised to the
// image with the origin at the bottom left.
#include <leptonica/allheaders.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorl::spotter {

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// A box in the unit square: x and y of the bottom-left corner, y growing upward.
struct UnitBox {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct RecognizedLine {
  std::string text;
  float confidence = 0;  // 0 to 1
  UnitBox box;
};

// What one recognizer run gives: the lines in the recognizer's order, or the
// recognizer's own description of why it failed.
struct Recognition {
  std::vector<RecognizedLine> lines;
  std::optional<std::string> error;
};

class Recognizer {
 public:
  virtual ~Recognizer() = default;
  // `image` is a 32-bit RGB picture.  One instance is used by one thread at a time.
  virtual Recognition recognize(const Pix& image) = 0;
};

}  // namespace quorl::spotter
